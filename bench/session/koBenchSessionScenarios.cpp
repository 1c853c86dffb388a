// Poses all-to-all, scene transfer and the server's memory.
#include "koBenchScenarios.h"

#include "koBenchCommand.h"
#include "koBenchFloor.h"
#include "koBenchReport.h"
#include "koBenchSession.h"
#include "koBenchTransfer.h"
#include "koPoseProbe.h"

#include "koSession.h"
#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionSceneBuffer.h"
#include "koSessionUserPoseCommand.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t microsecondsSince(Clock::time_point epoch)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch).count();
}

koSessionUserPoseCommand makePose(unsigned short userId, int sender, std::uint32_t sequence,
                                  std::int64_t microseconds)
{
    osg::TransformationMatrix<float> camera;
    koPoseProbe::encode(camera.getValues(), sender, sequence, microseconds);
    koSessionUserPoseCommand pose(userId, camera);
    osg::TransformationMatrix<float> tracker;
    tracker[12] = 0.25f;
    pose.setHeadTracker(tracker);
    pose.setLeftHandTracker(tracker, koHandTypes::Open);
    pose.setRightHandTracker(tracker, koHandTypes::Fist);
    pose.setPointer(osg::Point<float, 3>(0.f, 1.f, 2.f), osg::Point<float, 3>(3.f, 4.f, 5.f));
    return pose;
}

// Every participant pushes a full pose 30 times a second on its second link,
// the participants' moments spread evenly over the 33 ms period.
void sendPoses(koBenchParticipants& people, Clock::time_point epoch, Clock::time_point end,
               std::vector<std::int64_t>& lastSequence)
{
    const auto period = std::chrono::microseconds(1000000 / 30);
    const auto count = static_cast<int>(people.size());
    std::vector<unsigned short> ids;
    for (const auto& client : people.clients())
        ids.push_back(client->getUserId());
    for (std::int64_t round = 0;; ++round) {
        for (int i = 0; i < count; ++i) {
            const auto due = epoch + period * round + period * i / count;
            if (due >= end)
                return;
            std::this_thread::sleep_until(due);
            const auto sequence = static_cast<std::uint32_t>(round);
            people[static_cast<std::size_t>(i)].pushAsync(
                makePose(ids[static_cast<std::size_t>(i)], i, sequence, microsecondsSince(epoch)));
            lastSequence[static_cast<std::size_t>(i)] = round;
        }
    }
}

void posesRun(const koBenchSettings& settings, int participants, koBenchReport& report)
{
    koBenchSession session(settings, participants);
    koPoseProbe probe(participants);
    const auto epoch = Clock::now();
    const QMetaObject::Connection connection = QObject::connect(
        &koSession::the(), &koSession::poseChanged, &koSession::the(),
        [&probe, epoch](const koSessionUserPoseCommand* pose) { probe.onPose(*pose, microsecondsSince(epoch)); },
        Qt::DirectConnection);

    std::vector<std::int64_t> lastSequence(static_cast<std::size_t>(participants), -1);
    const auto end = epoch + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(settings.latencySeconds));
    const double cpuBefore = session.server.getCpuSeconds();
    std::thread sender([&] { sendPoses(session.people, epoch, end, lastSequence); });
    sender.join();
    const std::chrono::duration<double> elapsed = Clock::now() - epoch;
    const double serverCpu = (session.server.getCpuSeconds() - cpuBefore) / elapsed.count();
    // The last poses are on their way for up to two cycles and a bit.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    session.leave(); // joins every receiving thread: the probe is theirs no more
    QObject::disconnect(connection);

    const koPoseProbe::Totals totals = probe.collect(lastSequence);
    const koBenchFloor floor({20.0, 20.0});
    std::uint64_t pushed = 0;
    for (std::int64_t last : lastSequence)
        pushed += static_cast<std::uint64_t>(last + 1);
    koBenchReport::Row row;
    row.label = QStringLiteral("P=%1").arg(participants);
    row.values = {{QStringLiteral("median_ms"), totals.latency.getMedian()},
                  {QStringLiteral("p99_ms"), totals.latency.getPercentile(99.0)},
                  {QStringLiteral("max_ms"), totals.latency.getPercentile(100.0)},
                  {QStringLiteral("floor_p99_ms"), floor.getPercentile99()},
                  {QStringLiteral("server_cpu"), serverCpu},
                  {QStringLiteral("expected"), static_cast<double>(pushed) * (participants - 1)},
                  {QStringLiteral("received"), static_cast<double>(totals.received)},
                  {QStringLiteral("superseded"), static_cast<double>(totals.superseded)},
                  {QStringLiteral("lost"), static_cast<double>(totals.lost)},
                  {QStringLiteral("reordered"), static_cast<double>(totals.reordered)},
                  {QStringLiteral("receivers"), totals.receivers}};
    report.add(QStringLiteral("poses"), row);
}

std::vector<char> sceneBytes(std::size_t size)
{
    std::vector<char> data(size);
    for (std::size_t i = 0; i < size; i += 4096)
        data[i] = static_cast<char>(i >> 12);
    return data;
}

double secondsOf(const std::function<void()>& job)
{
    const auto start = Clock::now();
    job();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The first and later transfers of a process differ in whether the
// receiving side writes into pages it already has.
struct SceneTimes
{
    double upload = 0.0;
    double download = 0.0;
};

// Uploads `data` and downloads it again into `received`. The server stores
// the scene once its last byte is in; a download asked for before that finds
// none and is asked again.
SceneTimes sceneRound(koSessionClient& client, const std::vector<char>& data, koSessionSceneBuffer& received)
{
    SceneTimes times;
    times.upload = secondsOf([&] { client.uploadScene(data, QStringLiteral("bench scene")); });
    QString name;
    for (int attempt = 0;; ++attempt) {
        try {
            times.download = secondsOf([&] { client.downloadScene(received, name); });
            break;
        } catch (const std::exception&) {
            if (attempt >= 50)
                throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (received.size() != data.size() || std::memcmp(received.data(), data.data(), data.size()) != 0
        || name != QStringLiteral("bench scene"))
        throw std::runtime_error("the downloaded scene differs from the uploaded one");
    return times;
}

void waitForRetained(koSessionClient& receiver, std::size_t count)
{
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    const unsigned int benchType = koSessionCommandFactory::the().getType("SessionBenchPayload");
    std::size_t seen = 0;
    while (seen < count && Clock::now() < deadline) {
        for (const auto& change : receiver.getServerChanges()->popAll())
            seen += change->getCommandType() == benchType ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (seen < count)
        throw std::runtime_error("the retained changes did not all arrive");
}

double settledResidentBytes(const koBenchServer& server)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return server.getResidentBytes();
}

} // namespace

namespace koBenchScenarios {

void poses(const koBenchSettings& settings, koBenchReport& report)
{
    const std::vector<int> counts = settings.quick ? std::vector<int>{10} : std::vector<int>{10, 50, 100, 200};
    for (int participants : counts)
        posesRun(settings, participants, report);
}

void scene(const koBenchSettings& settings, koBenchReport& report)
{
    const std::size_t bytes = static_cast<std::size_t>(settings.sceneMiB) << 20;
    std::vector<SceneTimes> rounds;
    {
        koBenchSession session(settings, 1);
        const std::vector<char> data = sceneBytes(bytes);
        koSessionSceneBuffer received;
        for (int round = 0; round < 2; ++round)
            rounds.push_back(sceneRound(session.people[0], data, received));
    }
    const std::size_t chunk = std::size_t(1) << 20;
    const double plain = koBench::transfer(bytes, chunk, koBench::Mode::Socket).seconds;
    const double cipher = koBench::transfer(bytes, chunk, koBench::Mode::Encrypted).seconds;
    for (std::size_t round = 0; round < rounds.size(); ++round) {
        const SceneTimes& times = rounds[round];
        koBenchReport::Row row;
        row.label = QStringLiteral("%1 MiB, %2").arg(settings.sceneMiB).arg(round == 0 ? "first" : "second");
        row.values = {{QStringLiteral("upload_MBps"), koBench::megabytesPerSecond(bytes, times.upload)},
                      {QStringLiteral("download_MBps"), koBench::megabytesPerSecond(bytes, times.download)},
                      {QStringLiteral("plain_socket_MBps"), koBench::megabytesPerSecond(bytes, plain)},
                      {QStringLiteral("cipher_link_MBps"), koBench::megabytesPerSecond(bytes, cipher)},
                      {QStringLiteral("upload_vs_link"), cipher / times.upload},
                      {QStringLiteral("download_vs_link"), cipher / times.download},
                      {QStringLiteral("upload_vs_plain"), plain / times.upload},
                      {QStringLiteral("download_vs_plain"), plain / times.download}};
        report.add(QStringLiteral("scene"), row);
    }
}

void memory(const koBenchSettings& settings, koBenchReport& report)
{
    const std::vector<int> counts = settings.quick ? std::vector<int>{1, 10} : std::vector<int>{1, 50, 100};
    {
        koBenchSession session(settings, counts.front());
        const double first = settledResidentBytes(session.server);
        for (int participants : counts) {
            if (participants > static_cast<int>(session.people.size())) {
                session.people.join(session.server.getLink(), participants - static_cast<int>(session.people.size()));
                if (!session.people.settle(60.0))
                    throw std::runtime_error("the participants did not all see the whole roster");
            }
            const double resident = settledResidentBytes(session.server);
            koBenchReport::Row row;
            row.label = QStringLiteral("idle P=%1").arg(participants);
            row.values = {{QStringLiteral("server_rss_MiB"), resident / 1048576.0},
                          {QStringLiteral("per_participant_KiB"),
                           participants > counts.front() ? (resident - first) / (participants - counts.front()) / 1024.0
                                                         : 0.0}};
            report.add(QStringLiteral("memory"), row);
        }
    }
    // Retained changes: not transient, so the server's main list keeps them.
    const int retained = settings.quick ? 5000 : 100000;
    koBenchSession session(settings, 2);
    const double before = settledResidentBytes(session.server);
    for (int i = 0; i < retained; ++i) {
        koBenchCommand command(0, static_cast<std::uint32_t>(i), 0);
        command.setTransient(false);
        session.people[0].push(command);
    }
    waitForRetained(session.people[1], static_cast<std::size_t>(retained));
    const double after = settledResidentBytes(session.server);
    koBenchReport::Row row;
    row.label = QStringLiteral("retained K=%1").arg(retained);
    row.values = {{QStringLiteral("server_rss_MiB"), after / 1048576.0},
                  {QStringLiteral("per_change_B"), (after - before) / retained}};
    report.add(QStringLiteral("memory"), row);
}

} // namespace koBenchScenarios
