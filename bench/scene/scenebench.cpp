// kosession-scenebench: runs a session server and a participant in this
// process, uploads a scene to the server and downloads it again over loopback
// TCP with the real cipher, and prints the rate of each direction next to the
// plain-socket and encrypted-link rates of the same block size measured in
// the same run.
#include "koBenchOptions.h"
#include "koBenchTransfer.h"

#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionServer.h"
#include "koSessionUser.h"

#include "koLog.h"

#include <QString>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: kosession-scenebench [--size MiB] [--rounds N] [--only references|upload|download]\n"
    "  --size    scene size in MiB (default 1024)\n"
    "  --rounds  rounds of all four transfers; the best of each counts (default 3)\n"
    "  --only    time one kind alone (for profiling; a download is timed after an\n"
    "            untimed upload)\n";

struct Options
{
    std::size_t bytes = std::size_t(1) << 30;
    int rounds = 3;
    bool references = true; // the plain and encrypted stream transfers
    bool upload = true;
    bool download = true; // needs an upload before it
};

bool parseOptions(int argc, char** argv, Options& options)
{
    std::string only;
    koBench::Options parser("kosession-scenebench", kUsage);
    parser.addNumber("--size", std::size_t(1) << 20, options.bytes);
    parser.addNumber("--rounds", options.rounds);
    parser.addChoice("--only", {"references", "upload", "download"}, only);
    if (!parser.parse(argc, argv))
        return false;
    if (!only.empty()) {
        options.references = only == "references";
        options.upload = only == "upload";
        options.download = only == "download";
    }
    return true;
}

// The server tells of a stored upload only in its log: counts those lines and
// lets the benchmark wait for the next one. Errors go to stderr.
class StoreWatch
{
public:
    StoreWatch()
    {
        koLog::setSink([this](koLog::Level level, const std::string& line) {
            if (level == koLog::Level::Error)
                std::fprintf(stderr, "kosession-scenebench: %s\n", line.c_str());
            if (line.find("uploaded by") == std::string::npos)
                return;
            std::lock_guard<std::mutex> lock(mutex);
            ++stored;
            changed.notify_all();
        });
    }
    ~StoreWatch() { koLog::setSink(koLog::Sink()); }

    int count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return stored;
    }
    void waitFor(int count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::minutes(5), [&] { return stored >= count; }))
            throw std::runtime_error("the server did not store the upload within 5 minutes");
    }

private:
    // Guards stored; taken by the log sink (the server's job) and the benchmark.
    std::mutex mutex;
    std::condition_variable changed;
    int stored = 0;
};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Best
{
    double plain = 0.0;
    double encrypted = 0.0;
    double upload = 0.0;
    double download = 0.0;
};

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options))
        return 2;
    try {
        koSession::the();
        StoreWatch watch;
        koSessionServer server;
        server.start(QString(), 0);
        const QString link = koSession::createSessionLink(QStringLiteral("127.0.0.1:%1").arg(server.getPort()), QString());
        koSessionClient client;
        koSessionUser user;
        user.setName(QStringLiteral("bench"));
        client.join(link, user, QString(), false);

        std::vector<char> scene(options.bytes);
        for (std::size_t i = 0; i < scene.size(); ++i)
            scene[i] = static_cast<char>(i * 131 + (i >> 12));
        std::vector<char> received;
        QString name;
        const std::size_t chunk = std::size_t(1) << 20;

        std::printf("kosession-scenebench: %zu MiB scene over loopback TCP (127.0.0.1), best of %d\n",
                    options.bytes >> 20, options.rounds);
        Best best;
        // Alternating the transfers spreads the noise of a shared machine over all.
        for (int round = 1; round <= options.rounds; ++round) {
            double plain = 0.0;
            double encrypted = 0.0;
            if (options.references) {
                plain = koBench::megabytesPerSecond(
                    options.bytes, koBench::transfer(options.bytes, chunk, koBench::Mode::Link).seconds);
                encrypted = koBench::megabytesPerSecond(
                    options.bytes, koBench::transfer(options.bytes, chunk, koBench::Mode::Encrypted).seconds);
            }

            double upload = 0.0;
            if (options.upload || (options.download && round == 1)) {
                // Until the server has stored it: the uploader hears nothing back.
                const int stored = watch.count();
                const auto start = std::chrono::steady_clock::now();
                client.uploadScene(scene, QStringLiteral("bench.kova"));
                watch.waitFor(stored + 1);
                upload = options.upload ? koBench::megabytesPerSecond(options.bytes, secondsSince(start)) : 0.0;
            }

            double download = 0.0;
            if (options.download) {
                // Into a vector of its own each time, as a joining participant would.
                std::vector<char>().swap(received);
                const auto start = std::chrono::steady_clock::now();
                if (!client.downloadScene(received, name))
                    throw std::runtime_error("the download was declined or aborted");
                download = koBench::megabytesPerSecond(options.bytes, secondsSince(start));
                if (received.size() != scene.size() || std::memcmp(received.data(), scene.data(), scene.size()) != 0)
                    throw std::runtime_error("the downloaded scene differs from the uploaded one");
            }

            std::printf("  round %d: plain %8.1f  encrypted %8.1f  upload %8.1f  download %8.1f MB/s\n", round,
                        plain, encrypted, upload, download);
            std::fflush(stdout);
            best.plain = std::max(best.plain, plain);
            best.encrypted = std::max(best.encrypted, encrypted);
            best.upload = std::max(best.upload, upload);
            best.download = std::max(best.download, download);
        }
        const auto ratio = [&best](double rate) { return best.plain > 0.0 ? rate / best.plain : 0.0; };
        std::printf("plain     (koSocketLink, no cipher)    : %8.1f MB/s\n", best.plain);
        std::printf("encrypted (koSocketLink + koNetCipher) : %8.1f MB/s  ratio to plain %.2f\n", best.encrypted,
                    ratio(best.encrypted));
        std::printf("scene upload   (client to server)      : %8.1f MB/s  ratio to plain %.2f\n", best.upload,
                    ratio(best.upload));
        std::printf("scene download (server to client)      : %8.1f MB/s  ratio to plain %.2f\n", best.download,
                    ratio(best.download));
        server.stop();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kosession-scenebench: %s\n", error.what());
        return 1;
    }
}
