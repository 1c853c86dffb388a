#include "koBenchTransfer.h"

#include "koBoundSocketLink.h"
#include "koNetCipher.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <algorithm>
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

double transfer(std::size_t bytes, std::size_t chunkSize, bool encrypted)
{
    Connection connection = connect(encrypted);
    std::vector<char> source(chunkSize);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<char>(i * 131 + (i >> 8));

    const auto start = std::chrono::steady_clock::now();
    Worker receiver([&] {
        try {
            koNetStream in(connection.server);
            std::vector<char> chunk(chunkSize);
            for (std::size_t left = bytes; left > 0;) {
                const std::size_t n = std::min(left, chunk.size());
                in.getBytes(chunk.data(), n);
                const std::size_t checked = left == n ? n : std::min<std::size_t>(n, 64);
                if (std::memcmp(chunk.data(), source.data(), checked) != 0)
                    throw std::runtime_error("received bytes differ from the bytes sent");
                left -= n;
            }
        } catch (...) {
            connection.client->shutdown(); // the sender must not wait for a reader that left
            throw;
        }
    });
    try {
        koNetStream out(connection.client);
        for (std::size_t left = bytes; left > 0;) {
            const std::size_t n = std::min(left, source.size());
            out.putBytes(source.data(), n);
            out.flush();
            left -= n;
        }
    } catch (...) {
        connection.server->shutdown();
        try {
            receiver.join();
        } catch (...) {
        }
        throw;
    }
    receiver.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count();
}

double megabytesPerSecond(std::size_t bytes, double seconds)
{
    return static_cast<double>(bytes) / 1e6 / seconds;
}

} // namespace koBench
