// Faults against the real programs over loopback: participants killed with
// SIGKILL in the middle of the command stream, of a scene upload and of a
// download; the server killed under its participants; hostile connections
// while participants keep talking. The server must stay up, keep serving the
// others, lose nothing it accepted and log nothing worse than one line per
// bad connection.
#include "koFaultKit.h"
#include "koTestFaultProxy.h"
#include "koServerTestKit.h"
#include "koToolsTestKit.h"

#include "koSessionClient.h"

#include "koNetStream.h"
#include "koSocketLink.h"

#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <iostream>
#include <map>
#include <thread>

namespace koFaultTest {
namespace {

using koTest::FaultProxy;
using koToolsTest::pattern;
using koToolsTest::ProgramTest;
using koToolsTest::waitLimit;

constexpr std::uint64_t MiB = 1024 * 1024;

// Lets the children's output be read meanwhile.
void pause(std::chrono::milliseconds time)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(time.count()), &loop, &QEventLoop::quit);
    loop.exec();
}

// Lines the server may log at warning or error level while bad connections
// come and go: about that one connection, nothing about the server itself.
// A limit that bites is logged where it is checked and again by the accept
// loop that drops the connection.
const QRegularExpression expectedComplaint(QStringLiteral(
    "^(Unable to handle request:|Upload failed: |Download failed: |.* has no end within the limit of \\d+ bytes$"
    "|.* exceeds the limit of \\d+$)"));

class FaultProgramTest : public ProgramTest
{
protected:
    void SetUp() override { ASSERT_TRUE(folder.isValid()); }

    // A participant whose every connection runs through `proxy`.
    koChildProcess& joinThrough(FaultProxy& proxy, const QString& name)
    {
        koChildProcess& client = startClient(name, proxy.link());
        EXPECT_TRUE(prints(client, QStringLiteral("^joined \\S+ as user \\d+ \"%1\"").arg(name))) << client.getText().toStdString();
        return client;
    }

    QString writeFile(const QString& name, const std::vector<char>& bytes)
    {
        const QString path = folder.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)
                    && file.write(bytes.data(), static_cast<qint64>(bytes.size())) == static_cast<qint64>(bytes.size()));
        return path;
    }

    static std::vector<char> contentsOf(const QString& path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QByteArray bytes = file.readAll();
        return std::vector<char>(bytes.begin(), bytes.end());
    }

    void upload(koChildProcess& who, const QString& path)
    {
        who.writeLine(QStringLiteral("upload %1").arg(path));
        ASSERT_TRUE(prints(who, QStringLiteral("^uploaded \"%1\"").arg(path.section(QLatin1Char('/'), -1)), 30s))
            << who.getText().toStdString();
    }

    // `who` downloads the stored scene into a new file and answers its bytes.
    std::vector<char> download(koChildProcess& who, const QString& fileName)
    {
        const QString path = folder.filePath(fileName);
        who.writeLine(QStringLiteral("download %1").arg(path));
        EXPECT_TRUE(prints(who, QStringLiteral("^downloaded .* to .*%1").arg(fileName), 30s)) << who.getText().toStdString();
        return contentsOf(path);
    }

    // A line typed into `from` reaches each of `to`.
    void expectTalk(koChildProcess& from, std::initializer_list<koChildProcess*> to, const QString& text)
    {
        from.writeLine(QStringLiteral("say %1").arg(text));
        for (koChildProcess* other : to)
            EXPECT_TRUE(prints(*other, QStringLiteral("^message from user %1 .*: %2$").arg(userIdOf(from)).arg(text)))
                << other->getLabel().toStdString() << ":\n" << other->getText().toStdString();
    }

    void expectLeft(std::initializer_list<koChildProcess*> seers, unsigned short id)
    {
        for (koChildProcess* seer : seers)
            EXPECT_TRUE(prints(*seer, QStringLiteral("^- user %1 .* left$").arg(id))) << seer->getText().toStdString();
    }

    // Kills `victim` once the relay holds one of its directions, then lets
    // through what its kernel still had queued, and its end.
    void killWhenHeld(FaultProxy& proxy, koChildProcess& victim, double seconds)
    {
        ASSERT_TRUE(proxy.waitHeld(1, seconds)) << victim.getText().toStdString();
        victim.kill();
        proxy.release();
    }

    // After a transfer of a killed participant: the server logged
    // `failure`, the others saw it leave, `bob` still downloads `scene`, and
    // the two go on talking.
    void expectTransferCutCleanly(const QString& failure, unsigned short killedId, koChildProcess& alice,
                                  koChildProcess& bob, const std::vector<char>& scene, const QString& talk)
    {
        EXPECT_TRUE(prints(*server, QStringLiteral("error: %1 failed: ").arg(failure))) << server->getText().toStdString();
        expectLeft({&alice, &bob}, killedId);
        EXPECT_EQ(download(bob, QStringLiteral("bob.bin")), scene);
        expectTalk(alice, {&bob}, talk);
        EXPECT_TRUE(server->isRunning());
        expectOnlyConnectionComplaints();
    }

    // Every warning or error the server logged is one of the per-connection
    // complaints; answers how many there were of each kind (numbers and
    // addresses left out).
    std::map<QString, int> expectOnlyConnectionComplaints()
    {
        const QRegularExpression complaint = pattern(QStringLiteral("^\\[[^\\]]*\\] (warning|error): (.*)$"));
        const QRegularExpression detail = pattern(QStringLiteral("[0-9a-f.:]*[0-9][0-9a-f.:]*"));
        std::map<QString, int> kinds;
        for (const koChildProcess::Line& line : server->getLines()) {
            const QRegularExpressionMatch match = complaint.match(line.text);
            if (!match.hasMatch())
                continue;
            ++kinds[match.captured(2).replace(detail, QStringLiteral("#"))];
            EXPECT_TRUE(expectedComplaint.match(match.captured(2)).hasMatch())
                << "unexpected server line: " << line.text.toStdString();
        }
        EXPECT_LT(server->findLine(pattern(QStringLiteral("Stop accepting clients"))), 0) << server->getText().toStdString();
        return kinds;
    }

    QTemporaryDir folder;
};

// Carol's main link is held by the relay once 96 KiB went up, while she still
// types: she dies with a record half sent.
TEST_F(FaultProgramTest, ParticipantKilledInTheMiddleOfTheCommandStream)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    FaultProxy proxy(port);
    proxy.setBudgets(96 * 1024, FaultProxy::Unlimited);
    koChildProcess& carol = joinThrough(proxy, QStringLiteral("Carol"));
    const unsigned short carolId = userIdOf(carol);
    ASSERT_NE(carolId, 0);
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Carol\"").arg(carolId)));
    ASSERT_TRUE(prints(bob, QStringLiteral("^\\+ user %1 \"Carol\"").arg(carolId)));

    expectTalk(carol, {&alice, &bob}, QStringLiteral("before the flood"));
    const QString filler(1000, QLatin1Char('c'));
    for (int i = 0; i < 128; ++i)
        carol.writeLine(QStringLiteral("say flood %1 %2").arg(i).arg(filler));
    ASSERT_NO_FATAL_FAILURE(killWhenHeld(proxy, carol, 15.0));

    expectLeft({&alice, &bob}, carolId);
    EXPECT_TRUE(server->isRunning());
    expectTalk(alice, {&bob}, QStringLiteral("after the kill"));
    expectTalk(bob, {&alice}, QStringLiteral("heard you"));
    // What the server took of the flood before the cut (whole cipher frames
    // only) reached both, in order: the same first messages, none garbled.
    const QRegularExpression flood = pattern(QStringLiteral("^message from user %1 .*: flood (\\d+) c{1000}$").arg(carolId));
    std::vector<int> heard[2];
    int index = 0;
    for (koChildProcess* other : {&alice, &bob}) {
        for (const koChildProcess::Line& line : other->getLines()) {
            const QRegularExpressionMatch match = flood.match(line.text);
            if (match.hasMatch())
                heard[index].push_back(match.captured(1).toInt());
        }
        for (std::size_t i = 0; i < heard[index].size(); ++i)
            EXPECT_EQ(heard[index][i], static_cast<int>(i));
        ++index;
    }
    EXPECT_EQ(heard[0], heard[1]);
    EXPECT_LT(heard[0].size(), 128u);
    std::cout << heard[0].size() << " of the 128 flood messages went through before the cut" << std::endl;
    expectOnlyConnectionComplaints();
}

TEST_F(FaultProgramTest, ParticipantKilledInTheMiddleOfAnUploadLeavesThePreviousScene)
{
    const std::vector<char> previous = randomBytes(64 * 1024, 1);
    const QString previousPath = writeFile(QStringLiteral("previous.bin"), previous);
    const QString bigPath = writeFile(QStringLiteral("big.bin"), randomBytes(32 * MiB, 2));
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    upload(alice, previousPath);

    FaultProxy proxy(port);
    proxy.setBudgets(4 * MiB, FaultProxy::Unlimited);
    koChildProcess& carol = joinThrough(proxy, QStringLiteral("Carol"));
    const unsigned short carolId = userIdOf(carol);
    ASSERT_TRUE(prints(bob, QStringLiteral("^\\+ user %1 \"Carol\"").arg(carolId)));
    carol.writeLine(QStringLiteral("upload %1").arg(bigPath));
    // 4 of 32 MiB went through; after the kill only what Carol's kernel
    // still had queued (a few MiB at most) follows: the upload cannot complete.
    ASSERT_NO_FATAL_FAILURE(killWhenHeld(proxy, carol, 20.0));
    expectTransferCutCleanly(QStringLiteral("Upload"), carolId, alice, bob, previous,
                             QStringLiteral("scene still there"));
}

TEST_F(FaultProgramTest, ParticipantKilledInTheMiddleOfADownload)
{
    const std::vector<char> scene = randomBytes(32 * MiB, 3);
    const QString scenePath = writeFile(QStringLiteral("scene.bin"), scene);
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    upload(alice, scenePath);

    FaultProxy proxy(port);
    proxy.setBudgets(FaultProxy::Unlimited, 4 * MiB);
    koChildProcess& carol = joinThrough(proxy, QStringLiteral("Carol"));
    const unsigned short carolId = userIdOf(carol);
    ASSERT_TRUE(prints(bob, QStringLiteral("^\\+ user %1 \"Carol\"").arg(carolId)));
    carol.writeLine(QStringLiteral("download %1").arg(folder.filePath(QStringLiteral("carol.bin"))));
    ASSERT_NO_FATAL_FAILURE(killWhenHeld(proxy, carol, 20.0));
    expectTransferCutCleanly(QStringLiteral("Download"), carolId, alice, bob, scene,
                             QStringLiteral("download went on"));
}

// The bound within which a participant must notice that the server died: its
// kernel closes the sockets at once, so the links fail on the next read.
constexpr auto serverDeathBound = 5s;

TEST_F(FaultProgramTest, ServerKilledUnderItsParticipantsEndsEveryConnection)
{
    koServerTest::LogCapture log;
    koServerTest::prepareProcess(false);
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    const std::shared_ptr<koSessionClient> carol = koServerTest::join(link, QStringLiteral("Carol"));
    const std::shared_ptr<koSessionClient> dave = koServerTest::join(link, QStringLiteral("Dave"));
    ASSERT_TRUE(carol->isConnected());
    ASSERT_TRUE(dave->isConnected());
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Dave\"").arg(dave->getUserId())));

    // Taken before the kill: kill() returns only once the server is reaped.
    const auto killed = std::chrono::steady_clock::now();
    server->kill();
    std::chrono::duration<double> noticed[2] = {serverDeathBound, serverDeathBound};
    const std::shared_ptr<koSessionClient> inProcess[2] = {carol, dave};
    while (std::chrono::steady_clock::now() - killed < serverDeathBound) {
        bool all = true;
        for (int i = 0; i < 2; ++i) {
            if (noticed[i] == serverDeathBound && !inProcess[i]->isConnected())
                noticed[i] = std::chrono::steady_clock::now() - killed;
            all = all && noticed[i] < serverDeathBound;
        }
        if (all)
            break;
        std::this_thread::sleep_for(1ms);
    }
    for (int i = 0; i < 2; ++i) {
        EXPECT_LT(noticed[i], serverDeathBound) << "participant " << i << " still connected";
        std::cout << "isConnected false after " << noticed[i].count() << " s" << std::endl;
    }
    for (koChildProcess* program : {&alice, &bob}) {
        EXPECT_TRUE(prints(*program, QStringLiteral("^session ended: "), serverDeathBound)) << program->getText().toStdString();
        const auto ended = program->getLines().back().when;
        std::cout << program->getLabel().toStdString() << " reported the end after "
                  << std::chrono::duration<double>(ended - killed).count() << " s" << std::endl;
    }
}

// Hostile connections one after another, while Alice keeps talking to Bob.
TEST_F(FaultProgramTest, HostileConnectionsLeaveTheParticipantsTalking)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Bob\"").arg(userIdOf(bob))));

    std::vector<HostileOutcome> outcomes;
    double silentDropped = 0.0;
    std::atomic<bool> attacking{true};
    const int serverPort = port;
    std::thread attacker([&] {
        outcomes.push_back(silentConnection(serverPort, 30s, silentDropped));
        outcomes.push_back(endlessTunnelHeader(serverPort));
        for (HostileOutcome& entry : randomAfterEachRequest(serverPort, 3))
            outcomes.push_back(entry);
        outcomes.push_back(joinThenGarbage(serverPort, 7));
        outcomes.push_back(openAndDrop(serverPort, 500));
        attacking = false;
    });

    // A newcomer knocks while the silent connection holds the accept thread.
    pause(300ms);
    koChildProcess& dave = startClient(QStringLiteral("Dave"), link);
    const auto daveStarted = std::chrono::steady_clock::now();

    int ticks = 0;
    int lost = 0;
    double slowest = 0.0;
    while (attacking || ticks < 3) {
        const QString text = QStringLiteral("tick %1").arg(++ticks);
        const auto said = alice.writeLine(QStringLiteral("say %1").arg(text));
        const int index = bob.waitForLine(pattern(QStringLiteral(": %1$").arg(text)), 10s);
        if (index < 0) {
            ++lost;
            continue;
        }
        slowest = std::max(slowest, std::chrono::duration<double>(bob.getLines()[std::size_t(index)].when - said).count());
        pause(100ms);
    }
    attacker.join();
    // The dropped connections were the last: the server gets through them.
    const auto droppedAll = std::chrono::steady_clock::now();
    const QRegularExpression closedLine = pattern(QStringLiteral("error: Unable to handle request:Connection closed by "));
    while (server->countLines(closedLine) < 500 && std::chrono::steady_clock::now() - droppedAll < waitLimit)
        pause(20ms);
    EXPECT_GE(server->countLines(closedLine), 500);
    std::cout << "server through the dropped connections "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - droppedAll).count()
              << " s after the last was dropped" << std::endl;
    EXPECT_EQ(lost, 0) << bob.getText().toStdString();
    std::cout << ticks << " messages during the attack, slowest " << slowest << " s; silent connection dropped after "
              << silentDropped << " s" << std::endl;
    for (const HostileOutcome& entry : outcomes)
        EXPECT_TRUE(entry.asExpected) << entry.what << ": " << entry.detail;
    EXPECT_GE(silentDropped, 5.0);
    const int daveJoined = dave.waitForLine(pattern(QStringLiteral("^joined ")), waitLimit);
    ASSERT_GE(daveJoined, 0) << dave.getText().toStdString();
    std::cout << "a join behind the silent connection took "
              << std::chrono::duration<double>(dave.getLines()[std::size_t(daveJoined)].when - daveStarted).count()
              << " s" << std::endl;

    // The door is still open, and the newcomer hears the others.
    koChildProcess& erin = join(QStringLiteral("Erin"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Erin\"").arg(userIdOf(erin))));
    expectTalk(alice, {&bob, &dave, &erin}, QStringLiteral("still here"));
    EXPECT_TRUE(server->isRunning());
    for (const auto& kind : expectOnlyConnectionComplaints())
        std::cout << kind.second << " x " << kind.first.toStdString() << std::endl;

    // Anyone may stop the server; bytes after the request change nothing.
    {
        const auto stopper = koServerTest::connectCiphered(port);
        koNetStream stream(stopper);
        stream.putValue(std::uint32_t(3));
        const std::vector<char> garbage = randomBytes(4096, 9);
        stream.putBytes(garbage.data(), garbage.size());
        stream.flush();
    }
    EXPECT_EQ(exitCodeOf(*server), 0) << server->getText().toStdString();
    EXPECT_EQ(exitCodeOf(alice), 0);
    EXPECT_EQ(exitCodeOf(bob), 0);
}

} // namespace
} // namespace koFaultTest
