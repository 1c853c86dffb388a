// Faults against the real programs over loopback: participants killed with
// SIGKILL in the middle of the command stream, of a scene upload and of a
// download; the server killed under its participants; hostile connections
// while participants keep talking. The server must stay up, keep serving the
// others, lose nothing it accepted and log nothing worse than one line per
// bad connection.
#include "koFaultKit.h"
#include "koTestFaultProxy.h"
#include "koToolsTestKit.h"

#include "koEventWait.h"

#include "koSessionClient.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <thread>

namespace koFaultTest {
namespace {

using koTest::FaultProxy;
using koToolsTest::ProgramTest;
using koToolsTest::waitLimit;

constexpr std::uint64_t MiB = 1024 * 1024;

// Every warning or error the server logged is about one connection, nothing
// about the server itself. A limit that bites is logged where it is checked
// and again by the accept loop that drops the connection.
void expectOnlyConnectionComplaints(const koChildProcess& server)
{
    const QRegularExpression complaint(QStringLiteral("^\\[[^\\]]*\\] (warning|error): (.*)$"));
    const QRegularExpression expected(QStringLiteral(
        "^(Unable to handle request:|Upload failed: |Download failed: |.* has no end within the limit of \\d+ bytes$"
        "|.* exceeds the limit of \\d+$)"));
    for (const koChildProcess::Line& line : server.getLines()) {
        const QRegularExpressionMatch match = complaint.match(line.text);
        EXPECT_TRUE(!match.hasMatch() || expected.match(match.captured(2)).hasMatch())
            << "unexpected server line: " << line.text.toStdString();
    }
    EXPECT_LT(server.findLine(QRegularExpression(QStringLiteral("Stop accepting clients"))), 0) << server.getText().toStdString();
}

// Where Carol is when she is killed: her relay holds one direction once its
// budget has passed, while she still sends or receives.
struct Kill
{
    std::uint64_t up;
    std::uint64_t down;
    std::size_t sceneBytes; // what Alice stores first
    const char* failure;    // the transfer the server reports failed
};

class KilledParticipantTest : public ProgramTest
{
protected:
    // Carol is killed there; the others see her leave and keep talking.
    void killCarol(const Kill& kill);
};

TEST_F(KilledParticipantTest, InAnUploadLeavingThePreviousScene)
{
    killCarol({4 * MiB, FaultProxy::Unlimited, 64 * 1024, "Upload"});
}

TEST_F(KilledParticipantTest, InADownload)
{
    killCarol({FaultProxy::Unlimited, 4 * MiB, 32 * MiB, "Download"});
}

void KilledParticipantTest::killCarol(const Kill& kill)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const auto writeFile = [&folder](const QString& name, const std::vector<char>& bytes) {
        QFile file(folder.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size()));
        return file.fileName();
    };
    const std::vector<char> scene = randomBytes(kill.sceneBytes, 1);
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    alice.writeLine(QStringLiteral("upload %1").arg(writeFile(QStringLiteral("scene.bin"), scene)));
    ASSERT_TRUE(prints(alice, QStringLiteral("^uploaded \"scene.bin\""), 30s)) << alice.getText().toStdString();
    FaultProxy proxy(port);
    proxy.setBudgets(kill.up, kill.down);
    koChildProcess& carol = join(QStringLiteral("Carol"), {}, proxy.link(link));
    const unsigned short carolId = userIdOf(carol);
    ASSERT_TRUE(prints(bob, QStringLiteral("^\\+ user %1 \"Carol\"").arg(carolId)));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Carol\"").arg(carolId)));

    if (kill.up != FaultProxy::Unlimited) {
        // After the kill only what Carol's kernel still had queued (a few MiB
        // at most) follows: the upload cannot complete.
        carol.writeLine(QStringLiteral("upload %1").arg(writeFile(QStringLiteral("big.bin"), randomBytes(32 * MiB, 2))));
    } else {
        carol.writeLine(QStringLiteral("download %1").arg(folder.filePath(QStringLiteral("carol.bin"))));
    }
    // Once the relay holds her, she dies; then what her kernel still had
    // queued goes through, and her end.
    ASSERT_TRUE(proxy.waitHeld(1, 20.0)) << carol.getText().toStdString();
    carol.kill();
    proxy.release();

    expectLeft({&alice, &bob}, carolId);
    EXPECT_TRUE(server->isRunning());
    expectTalk(alice, {&bob}, QStringLiteral("after the kill"));
    expectTalk(bob, {&alice}, QStringLiteral("heard you"));
    EXPECT_TRUE(prints(*server, QStringLiteral("error: %1 failed: ").arg(QLatin1String(kill.failure))))
        << server->getText().toStdString();
    bob.writeLine(QStringLiteral("download %1").arg(folder.filePath(QStringLiteral("bob.bin"))));
    EXPECT_TRUE(prints(bob, QStringLiteral("^downloaded .* to .*bob\\.bin"), 30s)) << bob.getText().toStdString();
    QFile copy(folder.filePath(QStringLiteral("bob.bin")));
    EXPECT_TRUE(copy.open(QIODevice::ReadOnly) && copy.readAll() == QByteArray(scene.data(), int(scene.size())));
    expectOnlyConnectionComplaints(*server);
}

using FaultProgramTest = ProgramTest;

// The bound within which a participant must notice that the server died: its
// kernel closes the sockets at once, so the links fail on the next read.
constexpr auto serverDeathBound = 5s;

TEST_F(FaultProgramTest, ServerKilledUnderItsParticipantsEndsEveryConnection)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Bob\"").arg(userIdOf(bob))));
    server->kill();
    for (koChildProcess* program : {&alice, &bob}) {
        EXPECT_TRUE(prints(*program, QStringLiteral("^session ended: the connection to the server closed$"), serverDeathBound))
            << program->getText().toStdString();
        EXPECT_EQ(exitCodeOf(*program), 0);
    }
}

// Joins properly, then sends random bytes where change records belong.
void joinThenGarbage(int port)
{
    koServerTest::RawParticipant mallory =
        koServerTest::rawJoin(koServerTest::connectCiphered(port), QStringLiteral("Mallory"));
    const std::vector<char> garbage = randomBytes(64 * 1024, 7);
    try {
        mallory.stream->putBytes(garbage.data(), garbage.size());
        mallory.stream->flush();
    } catch (const koNetError&) {
        // The server may drop the link before the last bytes are out.
    }
    std::string why;
    if (!drainUntilClosed(mallory.link, 10s, why))
        throw std::runtime_error("still open after garbage: " + why);
}

// Hostile connections one after another, while Alice keeps talking to Bob.
// Each attack throws when the server does not react as it must.
TEST_F(FaultProgramTest, HostileConnectionsLeaveTheParticipantsTalking)
{
    // Open to any session, so that the attacks reach past the tunnel line.
    startServer({QStringLiteral("--open")});
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Bob\"").arg(userIdOf(bob))));
    const int serverPort = port;
    const auto garbageInEachStep = [serverPort] {
        for (std::uint32_t round = 0; round < 3; ++round) {
            const std::vector<char> garbage = randomBytes(4096, 1000 + round);
            koServerTest::connectTcp(serverPort)->send(garbage.data(), garbage.size());
            const auto afterTunnel = koServerTest::connectTcp(serverPort);
            afterTunnel->setRecvTimeout(10.0);
            const std::string line = koServerTest::tunnelLine();
            afterTunnel->send(line.data(), line.size());
            koSessionWire::readTunnelHeader(*afterTunnel, "Tunnel answer");
            afterTunnel->send(garbage.data(), garbage.size());
            for (std::uint32_t request : {0u, 1u, 2u, 4u, 5u, 0xffffffffu}) {
                const auto link = koServerTest::connectCiphered(serverPort);
                koNetStream stream(link);
                stream.putValue(request);
                stream.putBytes(garbage.data(), garbage.size());
                stream.flush();
            }
        }
    };
    const auto openAndDrop = [serverPort] {
        std::vector<std::shared_ptr<koSocketLink>> links;
        for (int i = 0; i < 500; ++i)
            links.push_back(koServerTest::connectTcp(serverPort));
    };
    const std::vector<std::pair<const char*, std::function<void()>>> attacks = {
        {"random bytes in place of the tunnel header, the key exchange and after each request", garbageInEachStep},
        {"random bytes in place of change records", [serverPort] { joinThenGarbage(serverPort); }},
        {"500 connections opened and dropped at once", openAndDrop},
    };
    std::vector<std::string> failures;
    std::atomic<bool> attacking{true};
    std::thread attacker([&] {
        for (const auto& attack : attacks) {
            try {
                attack.second();
            } catch (const std::exception& e) {
                failures.push_back(std::string(attack.first) + ": " + e.what());
            }
        }
        attacking = false;
    });

    int ticks = 0;
    int lost = 0;
    while (attacking || ticks < 3) {
        const QString text = QStringLiteral("tick %1").arg(++ticks);
        alice.writeLine(QStringLiteral("say %1").arg(text));
        if (bob.waitForLine(QRegularExpression(QStringLiteral(": %1$").arg(text)), 10s) < 0)
            ++lost;
        else
            koEventWait::pause(100ms);
    }
    attacker.join();
    EXPECT_EQ(lost, 0) << bob.getText().toStdString();
    EXPECT_TRUE(failures.empty()) << failures.front();
    // Hundreds of failed connections from one address: a handful of lines.
    const QRegularExpression failedLine(QStringLiteral("Unable to handle request:"));
    EXPECT_GE(server->countLines(failedLine), 1);
    EXPECT_LE(server->countLines(failedLine), 20) << server->getText().toStdString();

    // The door is still open, and the newcomer hears the others.
    koChildProcess& erin = join(QStringLiteral("Erin"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Erin\"").arg(userIdOf(erin))));
    expectTalk(alice, {&bob, &erin}, QStringLiteral("still here"));
    EXPECT_TRUE(server->isRunning());
    expectOnlyConnectionComplaints(*server);

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
