#pragma once

#include <QString>

#include <memory>
#include <vector>

class koSessionClient;

// Participants of one scenario: koSessionClient objects joined to one server
// from this process, as the application's main thread would join them.
// Main thread only.
class koBenchParticipants
{
public:
    using ClientPtr = std::shared_ptr<koSessionClient>;

    koBenchParticipants() = default;
    // Leaves with every participant still joined.
    ~koBenchParticipants();

    koBenchParticipants(const koBenchParticipants&) = delete;
    koBenchParticipants& operator=(const koBenchParticipants&) = delete;

    // Joins `count` more participants; throws what join throws.
    void join(const QString& link, int count);
    // Executes the received changes of every participant until each has the
    // whole roster (or `seconds` pass); answers whether all have it.
    bool settle(double seconds);
    // Stops every participant at once, then releases them (which joins their
    // threads): the server sees all leave within one sending cycle.
    void leaveAll();

    const std::vector<ClientPtr>& clients() const { return joined; }
    koSessionClient& operator[](std::size_t index) const { return *joined[index]; }
    std::size_t size() const { return joined.size(); }

private:
    std::vector<ClientPtr> joined;
};
