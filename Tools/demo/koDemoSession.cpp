#include "koDemoSession.h"

#include "koEventWait.h"
#include "koInterruptWatcher.h"
#include "koTerminalOutput.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <functional>
#include <map>

namespace {

using namespace std::chrono_literals;

const QString password = QStringLiteral("demo-password");
constexpr int messagesPerSender = 40;
constexpr auto messageSpacing = 8ms;
constexpr int posesPerSender = 80;
// Each of the two senders sends every 30 ms, slower than the second link's
// 20 ms cycle, so that poses are seldom replaced by newer ones on the way.
constexpr auto poseSpacing = 15ms;
constexpr qint64 sceneBytes = 16 * 1024 * 1024;

// Bounds of the waits; a healthy run needs a small part of each.
constexpr auto startTimeout = 10s;
constexpr auto joinTimeout = 15s;
constexpr auto deliveryTimeout = 15s;
constexpr auto transferTimeout = 30s;
constexpr auto exitTimeout = 15s;

QRegularExpression pattern(const QString& text)
{
    return QRegularExpression(text);
}

double millisecondsBetween(koChildProcess::Clock::time_point from, koChildProcess::Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

bool writeRandomFile(const QString& path, qint64 size)
{
    std::vector<quint32> words(static_cast<std::size_t>(size / 4));
    QRandomGenerator::global()->fillRange(words.data(), static_cast<qsizetype>(words.size()));
    QFile file(path);
    const qint64 bytes = static_cast<qint64>(words.size() * sizeof(quint32));
    return file.open(QIODevice::WriteOnly)
        && file.write(reinterpret_cast<const char*>(words.data()), bytes) == bytes;
}

QByteArray fileChecksum(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result();
}

// The "(... MiB/s)" figure of a transfer line.
double rateOf(const QString& line)
{
    const QRegularExpressionMatch match = pattern(QStringLiteral("\\(([\\d.]+) MiB/s\\)")).match(line);
    return match.hasMatch() ? match.captured(1).toDouble() : 0.0;
}

} // namespace

koDemoSession::koDemoSession() = default;

// Children still running (after a failure) are killed by their owners'
// destructors; the participants go first, the server last.
koDemoSession::~koDemoSession()
{
    participants.clear();
    server.reset();
}

bool koDemoSession::run()
{
    koTerminalOutput::print(QStringLiteral("kosession-demo: a whole session on this machine. One server and four "
                                           "participants run as separate\nprocesses over loopback TCP; the demo types "
                                           "commands into the participants ('<') and reads what they\nprint ('|', "
                                           "'!' for errors), with the time since it started."));
    const bool completed = findPrograms() && startServer() && joinFirstThree() && exchangeMessages()
        && exchangePoses() && startSpectating() && uploadScene() && joinLate() && dropWithoutLeaving()
        && stopForEverybody();
    if (!completed) {
        transcript.note(koInterruptWatcher::isRaised() ? QStringLiteral("Interrupted: stopping every program.")
                                                       : QStringLiteral("The script stops at its first failure."));
    }
    killRemaining();
    countRelayed();
    printSummary();
    return completed && transcript.getFailures() == 0;
}

bool koDemoSession::findPrograms()
{
    const QString folder = QCoreApplication::applicationDirPath();
    serverProgram = folder + QStringLiteral("/kosession-server");
    clientProgram = folder + QStringLiteral("/kosession-client");
    return transcript.check(QFileInfo(serverProgram).isExecutable() && QFileInfo(clientProgram).isExecutable(),
                            QStringLiteral("kosession-server and kosession-client found next to the demo in %1")
                                .arg(folder))
        && transcript.check(workFolder.isValid(), QStringLiteral("a scratch folder for the scene files"));
}

bool koDemoSession::startServer()
{
    transcript.heading(QStringLiteral("1. The server starts on a free loopback port"));
    server = std::make_unique<koChildProcess>(QStringLiteral("server"));
    server->setLineObserver([this](const koChildProcess& child, const koChildProcess::Line& line) {
        transcript.showLine(child.getLabel(), line.text, line.fromError, line.when);
    });
    const QRegularExpression linkLine = pattern(QStringLiteral("^Session link: (\\S+)$"));
    const bool started = server->start(serverProgram, {QStringLiteral("--port"), QStringLiteral("0"),
                                                       QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                                                       QStringLiteral("--password"), password});
    const int index = started ? server->waitForLine(linkLine, startTimeout) : -1;
    if (index >= 0)
        link = linkLine.match(server->getLines()[static_cast<std::size_t>(index)].text).captured(1);
    return transcript.check(!link.isEmpty(), QStringLiteral("the server prints a session link protected by the "
                                                            "password \"%1\"")
                                                 .arg(password));
}

koDemoParticipant* koDemoSession::startParticipant(const QString& name, const QString& color)
{
    participants.push_back(std::make_unique<koDemoParticipant>(name, transcript));
    koDemoParticipant* participant = participants.back().get();
    const bool started = participant->start(clientProgram, {link, QStringLiteral("--name"), name,
                                                            QStringLiteral("--password"), password,
                                                            QStringLiteral("--color"), color});
    const bool joined = started && participant->waitUntilJoined(joinTimeout);
    return transcript.check(joined, QStringLiteral("%1 joins as user %2").arg(name).arg(participant->getUserId()))
        ? participant
        : nullptr;
}

bool koDemoSession::joinFirstThree()
{
    transcript.heading(QStringLiteral("2. Alice, Bob and Carol join"));
    if (!startParticipant(QStringLiteral("Alice"), QStringLiteral("#e8743b"))
        || !startParticipant(QStringLiteral("Bob"), QStringLiteral("#19a979"))
        || !startParticipant(QStringLiteral("Carol"), QStringLiteral("#945ecf")))
        return false;
    std::vector<koDemoParticipant*> everybody;
    for (const auto& participant : participants)
        everybody.push_back(participant.get());
    for (koDemoParticipant* participant : everybody) {
        if (!allSee(everybody, QStringLiteral("^\\+ user %1 \"").arg(participant->getUserId()), deliveryTimeout))
            return transcript.check(false, QStringLiteral("everybody sees %1 in the roster").arg(participant->getName()));
    }
    return transcript.check(true, QStringLiteral("each of the three sees all three in the roster"));
}

bool koDemoSession::allSee(const std::vector<koDemoParticipant*>& watchers, const QString& text,
                           std::chrono::milliseconds timeout)
{
    const QRegularExpression expected = pattern(text);
    const auto deadline = Clock::now() + timeout;
    for (koDemoParticipant* watcher : watchers) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (watcher->getProcess().waitForLine(expected, std::max(left, 0ms)) < 0) {
            transcript.note(QStringLiteral("%1 did not print a line matching %2").arg(watcher->getName(), text));
            return false;
        }
    }
    return true;
}

std::vector<std::vector<koDemoSession::Clock::time_point>>
koDemoSession::sendPaced(const std::vector<koDemoParticipant*>& senders, int count, std::chrono::milliseconds spacing,
                         const std::function<QString(int sender, int round)>& command)
{
    std::vector<std::vector<Clock::time_point>> times(senders.size());
    auto next = Clock::now();
    for (int round = 0; round < count; ++round) {
        for (std::size_t sender = 0; sender < senders.size(); ++sender) {
            // Children's output is read meanwhile, so arrival times stay exact.
            if (!koEventWait::until([&] { return Clock::now() >= next; }, spacing + 1s))
                return times;
            times[sender].push_back(senders[sender]->send(command(static_cast<int>(sender), round)));
            next += spacing;
        }
    }
    return times;
}

koDemoParticipant* koDemoSession::byUserId(unsigned short userId) const
{
    for (const auto& participant : participants) {
        if (participant->getUserId() == userId)
            return participant.get();
    }
    return nullptr;
}

bool koDemoSession::exchangeMessages()
{
    transcript.heading(QStringLiteral("3. Messages on the main link: %1 from each, every %2 ms in turn")
                           .arg(messagesPerSender)
                           .arg(messageSpacing.count()));
    const std::vector<koDemoParticipant*> senders = {participants[0].get(), participants[1].get(),
                                                     participants[2].get()};
    const auto times = sendPaced(senders, messagesPerSender, messageSpacing,
                                 [](int, int round) { return QStringLiteral("say hello #%1").arg(round); });
    for (koDemoParticipant* sender : senders) {
        std::vector<koDemoParticipant*> others;
        for (koDemoParticipant* receiver : senders)
            if (receiver != sender)
                others.push_back(receiver);
        const QString last = QStringLiteral("^message from user %1 \"[^\"]*\": hello #%2$")
                                 .arg(sender->getUserId())
                                 .arg(messagesPerSender - 1);
        if (!allSee(others, last, deliveryTimeout))
            return transcript.check(false, QStringLiteral("every message of %1 arrives").arg(sender->getName()));
    }

    // Each receiver must have every message of each other sender, once and in order.
    const QRegularExpression messageLine = pattern(QStringLiteral("^message from user (\\d+) \"[^\"]*\": hello #(\\d+)$"));
    bool complete = true;
    for (koDemoParticipant* receiver : senders) {
        std::map<unsigned short, std::vector<int>> received;
        for (const koChildProcess::Line& line : receiver->getProcess().getLines()) {
            const QRegularExpressionMatch match = messageLine.match(line.text);
            if (!match.hasMatch())
                continue;
            const auto from = static_cast<unsigned short>(match.captured(1).toUInt());
            const int round = match.captured(2).toInt();
            received[from].push_back(round);
            const auto sender = std::find(senders.begin(), senders.end(), byUserId(from));
            if (sender != senders.end() && round < static_cast<int>(times[sender - senders.begin()].size()))
                mainLink.add(millisecondsBetween(times[sender - senders.begin()][round], line.when));
        }
        for (koDemoParticipant* sender : senders) {
            if (sender == receiver)
                continue;
            const std::vector<int>& rounds = received[sender->getUserId()];
            bool inOrder = static_cast<int>(rounds.size()) == messagesPerSender;
            for (int i = 0; inOrder && i < messagesPerSender; ++i)
                inOrder = rounds[static_cast<std::size_t>(i)] == i;
            complete = transcript.check(inOrder, QStringLiteral("%1 got all %2 messages of %3, each once and in order")
                                                     .arg(receiver->getName())
                                                     .arg(messagesPerSender)
                                                     .arg(sender->getName()))
                && complete;
        }
    }
    return complete;
}

bool koDemoSession::exchangePoses()
{
    transcript.heading(QStringLiteral("4. Poses on the second link: %1 from Alice and from Bob, every %2 ms in turn")
                           .arg(posesPerSender)
                           .arg(poseSpacing.count()));
    const std::vector<koDemoParticipant*> senders = {participants[0].get(), participants[1].get()};
    // Pose k of sender i puts the camera at (k, i + 1, 0), so a line tells which pose arrived.
    const auto times = sendPaced(senders, posesPerSender, poseSpacing, [](int sender, int round) {
        return QStringLiteral("pose %1 %2 0%3")
            .arg(round)
            .arg(sender + 1)
            .arg(round % 10 == 0 ? QStringLiteral(" pointer 0 0 0") : QString());
    });
    for (std::size_t sender = 0; sender < senders.size(); ++sender) {
        std::vector<koDemoParticipant*> others;
        for (std::size_t receiver = 0; receiver < 3; ++receiver)
            if (receiver != sender)
                others.push_back(participants[receiver].get());
        const QString last = QStringLiteral("^pose from user %1 \"[^\"]*\": camera \\(%2, %3, 0\\)")
                                 .arg(senders[sender]->getUserId())
                                 .arg(posesPerSender - 1)
                                 .arg(sender + 1);
        if (!allSee(others, last, deliveryTimeout))
            return transcript.check(false, QStringLiteral("the last pose of %1 arrives").arg(senders[sender]->getName()));
    }

    // A pose is state: a newer one may replace an older one that has not been
    // sent yet. What arrives must still come in order, and the newest must come.
    const QRegularExpression poseLine = pattern(QStringLiteral("^pose from user (\\d+) \"[^\"]*\": camera \\((\\d+), (\\d+), 0\\)"));
    bool ordered = true;
    for (std::size_t receiver = 0; receiver < 3; ++receiver) {
        std::map<int, int> lastRound; // by sender index
        for (const koChildProcess::Line& line : participants[receiver]->getProcess().getLines()) {
            const QRegularExpressionMatch match = poseLine.match(line.text);
            if (!match.hasMatch())
                continue;
            const int sender = match.captured(3).toInt() - 1;
            const int round = match.captured(2).toInt();
            if (sender < 0 || sender > 1 || round >= static_cast<int>(times[static_cast<std::size_t>(sender)].size()))
                continue;
            const auto previous = lastRound.find(sender);
            ordered = ordered && (previous == lastRound.end() || previous->second < round);
            lastRound[sender] = round;
            secondLink.add(millisecondsBetween(times[static_cast<std::size_t>(sender)][static_cast<std::size_t>(round)],
                                               line.when));
        }
    }
    const int expected = 4 * posesPerSender; // Alice's to Bob and Carol, Bob's to Alice and Carol
    if (secondLink.getCount() == expected)
        transcript.note(QStringLiteral("all %1 pose deliveries seen").arg(expected));
    else
        transcript.note(QStringLiteral("%1 of %2 pose deliveries seen; the others were replaced by a newer pose of "
                                       "the same participant before they left a queue")
                            .arg(secondLink.getCount())
                            .arg(expected));
    return transcript.check(ordered, QStringLiteral("poses arrive in the order they were sent, the newest of each "
                                                    "sender at everybody"));
}

bool koDemoSession::startSpectating()
{
    transcript.heading(QStringLiteral("5. Carol spectates Alice"));
    koDemoParticipant* alice = participants[0].get();
    koDemoParticipant* carol = participants[2].get();
    carol->send(QStringLiteral("spectate %1").arg(alice->getUserId()));
    const bool watched = allSee({alice, participants[1].get(), carol},
                                QStringLiteral("^~ user %1 \".*watched by 1").arg(alice->getUserId()), deliveryTimeout);
    const bool spectating = allSee({alice, participants[1].get(), carol},
                                   QStringLiteral("^~ user %1 \".*spectating user %2")
                                       .arg(carol->getUserId())
                                       .arg(alice->getUserId()),
                                   deliveryTimeout);
    return transcript.check(watched && spectating, QStringLiteral("everybody sees Carol spectating Alice, and Alice "
                                                                  "watched by one"));
}

bool koDemoSession::uploadScene()
{
    transcript.heading(QStringLiteral("6. Alice stores a %1 MiB scene on the server").arg(sceneBytes / (1024 * 1024)));
    scenePath = workFolder.filePath(QStringLiteral("demo-scene.bin"));
    if (!transcript.check(writeRandomFile(scenePath, sceneBytes), QStringLiteral("a scene file of random bytes")))
        return false;
    sceneSize = sceneBytes;
    koDemoParticipant* alice = participants[0].get();
    alice->send(QStringLiteral("upload %1").arg(scenePath));
    const QRegularExpression uploaded = pattern(QStringLiteral("^uploaded \"demo-scene.bin\": %1 bytes").arg(sceneBytes));
    const int index = alice->getProcess().waitForLine(uploaded, transferTimeout);
    if (!transcript.check(index >= 0, QStringLiteral("Alice uploads the scene")))
        return false;
    uploadRate = rateOf(alice->getProcess().getLines()[static_cast<std::size_t>(index)].text);
    return transcript.check(allSee({participants[1].get(), participants[2].get()},
                                   QStringLiteral("^scene from user %1 \"Alice\": \"demo-scene.bin\", %2 bytes")
                                       .arg(alice->getUserId())
                                       .arg(sceneBytes),
                                   deliveryTimeout),
                            QStringLiteral("Bob and Carol get the scene's announcement"));
}

bool koDemoSession::joinLate()
{
    transcript.heading(QStringLiteral("7. Dave joins late and downloads the scene"));
    koDemoParticipant* dave = startParticipant(QStringLiteral("Dave"), QStringLiteral("#d1c52b"));
    if (!dave)
        return false;
    koDemoParticipant* alice = participants[0].get();
    koDemoParticipant* bob = participants[1].get();
    const bool asked = dave->getProcess().findLine(pattern(QStringLiteral("^The session holds a scene"))) >= 0;
    // What was kept for later joiners is printed once the roster names its makers.
    const bool announced = allSee({dave}, QStringLiteral("^scene from user %1 \"Alice\": \"demo-scene.bin\"")
                                              .arg(alice->getUserId()),
                                  deliveryTimeout);
    const bool poses = allSee({dave}, QStringLiteral("^pose from user %1 \"Alice\": camera \\(%2, 1, 0\\)")
                                          .arg(alice->getUserId())
                                          .arg(posesPerSender - 1),
                              deliveryTimeout)
        && allSee({dave}, QStringLiteral("^pose from user %1 \"Bob\": camera \\(%2, 2, 0\\)")
                              .arg(bob->getUserId())
                              .arg(posesPerSender - 1),
                  deliveryTimeout);
    const bool seen = allSee({alice, bob, participants[2].get()}, QStringLiteral("^\\+ user %1 \"Dave\"").arg(dave->getUserId()),
                             deliveryTimeout)
        && allSee({dave}, QStringLiteral("^\\+ user %1 \"Dave\".*\\(you\\)$").arg(dave->getUserId()), deliveryTimeout);
    transcript.check(asked && announced, QStringLiteral("Dave is told on joining that the session holds a scene, "
                                                        "and gets its announcement"));
    transcript.check(poses, QStringLiteral("Dave gets the newest pose of Alice and of Bob on joining"));
    transcript.check(seen, QStringLiteral("Dave and the others see him in the roster"));

    const QString copyPath = workFolder.filePath(QStringLiteral("dave-scene.bin"));
    dave->send(QStringLiteral("download %1").arg(copyPath));
    const int index = dave->getProcess().waitForLine(
        pattern(QStringLiteral("^downloaded \"demo-scene.bin\" to .*: %1 bytes.*checksum matches").arg(sceneBytes)),
        transferTimeout);
    if (index >= 0)
        downloadRate = rateOf(dave->getProcess().getLines()[static_cast<std::size_t>(index)].text);
    const QByteArray original = fileChecksum(scenePath);
    return transcript.check(index >= 0 && !original.isEmpty() && fileChecksum(copyPath) == original,
                            QStringLiteral("Dave's copy of the scene is identical to Alice's file"))
        && asked && announced && poses && seen;
}

bool koDemoSession::dropWithoutLeaving()
{
    transcript.heading(QStringLiteral("8. Bob drops out without leaving (his process is killed)"));
    koDemoParticipant* bob = participants[1].get();
    bob->getProcess().kill();
    const bool noticed = allSee({participants[0].get(), participants[2].get(), participants[3].get()},
                                QStringLiteral("^- user %1 \"Bob\" left$").arg(bob->getUserId()), deliveryTimeout);
    const bool logged = server->waitForLine(pattern(QStringLiteral("Session connection of user %1 ended")
                                                        .arg(bob->getUserId())),
                                            deliveryTimeout)
        >= 0;
    return transcript.check(noticed && logged, QStringLiteral("the server notices at once and the others see Bob go"));
}

bool koDemoSession::stopForEverybody()
{
    transcript.heading(QStringLiteral("9. Dave stops the session for everybody"));
    koDemoParticipant* dave = participants[3].get();
    dave->send(QStringLiteral("stop"));
    const bool serverEnded = server->waitForExit(exitTimeout) && server->getExitCode() == 0
        && server->findLine(pattern(QStringLiteral("^Session ended: a participant stopped it for everybody"))) >= 0;
    transcript.check(serverEnded, QStringLiteral("the server ends the session and exits with status 0"));
    bool everyoneLeft = true;
    for (std::size_t i : {std::size_t(0), std::size_t(2), std::size_t(3)}) {
        koChildProcess& process = participants[i]->getProcess();
        const bool ended = process.waitForExit(exitTimeout) && process.getExitCode() == 0;
        const QString expected = i == 3 ? QStringLiteral("^stopped the session for everybody$")
                                        : QStringLiteral("^session ended: ");
        everyoneLeft = transcript.check(ended && process.findLine(pattern(expected)) >= 0,
                                        QStringLiteral("%1 sees the session end and exits with status 0")
                                            .arg(participants[i]->getName()))
            && everyoneLeft;
    }
    return serverEnded && everyoneLeft;
}

void koDemoSession::killRemaining()
{
    std::vector<koChildProcess*> children;
    for (const auto& participant : participants)
        children.push_back(&participant->getProcess());
    if (server)
        children.push_back(server.get());
    for (koChildProcess* child : children) {
        // What a killed program still had to say is no part of the transcript.
        child->setLineObserver(koChildProcess::LineObserver());
        child->kill();
    }
}

void koDemoSession::countRelayed()
{
    const QRegularExpression message = pattern(QStringLiteral("^(private )?message from "));
    const QRegularExpression pose = pattern(QStringLiteral("^pose from "));
    const QRegularExpression roster = pattern(QStringLiteral("^[-+~] user "));
    const QRegularExpression scene = pattern(QStringLiteral("^scene from "));
    for (const auto& participant : participants) {
        const koChildProcess& process = participant->getProcess();
        messagesRelayed += process.countLines(message);
        posesRelayed += process.countLines(pose);
        rosterChanges += process.countLines(roster);
        sceneAnnouncements += process.countLines(scene);
    }
}

void koDemoSession::printSummary()
{
    transcript.heading(QStringLiteral("Summary"));
    QStringList names;
    for (const auto& participant : participants)
        names.append(participant->getName());
    transcript.note(QStringLiteral("participants:        %1 (%2), one of them dropped without leaving")
                        .arg(participants.size())
                        .arg(names.join(QStringLiteral(", "))));
    transcript.note(QStringLiteral("changes relayed:     %1 in all: %2 messages, %3 poses, %4 roster changes, %5 "
                                   "scene announcements")
                        .arg(messagesRelayed + posesRelayed + rosterChanges + sceneAnnouncements)
                        .arg(messagesRelayed)
                        .arg(posesRelayed)
                        .arg(rosterChanges)
                        .arg(sceneAnnouncements));
    const auto latency = [](const koLatencyStats& stats) {
        return QStringLiteral("median %1 ms, 99th percentile %2 ms over %3 deliveries")
            .arg(stats.getMedian(), 0, 'f', 1)
            .arg(stats.getPercentile(99.0), 0, 'f', 1)
            .arg(stats.getCount());
    };
    transcript.note(QStringLiteral("main link latency:   %1 (messages; 40 ms send cycle)").arg(latency(mainLink)));
    transcript.note(QStringLiteral("second link latency: %1 (poses; 20 ms send cycle)").arg(latency(secondLink)));
    transcript.note(QStringLiteral("                     from the demo typing the command to the receiver printing it"));
    transcript.note(QStringLiteral("scene transfer:      %1 MiB, uploaded at %2 MiB/s, downloaded at %3 MiB/s")
                        .arg(sceneSize / (1024.0 * 1024.0), 0, 'f', 1)
                        .arg(uploadRate, 0, 'f', 1)
                        .arg(downloadRate, 0, 'f', 1));
    const int passed = transcript.getChecks() - transcript.getFailures();
    transcript.note(QStringLiteral("checks:              %1 of %2 passed").arg(passed).arg(transcript.getChecks()));
    koTerminalOutput::print(transcript.getFailures() == 0 && passed > 0
                                ? QStringLiteral("Result: everything arrived.")
                                : QStringLiteral("Result: FAILED, see the checks above."));
}
