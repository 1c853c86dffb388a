// Latency and relay throughput of application commands.
#include "koBenchScenarios.h"

#include "koBenchCommand.h"
#include "koBenchFloor.h"
#include "koBenchReport.h"
#include "koBenchSession.h"
#include "koPlainRelay.h"
#include "koRedisRelay.h"

#include "koLatencyStats.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionClient.h"
#include "koSessionCommandFactory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nowNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Push-to-execute times of one run, per link; any thread adds.
struct LatencyRecorder
{
    // Guards both samples; taken by the main thread (main link) and the
    // receivers' second-link threads.
    std::mutex mutex;
    koLatencyStats lanes[2];

    void add(const koBenchCommand& command)
    {
        const double ms = static_cast<double>(nowNanoseconds() - command.sentNanoseconds) / 1e6;
        std::lock_guard<std::mutex> lock(mutex);
        lanes[command.lane & 1].add(ms);
    }
};

koBenchReport::Row latencyRow(const QString& label, const koLatencyStats& stats, const koBenchFloor& floor,
                              int expected)
{
    koBenchReport::Row row;
    row.label = label;
    const double median = stats.getMedian();
    const double p99 = stats.getPercentile(99.0);
    row.values = {{QStringLiteral("median_ms"), median},
                  {QStringLiteral("p99_ms"), p99},
                  {QStringLiteral("max_ms"), stats.getPercentile(100.0)},
                  {QStringLiteral("floor_median_ms"), floor.getMedian()},
                  {QStringLiteral("floor_p99_ms"), floor.getPercentile99()},
                  {QStringLiteral("over_median_ms"), median - floor.getMedian()},
                  {QStringLiteral("over_p99_ms"), p99 - floor.getPercentile99()},
                  {QStringLiteral("samples"), stats.getCount()},
                  {QStringLiteral("expected"), expected}};
    return row;
}

void latencyRun(const koBenchSettings& settings, int receivers, koBenchReport& report)
{
    constexpr auto PushPeriod = std::chrono::milliseconds(20);
    constexpr auto PollPeriod = std::chrono::milliseconds(1);
    koBenchSession session(settings, receivers + 1);
    koSessionClient& sender = session.people[0];

    LatencyRecorder recorder;
    koBenchCommand::setObserver([&recorder](const koBenchCommand& command, koSessionClient*) {
        recorder.add(command);
    });
    // Pushes land at a random moment of each 20 ms slot, so their phase
    // against the sending cycles is uniform, as an application's would be.
    std::mt19937 random(7);
    std::uniform_int_distribution<int> jitter(0, 19999);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(settings.latencySeconds));
    const auto drained = end + std::chrono::milliseconds(300);
    auto slot = start;
    auto nextPush = slot + std::chrono::microseconds(jitter(random));
    std::uint32_t pushed = 0;
    for (auto poll = start; poll < drained; poll += PollPeriod) {
        const auto now = Clock::now();
        if (now < end && now >= nextPush) {
            sender.push(koBenchCommand(nowNanoseconds(), pushed, 0));
            sender.pushAsync(koBenchCommand(nowNanoseconds(), pushed, 1));
            ++pushed;
            slot += PushPeriod;
            nextPush = slot + std::chrono::microseconds(jitter(random));
        }
        for (const auto& client : session.people.clients())
            client->executeCommands();
        std::this_thread::sleep_until(poll + PollPeriod);
    }
    session.leave();
    koBenchCommand::setObserver(nullptr);

    const int expected = static_cast<int>(pushed) * receivers;
    const koBenchFloor mainFloor({40.0, 40.0, 1.0});
    const koBenchFloor secondFloor({20.0, 20.0});
    report.add(QStringLiteral("latency"),
               latencyRow(QStringLiteral("N=%1 main").arg(receivers), recorder.lanes[0], mainFloor, expected));
    report.add(QStringLiteral("latency"),
               latencyRow(QStringLiteral("N=%1 second").arg(receivers), recorder.lanes[1], secondFloor, expected));
}

// Drains one receiver's list as its main thread would, counting the bench's
// records; executing them is the application's cost and is left out.
std::uint64_t drain(koSessionClient& receiver, unsigned int benchType)
{
    std::uint64_t count = 0;
    for (const auto& change : receiver.getServerChanges()->popAll()) {
        if (change->getCommandType() == benchType)
            ++count;
    }
    return count;
}

// The sender runs on a thread of its own, as the participant's own main
// thread would; this thread drains the receivers, each of which stands for a
// participant's main thread too.
// Also gives the server's share of a core and the CPU time of the whole
// session (server and every participant) per delivered change.
double sessionRelay(const koBenchSettings& settings, int receivers, std::size_t window, double& serverCpu,
                    double& cpuPerChange)
{
    koBenchSession session(settings, receivers + 1);
    koSessionClient& sender = session.people[0];
    const unsigned int benchType = koSessionCommandFactory::the().getType("SessionBenchPayload");
    std::vector<std::uint64_t> delivered(static_cast<std::size_t>(receivers), 0);
    std::atomic<std::uint64_t> slowest{0};
    std::atomic<bool> running{true};

    const double cpuBefore = session.server.getCpuSeconds();
    const std::clock_t participantsBefore = std::clock();
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(settings.seconds));
    std::thread pusher([&] {
        for (std::uint64_t pushed = 0; running;) {
            const std::uint64_t inFlight = pushed - slowest;
            if (inFlight >= window) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            for (std::uint64_t i = std::min<std::uint64_t>(window - inFlight, 1000); i > 0; --i)
                sender.push(koBenchCommand(0, static_cast<std::uint32_t>(pushed++), 0));
        }
    });
    while (Clock::now() < end) {
        std::uint64_t taken = 0;
        for (int r = 0; r < receivers; ++r) {
            const std::uint64_t count = drain(session.people[static_cast<std::size_t>(r) + 1], benchType);
            delivered[static_cast<std::size_t>(r)] += count;
            taken += count;
        }
        slowest = *std::min_element(delivered.begin(), delivered.end());
        if (taken == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    running = false;
    pusher.join();
    const double participantsCpu = static_cast<double>(std::clock() - participantsBefore) / CLOCKS_PER_SEC;
    const double serverSeconds = session.server.getCpuSeconds() - cpuBefore;
    serverCpu = serverSeconds / elapsed.count();
    std::uint64_t total = 0;
    for (std::uint64_t count : delivered)
        total += count;
    cpuPerChange = total > 0 ? (participantsCpu + serverSeconds) / static_cast<double>(total) : 0.0;
    return static_cast<double>(total) / elapsed.count();
}

// Redis's rate and the session's against it, as "<name>_per_s" and "vs_<name>".
void addRedis(koBenchReport::Row& row, const QString& name, double session, double redis)
{
    row.values.push_back({name + QStringLiteral("_per_s"), redis});
    row.values.push_back({QStringLiteral("vs_") + name, redis > 0 ? session / redis : 0.0});
}

} // namespace

namespace koBenchScenarios {

void latency(const koBenchSettings& settings, koBenchReport& report)
{
    const std::vector<int> counts = settings.quick ? std::vector<int>{1, 8} : std::vector<int>{1, 8, 32};
    for (int receivers : counts)
        latencyRun(settings, receivers, report);
}

void relay(const koBenchSettings& settings, koBenchReport& report)
{
    // Records in flight at most, as in the plain relay: enough to cover two
    // cycles at several million records a second.
    constexpr std::size_t Window = 100000;
    // PUBLISH commands in flight: deep enough that Redis never waits on a
    // round trip of its publisher.
    constexpr std::size_t RedisWindow = 1024;
    const std::vector<int> counts = settings.quick ? std::vector<int>{1, 4} : std::vector<int>{1, 4, 16};
    for (int receivers : counts) {
        double serverCpu = 0.0;
        double cpuPerChange = 0.0;
        const double session = sessionRelay(settings, receivers, Window, serverCpu, cpuPerChange);
        const double plain = koPlainRelay::run(receivers, settings.seconds, Window);
        koBenchReport::Row row;
        row.label = QStringLiteral("N=%1").arg(receivers);
        row.values = {{QStringLiteral("session_per_s"), session},
                      {QStringLiteral("plain_per_s"), plain},
                      {QStringLiteral("ratio"), plain > 0 ? session / plain : 0.0},
                      {QStringLiteral("server_cpu"), serverCpu},
                      {QStringLiteral("cpu_us_per_change"), cpuPerChange * 1e6}};
        if (koRedisRelay::available()) {
            for (const bool tls : {false, true}) {
                const double redis = koRedisRelay::run(receivers, settings.seconds, RedisWindow, tls);
                addRedis(row, tls ? QStringLiteral("redis_tls") : QStringLiteral("redis"), session, redis);
            }
        }
        report.add(QStringLiteral("relay"), row);
    }
}

} // namespace koBenchScenarios
