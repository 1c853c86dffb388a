#include "koBenchTransfer.h"

#include "koBoundSocketLink.h"
#include "koNetCipher.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace koBench {

Worker::Worker(std::function<void()> job)
    : thread([this, job] {
        try {
            job();
        } catch (...) {
            error = std::current_exception();
        }
    })
{
}

void Worker::join()
{
    thread.join();
    if (error)
        std::rethrow_exception(error);
}

Connection connect(bool encrypted)
{
    koBoundSocketLink bound(0);
    const int port = bound.getAddress().getPort();
    Connection connection;
    Worker accept([&] {
        connection.server = std::make_shared<koSocketLink>(bound);
        connection.server->setRecvTimeout(30.0);
        if (encrypted) {
            koNetStream stream(connection.server);
            connection.server->setCipher(std::make_shared<koNetCipher>(false, stream));
        }
    });
    try {
        connection.client = std::make_shared<koSocketLink>(koSocketAddress("127.0.0.1", port), 5.0);
        connection.client->setRecvTimeout(30.0);
        if (encrypted) {
            koNetStream stream(connection.client);
            connection.client->setCipher(std::make_shared<koNetCipher>(true, stream));
        }
    } catch (...) {
        bound.shutdown();
        if (connection.client)
            connection.client->shutdown();
        try {
            accept.join();
        } catch (...) {
        }
        throw;
    }
    accept.join();
    return connection;
}

namespace {

// The bytes every transfer sends, and what the receiver compares them with.
std::vector<char> sourceBytes(std::size_t size)
{
    std::vector<char> source(size);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<char>(i * 131 + (i >> 8));
    return source;
}

void checkChunk(const std::vector<char>& chunk, const std::vector<char>& source, std::size_t n, bool last)
{
    const std::size_t checked = last ? n : std::min<std::size_t>(n, 64);
    if (std::memcmp(chunk.data(), source.data(), checked) != 0)
        throw std::runtime_error("received bytes differ from the bytes sent");
}

// Two connected TCP sockets over 127.0.0.1 with TCP_NODELAY, as the links set it.
struct SocketPair
{
    int sender = -1;
    int receiver = -1;
    SocketPair()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const bool listening = listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0
            && ::listen(listener, 1) == 0
            && ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        sender = listening ? ::socket(AF_INET, SOCK_STREAM, 0) : -1;
        const bool connected = sender >= 0 && ::connect(sender, reinterpret_cast<sockaddr*>(&address), length) == 0;
        receiver = connected ? ::accept(listener, nullptr, nullptr) : -1;
        if (listener >= 0)
            ::close(listener);
        if (receiver < 0) {
            close();
            throw std::runtime_error("cannot connect two sockets over 127.0.0.1");
        }
        const int on = 1;
        ::setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(receiver, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~SocketPair() { close(); }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    void close()
    {
        if (sender >= 0)
            ::close(sender);
        if (receiver >= 0)
            ::close(receiver);
        sender = receiver = -1;
    }
};

// The two ends of one transfer: putChunk sends bytes, getChunk receives
// exactly `n`, stopAll wakes both when one side failed.
struct Ends
{
    std::function<void(const char*, std::size_t)> putChunk;
    std::function<void(char*, std::size_t)> getChunk;
    std::function<void()> stopAll;
};

Timing run(std::size_t bytes, std::size_t chunkSize, const Ends& ends)
{
    const std::vector<char> source = sourceBytes(chunkSize);
    Timing timing;
    const auto start = std::chrono::steady_clock::now();
    Worker receiver([&] {
        const double cpu = threadCpuSeconds();
        try {
            std::vector<char> chunk(chunkSize);
            for (std::size_t left = bytes; left > 0;) {
                const std::size_t n = std::min(left, chunk.size());
                ends.getChunk(chunk.data(), n);
                checkChunk(chunk, source, n, left == n);
                left -= n;
            }
        } catch (...) {
            ends.stopAll(); // the sender must not wait for a reader that left
            throw;
        }
        timing.receiverCpu = threadCpuSeconds() - cpu;
    });
    const double cpu = threadCpuSeconds();
    try {
        for (std::size_t left = bytes; left > 0;) {
            const std::size_t n = std::min(left, source.size());
            ends.putChunk(source.data(), n);
            left -= n;
        }
    } catch (...) {
        ends.stopAll();
        try {
            receiver.join();
        } catch (...) {
        }
        throw;
    }
    timing.senderCpu = threadCpuSeconds() - cpu;
    receiver.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    timing.seconds = elapsed.count();
    return timing;
}

Timing socketTransfer(std::size_t bytes, std::size_t chunk)
{
    SocketPair pair;
    Ends ends;
    ends.putChunk = [&pair](const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(pair.sender, data, size, MSG_NOSIGNAL);
            if (n <= 0 && errno != EINTR)
                throw std::runtime_error("send failed");
            data += std::max<ssize_t>(n, 0);
            size -= static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        }
    };
    ends.getChunk = [&pair](char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::recv(pair.receiver, data, size, 0);
            if (n == 0 || (n < 0 && errno != EINTR))
                throw std::runtime_error("recv failed");
            data += std::max<ssize_t>(n, 0);
            size -= static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        }
    };
    ends.stopAll = [&pair] {
        ::shutdown(pair.sender, SHUT_RDWR);
        ::shutdown(pair.receiver, SHUT_RDWR);
    };
    return run(bytes, chunk, ends);
}

Timing streamTransfer(std::size_t bytes, std::size_t chunk, bool encrypted)
{
    Connection connection = connect(encrypted);
    koNetStream out(connection.client);
    koNetStream in(connection.server);
    Ends ends;
    ends.putChunk = [&out](const char* data, std::size_t size) {
        out.putBytes(data, size);
        out.flush();
    };
    ends.getChunk = [&in](char* data, std::size_t size) { in.getBytes(data, size); };
    ends.stopAll = [&connection] {
        connection.client->shutdown();
        connection.server->shutdown();
    };
    return run(bytes, chunk, ends);
}

} // namespace

Timing transfer(std::size_t bytes, std::size_t chunk, Mode mode)
{
    if (mode == Mode::Socket)
        return socketTransfer(bytes, chunk);
    return streamTransfer(bytes, chunk, mode == Mode::Encrypted);
}

double threadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double megabytesPerSecond(std::size_t bytes, double seconds)
{
    return static_cast<double>(bytes) / 1e6 / seconds;
}

} // namespace koBench
