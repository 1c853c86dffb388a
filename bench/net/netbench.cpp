// kosession-netbench: moves a block of bytes over loopback TCP through
// koNetStream twice per round, once over a bare koSocketLink and once with
// koNetCipher installed on both ends, and prints both rates and their ratio.
#include "koBoundSocketLink.h"
#include "koNetCipher.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options
{
    std::size_t bytes = std::size_t(1) << 30;
    std::size_t chunk = std::size_t(1) << 20;
    int rounds = 3;
    bool plain = true;     // run the transfers without cipher
    bool encrypted = true; // run the transfers with cipher
};

void usage()
{
    std::fprintf(stderr,
                 "usage: kosession-netbench [--size MiB] [--chunk KiB] [--rounds N] [--only plain|encrypted]\n"
                 "  --size    bytes moved per transfer, in MiB (default 1024)\n"
                 "  --chunk   bytes per write and per read, in KiB (default 1024)\n"
                 "  --rounds  transfers per mode; the best counts (default 3)\n"
                 "  --only    run one mode alone (for profiling)\n");
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            throw std::invalid_argument("missing value after " + name);
        if (name == "--only") {
            const std::string mode = argv[++i];
            if (mode != "plain" && mode != "encrypted")
                throw std::invalid_argument("--only takes plain or encrypted");
            options.plain = mode == "plain";
            options.encrypted = mode == "encrypted";
            continue;
        }
        const long value = std::strtol(argv[++i], nullptr, 10);
        if (value <= 0)
            throw std::invalid_argument("bad value for " + name);
        if (name == "--size")
            options.bytes = static_cast<std::size_t>(value) << 20;
        else if (name == "--chunk")
            options.chunk = static_cast<std::size_t>(value) << 10;
        else if (name == "--rounds")
            options.rounds = static_cast<int>(value);
        else
            throw std::invalid_argument("unknown option " + name);
    }
    return options;
}

// Runs `job` on a thread of its own; join() rethrows what it threw.
class Worker
{
public:
    explicit Worker(std::function<void()> job)
        : thread([this, job] {
            try {
                job();
            } catch (...) {
                error = std::current_exception();
            }
        })
    {
    }
    void join()
    {
        thread.join();
        if (error)
            std::rethrow_exception(error);
    }

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

// Seconds from the first write until the receiver holds the last byte. The
// receiver checks the head of every chunk and the whole of the last one.
double transfer(const Options& options, bool encrypted)
{
    Connection connection = connect(encrypted);
    std::vector<char> source(options.chunk);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<char>(i * 131 + (i >> 8));

    const auto start = std::chrono::steady_clock::now();
    Worker receiver([&] {
        try {
            koNetStream in(connection.server);
            std::vector<char> chunk(options.chunk);
            for (std::size_t left = options.bytes; left > 0;) {
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
        for (std::size_t left = options.bytes; left > 0;) {
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

} // namespace

int main(int argc, char** argv)
{
    try {
        Options options;
        try {
            options = parseOptions(argc, argv);
        } catch (const std::invalid_argument& error) {
            std::fprintf(stderr, "kosession-netbench: %s\n", error.what());
            usage();
            return 2;
        }
        std::printf("kosession-netbench: %zu MiB per transfer over loopback TCP (127.0.0.1), "
                    "%zu KiB writes and reads, best of %d\n",
                    options.bytes >> 20, options.chunk >> 10, options.rounds);
        double plainBest = 0.0;
        double encryptedBest = 0.0;
        // Alternating the modes spreads the noise of a shared machine over both.
        for (int round = 1; round <= options.rounds; ++round) {
            std::printf("  round %d:", round);
            if (options.plain) {
                const double rate = megabytesPerSecond(options.bytes, transfer(options, false));
                std::printf(" plain %8.1f MB/s", rate);
                plainBest = std::max(plainBest, rate);
            }
            if (options.encrypted) {
                const double rate = megabytesPerSecond(options.bytes, transfer(options, true));
                std::printf(" encrypted %8.1f MB/s", rate);
                encryptedBest = std::max(encryptedBest, rate);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        if (options.plain)
            std::printf("plain     (koSocketLink, no cipher)    : %8.1f MB/s\n", plainBest);
        if (options.encrypted)
            std::printf("encrypted (koSocketLink + koNetCipher) : %8.1f MB/s  [%s]\n", encryptedBest,
                        koNetCipher::getSuiteName());
        if (options.plain && options.encrypted)
            std::printf("ratio encrypted / plain                : %8.2f\n", encryptedBest / plainBest);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kosession-netbench: %s\n", error.what());
        return 1;
    }
}
