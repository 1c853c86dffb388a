// kosession-netbench: moves a block of bytes over loopback TCP through
// koNetStream twice per round, once over a bare koSocketLink and once with
// koNetCipher installed on both ends, and prints both rates and their ratio.
#include "koBenchTransfer.h"

#include "koNetCipher.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

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
                const double rate = koBench::megabytesPerSecond(options.bytes, koBench::transfer(options.bytes, options.chunk, false));
                std::printf(" plain %8.1f MB/s", rate);
                plainBest = std::max(plainBest, rate);
            }
            if (options.encrypted) {
                const double rate = koBench::megabytesPerSecond(options.bytes, koBench::transfer(options.bytes, options.chunk, true));
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
