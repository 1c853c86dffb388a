#pragma once

// Helpers for the scene transfer tests: scenes with a pattern, a recorder of
// the process-wide progress, waiting for the server to store an upload, raw
// transfer connections that write and read the stream bytes by hand, and the
// host application's scene-loading command.

#include "koSessionCommand.h"

#include "koNetProgress.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class koNetStream;
class koSocketLink;

namespace koSceneTest {

using namespace std::chrono_literals;

// `size` bytes of a pseudo-random pattern that differs for every `seed` and
// never repeats within a scene, so a lost, doubled or swapped piece shows.
std::vector<char> makeScene(std::size_t size, std::uint32_t seed);

// Records every koNetProgress change while it lives and hands each to
// `action` (when given) on the thread that made it. One at a time.
class ProgressRecorder
{
public:
    using Action = std::function<void(const koNetProgress::State&)>;
    explicit ProgressRecorder(Action action = Action());
    ~ProgressRecorder();
    ProgressRecorder(const ProgressRecorder&) = delete;
    ProgressRecorder& operator=(const ProgressRecorder&) = delete;

    std::vector<koNetProgress::State> states() const;
    // The texts in the order they were set, repeats collapsed.
    std::vector<std::string> texts() const;
    // The amounts of the add() calls made under the text `text`.
    std::vector<double> pieces(const std::string& text) const;
    // The total given to the start() with `text`; -1 when there was none.
    double total(const std::string& text) const;

private:
    // Guards recorded; taken by the observer (any thread) and the readers.
    mutable std::mutex mutex;
    std::vector<koNetProgress::State> recorded;
    koNetProgress::Observer previous;
};

// Waits until `counter` reaches `count` (a log line count, say).
bool waitForCount(const std::function<int()>& counter, int count, std::chrono::milliseconds timeout = 20s);

// A transfer connection to the server on `port` (tunnel, cipher, request
// type sent), with a stream over it, for tests that write the wire by hand.
struct RawTransfer
{
    std::shared_ptr<koSocketLink> link;
    std::unique_ptr<koNetStream> stream;
};
RawTransfer openRaw(int port, std::uint32_t request);

// The upload header written field by field: 32-bit count, the bytes, the
// 64-bit size; `zero` appends the terminating zero byte (counted in n).
void putRawHeader(koNetStream& stream, const std::string& name, bool zero, std::uint64_t size);

// The host application's scene-loading command: registered as "LoadScene",
// echoing, counting its executions.
class SceneLoadCommand : public koSessionCommand
{
public:
    SceneLoadCommand();
    void execute(koSessionClient* client) const override;

    static int executions();
};

} // namespace koSceneTest
