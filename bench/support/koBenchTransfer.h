#pragma once

// The reference transfers of the end-to-end benchmarks: a block of bytes moved
// over loopback TCP between two bare sockets, or through koNetStream over a
// bare koSocketLink or with koNetCipher installed on both ends.

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

class koSocketLink;

namespace koBench {

// Runs `job` on a thread of its own; join() rethrows what it threw.
class Worker
{
public:
    explicit Worker(std::function<void()> job);
    void join();

private:
    std::exception_ptr error;
    std::thread thread;
};

struct Connection
{
    std::shared_ptr<koSocketLink> client;
    std::shared_ptr<koSocketLink> server;
};

// A TCP connection over 127.0.0.1, with the cipher handshake on both ends
// (the server's on the accepting thread) when `encrypted`.
Connection connect(bool encrypted);

enum class Mode
{
    Socket,    // send() and recv() on two TCP sockets, no library code
    Link,      // koNetStream over koSocketLink
    Encrypted, // koNetStream over koSocketLink with koNetCipher
};

// What one transfer took: wall-clock seconds, and the CPU seconds of the
// sending and of the receiving thread. On a busy machine the CPU times say
// more than the clock: the slower side bounds the rate of an idle one.
struct Timing
{
    double seconds = 0.0;
    double senderCpu = 0.0;
    double receiverCpu = 0.0;
};

// From the first write until the receiver holds the last of `bytes`, written
// and read `chunk` bytes at a time. The receiver checks the head of every
// chunk and the whole of the last one; throws when they differ.
Timing transfer(std::size_t bytes, std::size_t chunk, Mode mode);

// CPU seconds this thread has used so far.
double threadCpuSeconds();

double megabytesPerSecond(std::size_t bytes, double seconds);

} // namespace koBench
