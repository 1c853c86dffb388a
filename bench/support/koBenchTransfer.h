#pragma once

// The reference transfer of the end-to-end benchmarks: a block of bytes moved
// over loopback TCP through koNetStream, over a bare koSocketLink or with
// koNetCipher installed on both ends.

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

// Seconds from the first write until the receiver holds the last of `bytes`,
// written and read `chunk` bytes at a time. The receiver checks the head of
// every chunk and the whole of the last one; throws when they differ.
double transfer(std::size_t bytes, std::size_t chunk, bool encrypted);

double megabytesPerSecond(std::size_t bytes, double seconds);

} // namespace koBench
