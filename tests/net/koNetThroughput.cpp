// Measures a large one-way transfer over TCP loopback three ways: a plain
// socket (send/recv loops), koNetStream over a link without cipher, and
// koNetStream over a link with the real cipher. Prints MB/s and the ratios.
// Usage: kosession-net-throughput [MiB, default 1024] [rounds, default 3]
#include "koBoundSocketLink.h"
#include "koNetCipher.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kChunk = 1024 * 1024;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// User plus system CPU time of the whole process so far.
double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Result
{
    double seconds = 1e9;
    double cpu = 0.0;
};

// Keeps the fastest of several rounds, with the CPU time it took.
template <class Run>
void measure(Result& best, Run run)
{
    const double cpuBefore = cpuSeconds();
    const double seconds = run();
    if (seconds < best.seconds) {
        best.seconds = seconds;
        best.cpu = cpuSeconds() - cpuBefore;
    }
}

// The plain reference: two raw TCP sockets on loopback, 1 MiB send/recv calls.
double plainSocket(std::size_t total)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) < 0 || ::listen(listener, 1) < 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) < 0)
        throw std::runtime_error("cannot listen");
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(client, reinterpret_cast<sockaddr*>(&address), length) < 0)
        throw std::runtime_error("cannot connect");
    const int server = ::accept(listener, nullptr, nullptr);
    const int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const auto start = std::chrono::steady_clock::now();
    std::thread sender([&] {
        std::vector<char> chunk(kChunk, 'x');
        for (std::size_t sent = 0; sent < total;) {
            const ssize_t n = ::send(client, chunk.data(), std::min(kChunk, total - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<std::size_t>(n);
        }
    });
    std::vector<char> chunk(kChunk);
    for (std::size_t got = 0; got < total;) {
        const ssize_t n = ::recv(server, chunk.data(), std::min(kChunk, total - got), 0);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    const double seconds = secondsSince(start);
    sender.join();
    ::close(client);
    ::close(server);
    ::close(listener);
    return seconds;
}

// koNetStream over a TCP link, with or without the real cipher.
double streams(std::size_t total, bool cipher)
{
    koBoundSocketLink bound(0);
    auto accepted = std::async(std::launch::async, [&] { return std::make_shared<koSocketLink>(bound); });
    auto client = std::make_shared<koSocketLink>(koSocketAddress("127.0.0.1", bound.getAddress().getPort()), 5.0);
    auto server = accepted.get();
    if (cipher) {
        auto handshake = std::async(std::launch::async, [&] {
            koNetStream stream(server);
            server->setCipher(std::make_shared<koNetCipher>(false, stream));
        });
        koNetStream stream(client);
        client->setCipher(std::make_shared<koNetCipher>(true, stream));
        handshake.get();
    }
    const auto start = std::chrono::steady_clock::now();
    std::thread sender([&] {
        koNetStream out(client);
        std::vector<char> chunk(kChunk, 'x');
        for (std::size_t sent = 0; sent < total; sent += kChunk)
            out.putBytes(chunk.data(), std::min(kChunk, total - sent));
        out.flush();
    });
    koNetStream in(server);
    std::vector<char> chunk(kChunk);
    for (std::size_t got = 0; got < total; got += kChunk)
        in.getBytes(chunk.data(), std::min(kChunk, total - got));
    const double seconds = secondsSince(start);
    sender.join();
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::size_t total = mib * 1024 * 1024;
    Result plain, link, ciphered;
    for (int round = 0; round < rounds; ++round) {
        measure(plain, [&] { return plainSocket(total); });
        measure(link, [&] { return streams(total, false); });
        measure(ciphered, [&] { return streams(total, true); });
    }
    auto show = [&](const char* what, const Result& result) {
        std::printf("%-22s %7.0f MB/s  ratio %.2f  CPU %.2f s per GiB\n", what, total / result.seconds / 1e6,
                    plain.seconds / result.seconds, result.cpu / (total / 1073741824.0));
    };
    std::printf("%zu MiB, best of %d rounds\n", mib, rounds);
    show("plain socket", plain);
    show("stream, no cipher", link);
    show("stream + koNetCipher", ciphered);
    return 0;
}
