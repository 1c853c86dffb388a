#pragma once

#include <memory>
#include <string>

// A local stream socket named after `name` (a file in the system's temporary
// folder unless the name is an absolute path). shutdown() ends a wait for the
// next connection with koNetError.
class koSocketPipe
{
public:
    explicit koSocketPipe(std::string name);
    ~koSocketPipe();

    koSocketPipe(const koSocketPipe&) = delete;
    koSocketPipe& operator=(const koSocketPipe&) = delete;

    void shutdown();
    const std::string& getName() const;
    // The file system path of the socket that a name stands for.
    static std::string pathFor(const std::string& name);

private:
    friend class koSocketLink;
    struct State;
    std::unique_ptr<State> state;
};
