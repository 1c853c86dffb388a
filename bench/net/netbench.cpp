// kosession-netbench: moves a block of bytes over loopback TCP three ways per
// round: between two bare sockets, through koNetStream over a bare
// koSocketLink, and with koNetCipher installed on both ends. Prints each
// rate, its ratio to the bare sockets, and the CPU time of the sending and
// the receiving thread per GiB: on a busy machine the slower side's CPU time
// tells what an idle machine would reach.
#include "koBenchOptions.h"
#include "koBenchTransfer.h"

#include "koNetCipher.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

const char* const kUsage =
    "usage: kosession-netbench [--size MiB] [--chunk KiB] [--rounds N] [--only socket|plain|encrypted]\n"
    "  --size    bytes moved per transfer, in MiB (default 1024)\n"
    "  --chunk   bytes per write and per read, in KiB (default 1024)\n"
    "  --rounds  transfers per mode; the best counts (default 3)\n"
    "  --only    run one mode alone (for profiling)\n";

struct ModeRow
{
    const char* name;
    const char* label;
    koBench::Mode mode;
    bool enabled = true;
    koBench::Timing best;
    bool measured = false;
};

void keepBest(ModeRow& row, const koBench::Timing& timing)
{
    if (!row.measured || timing.seconds < row.best.seconds)
        row.best = timing;
    row.measured = true;
}

void printRow(const ModeRow& row, std::size_t bytes, double socketSeconds)
{
    const double gib = static_cast<double>(bytes) / double(1 << 30);
    const double slower = std::max(row.best.senderCpu, row.best.receiverCpu);
    std::printf("%-38s: %8.1f MB/s", row.label, koBench::megabytesPerSecond(bytes, row.best.seconds));
    if (socketSeconds > 0.0)
        std::printf("  ratio %.2f", socketSeconds / row.best.seconds);
    std::printf("  CPU s/GiB send %.3f recv %.3f  (CPU-bound %.0f MB/s)\n", row.best.senderCpu / gib,
                row.best.receiverCpu / gib, slower > 0.0 ? koBench::megabytesPerSecond(bytes, slower) : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t bytes = std::size_t(1) << 30;
    std::size_t chunk = std::size_t(1) << 20;
    int rounds = 3;
    std::string only;
    koBench::Options options("kosession-netbench", kUsage);
    options.addNumber("--size", std::size_t(1) << 20, bytes);
    options.addNumber("--chunk", std::size_t(1) << 10, chunk);
    options.addNumber("--rounds", rounds);
    options.addChoice("--only", {"socket", "plain", "encrypted"}, only);
    if (!options.parse(argc, argv))
        return 2;

    ModeRow rows[] = {
        {"socket", "socket    (send/recv, no library)", koBench::Mode::Socket, true, {}, false},
        {"plain", "plain     (koSocketLink, no cipher)", koBench::Mode::Link, true, {}, false},
        {"encrypted", "encrypted (koSocketLink + koNetCipher)", koBench::Mode::Encrypted, true, {}, false},
    };
    for (ModeRow& row : rows)
        row.enabled = only.empty() || only == row.name;
    try {
        std::printf("kosession-netbench: %zu MiB per transfer over loopback TCP (127.0.0.1), "
                    "%zu KiB writes and reads, best of %d [%s]\n",
                    bytes >> 20, chunk >> 10, rounds, koNetCipher::getSuiteName());
        // Alternating the modes spreads the noise of a shared machine over all.
        for (int round = 1; round <= rounds; ++round) {
            std::printf("  round %d:", round);
            for (ModeRow& row : rows) {
                if (!row.enabled)
                    continue;
                const koBench::Timing timing = koBench::transfer(bytes, chunk, row.mode);
                std::printf(" %s %8.1f MB/s", row.name, koBench::megabytesPerSecond(bytes, timing.seconds));
                keepBest(row, timing);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        const double socketSeconds = rows[0].measured ? rows[0].best.seconds : 0.0;
        for (const ModeRow& row : rows) {
            if (row.measured)
                printRow(row, bytes, socketSeconds);
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kosession-netbench: %s\n", error.what());
        return 1;
    }
}
