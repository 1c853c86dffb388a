// The server's lifecycle, tunnel header, request dispatch and version check,
// over loopback with the real cipher.

#include "koServerTestKit.h"

#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionVersionError.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace koServerTest;

namespace {

// Restores the built-in version texts when a test that overrides them ends.
struct VersionOverride
{
    VersionOverride(const std::string& version, const std::string& display)
    {
        koVersionInfo::the().setVersionStrings(version, display);
    }
    ~VersionOverride() { koVersionInfo::the().setVersionStrings(std::string(), std::string()); }
};

QString ownDisplayVersion()
{
    return QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString());
}

class ServerTest : public ::testing::Test
{
protected:
    void SetUp() override { prepareProcess(); }
};

} // namespace

// ---------------------------------------------------------------------------
// Tunnel header and request dispatch

TEST_F(ServerTest, ConnectLineIsAnsweredWithExactlyTheSuccessLine)
{
    TestServer host;
    auto link = connectTcp(host.port());
    link->setRecvTimeout(10.0);
    const std::string line = tunnelLine();
    link->send(line.data(), line.size());

    const std::string expected = "HTTP/1.1 200 OK\r\n\r\n";
    std::string answer(expected.size(), '\0');
    link->recv(&answer[0], answer.size());
    EXPECT_EQ(answer, expected);

    // Nothing else came before the key exchange, or the cipher would not agree
    // and the stop request would never be read.
    koSessionWire::setUpCipher(link, true);
    sendRequest(link, koSessionWire::RequestStop);
    EXPECT_TRUE(waitStopped(host.server));
}

TEST_F(ServerTest, OtherLinesGetNoAnswerButTheRequestIsStillRead)
{
    const std::vector<std::string> lines = {
        "GET / HTTP/1.1\r\nHost: example\r\n\r\n",
        "connect session_x.version_y.join.KOVASessionServer HTTP/1.1\r\n\r\n", // case matters
        " CONNECT session_x HTTP/1.1\r\n\r\n",
        "\r\n\r\n",
    };
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        TestServer host;
        auto link = connectTcp(host.port());
        link->setRecvTimeout(10.0);
        link->send(line.data(), line.size());
        // Straight into the key exchange: an answer would be taken as key bytes.
        koSessionWire::setUpCipher(link, true);
        sendRequest(link, koSessionWire::RequestStop);
        EXPECT_TRUE(waitStopped(host.server));
    }
}

TEST_F(ServerTest, UnknownRequestIsClosedSilentlyAndTheServerGoesOn)
{
    LogCapture log;
    TestServer host;
    for (const std::uint32_t request : {5u, 7u, 0x100u, 0xffffffffu}) {
        SCOPED_TRACE(request);
        auto link = connectCiphered(host.port());
        sendRequest(link, request);
        EXPECT_TRUE(waitClosed(link));
    }
    auto alice = join(host.link(), "Alice");
    EXPECT_TRUE(alice->isConnected());
    EXPECT_EQ(log.count("Unable to handle request"), 0);
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
}

TEST_F(ServerTest, SecondLinkForNobodyIsClosedWithoutAnswer)
{
    TestServer host;
    auto alice = join(host.link(), "Alice");
    auto link = connectCiphered(host.port());
    koNetStream stream(link);
    stream.putValue(static_cast<std::uint32_t>(koSessionWire::RequestAsyncStream));
    stream.putValue(static_cast<std::uint16_t>(alice->getUserId() + 100));
    stream.flush();
    EXPECT_TRUE(waitClosed(link));
    EXPECT_TRUE(alice->isConnected());
}

// ---------------------------------------------------------------------------
// Version check

TEST_F(ServerTest, VersionMismatchGetsTheAnswerAndIsDropped)
{
    LogCapture log;
    TestServer host;
    auto alice = join(host.link(), "Alice");
    auto bob = join(host.link(), "Bob");
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return alice->getUsers().size() == 2; }));

    {
        VersionOverride server("9.9.9", "9.9 (2099)");
        auto link = connectCiphered(host.port());
        koNetStream stream(link);
        koSessionWire::putRequest(stream, koSessionWire::RequestJoin);
        koSessionWire::putText(stream, QStringLiteral("0.0 (1999)"));
        stream.flush();
        EXPECT_EQ(koSessionWire::getText(stream), QStringLiteral("9.9 (2099)"));
        EXPECT_EQ(koSessionWire::getNames(stream), QStringList({"Alice", "Bob"}));
        EXPECT_TRUE(waitClosed(link));
    }

    // Nobody was admitted: the next participant gets the next identifier and
    // the roster holds the three of them.
    auto carol = join(host.link(), "Carol");
    EXPECT_EQ(carol->getUserId(), bob->getUserId() + 1);
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return alice->getUsers().size() == 3; }));
    EXPECT_EQ(rosterIds(*alice),
              (std::vector<unsigned short>{alice->getUserId(), bob->getUserId(), carol->getUserId()}));
    EXPECT_EQ(log.count("Unable to handle request"), 0);
}

// The participant of another version runs in a child process, where the
// override changes only the client's texts.
TEST_F(ServerTest, ParticipantOfAnotherVersionGetsTheVersionError)
{
    TestServer host;
    auto alice = join(host.link(), "Alice");
    auto bob = join(host.link(), "Bob");

    char exe[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(length, 0);
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry)
        env.push_back(*entry);
    env.push_back("KO_SERVER_TEST_LINK=" + host.link().toStdString());
    env.push_back("KO_SERVER_TEST_VERSION=" + ownDisplayVersion().toStdString());
    env.push_back("KO_SERVER_TEST_NAMES=Alice,Bob");
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=ServerChildProcess.JoinWithAnotherVersion";
    char* argv[] = {exe, &filter[0], nullptr};

    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, exe, nullptr, nullptr, argv, envp.data()), 0);
    int status = -1;
    const bool ended = koTest::waitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; },
                                       std::chrono::seconds(60));
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's join did not end as expected";

    auto carol = join(host.link(), "Carol");
    EXPECT_EQ(carol->getUserId(), bob->getUserId() + 1);
}

TEST(ServerChildProcess, JoinWithAnotherVersion)
{
    const char* link = std::getenv("KO_SERVER_TEST_LINK");
    if (!link)
        GTEST_SKIP() << "runs only as the child of ParticipantOfAnotherVersionGetsTheVersionError";
    prepareProcess();
    VersionOverride client("0.0.1", "0.0 (1999)");
    try {
        join(QString::fromUtf8(link), "Mallory");
        ADD_FAILURE() << "join succeeded";
    } catch (const koSessionVersionError& e) {
        EXPECT_STREQ(e.what(), "Incompatible kova version connected");
        EXPECT_EQ(e.getVersion(), QString::fromUtf8(std::getenv("KO_SERVER_TEST_VERSION")));
        EXPECT_EQ(e.getUserNames(), QString::fromUtf8(std::getenv("KO_SERVER_TEST_NAMES")).split(','));
    }
}

// ---------------------------------------------------------------------------
// Lifecycle

TEST_F(ServerTest, StopRequestStopsTheServerAndDropsItsParticipants)
{
    LogCapture log;
    TestServer host;
    auto alice = join(host.link(), "Alice");
    auto bob = join(host.link(), "Bob");
    alice->stopForAll();
    EXPECT_TRUE(waitStopped(host.server));
    EXPECT_TRUE(koTest::waitFor([&] { return !alice->isConnected() && !bob->isConnected(); }));
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
}

TEST_F(ServerTest, RestartAfterWaitServesAgainAndKeepsCountingIdentifiers)
{
    TestServer host;
    auto alice = join(host.link(), "Alice");
    host.server.stop();
    host.server.wait();
    EXPECT_TRUE(koTest::waitFor([&] { return !alice->isConnected(); }));

    host.start();
    EXPECT_NE(host.port(), 0);
    auto bob = join(host.link(), "Bob");
    EXPECT_EQ(bob->getUserId(), alice->getUserId() + 1);
    // The roster was emptied by the stop, so colour index 0 is free again.
    EXPECT_EQ(bob->getUser().getColor(), koSession::the().getDefaultColor(0));
    ASSERT_TRUE(pumpUntil({bob.get()}, [&] { return bob->getUsers().size() == 1; }));
    EXPECT_EQ(rosterIds(*bob), std::vector<unsigned short>{bob->getUserId()});
}

TEST_F(ServerTest, StartWithoutWaitIsRefused)
{
    TestServer host;
    host.server.stop();
    EXPECT_THROW(host.server.start(QString(), 0), std::logic_error);
    host.server.wait();
}

TEST_F(ServerTest, PipeModeSkipsTheTunnelHeader)
{
    TestServer host(false);
    EXPECT_EQ(host.port(), 0);
    const QString pipeName = QStringLiteral("kosession-server-test-%1").arg(::getpid());
    host.startPipe(pipeName);
    EXPECT_EQ(host.port(), 0);

    auto link = koSocketLink::connectPipe(pipeName.toStdString(), 5.0);
    link->setRecvTimeout(10.0);
    koSessionWire::setUpCipher(link, true);
    RawParticipant raw = rawJoin(link, "Piper");
    EXPECT_EQ(raw.serverVersion, ownDisplayVersion());
    EXPECT_TRUE(raw.names.isEmpty());
    EXPECT_NE(raw.user.getId(), 0);
    EXPECT_EQ(raw.user.getName(), QStringLiteral("Piper"));
    EXPECT_EQ(raw.user.getColor(), koSession::the().getDefaultColor(0));
    EXPECT_EQ(raw.sceneFlag, 0);

    const std::vector<koSessionUser> roster = readRoster(*raw.stream);
    ASSERT_EQ(roster.size(), 1u);
    EXPECT_EQ(roster[0].getId(), raw.user.getId());
    EXPECT_EQ(roster[0].getName(), QStringLiteral("Piper"));

    auto stopLink = koSocketLink::connectPipe(pipeName.toStdString(), 5.0);
    koSessionWire::setUpCipher(stopLink, true);
    sendRequest(stopLink, koSessionWire::RequestStop);
    EXPECT_TRUE(waitStopped(host.server));
    EXPECT_TRUE(waitClosed(link));
}

TEST_F(ServerTest, RestartWithTheOtherTransportUsesOnlyTheNewOne)
{
    LogCapture log;
    TestServer host;
    EXPECT_NE(host.port(), 0);
    host.server.stop();
    host.server.wait();

    const QString pipeName = QStringLiteral("kosession-server-test-switch-%1").arg(::getpid());
    host.startPipe(pipeName);
    EXPECT_EQ(host.port(), 0);
    auto link = koSocketLink::connectPipe(pipeName.toStdString(), 5.0);
    link->setRecvTimeout(10.0);
    koSessionWire::setUpCipher(link, true);
    RawParticipant piper = rawJoin(link, "Piper");
    EXPECT_NE(piper.user.getId(), 0);
    host.server.stop();
    host.server.wait();

    host.start();
    auto alice = join(host.link(), "Alice");
    EXPECT_EQ(alice->getUserId(), piper.user.getId() + 1);
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
}

TEST_F(ServerTest, DestroyingARunningServerDropsEveryParticipant)
{
    std::shared_ptr<koSessionClient> alice;
    std::shared_ptr<koSessionClient> bob;
    {
        TestServer host;
        alice = join(host.link(), "Alice");
        bob = join(host.link(), "Bob");
        ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return alice->getUsers().size() == 2; }));
    }
    EXPECT_TRUE(koTest::waitFor([&] { return !alice->isConnected() && !bob->isConnected(); }));
}

TEST_F(ServerTest, StopOnAServerThatIsNotRunningDoesNothing)
{
    LogCapture log;
    TestServer host(false);
    host.server.stop();
    host.server.wait();
    host.start();
    host.server.stop();
    host.server.stop();
    host.server.wait();
    // A stopped server can be started again and serves.
    host.start();
    auto alice = join(host.link(), "Alice");
    EXPECT_TRUE(alice->isConnected());
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
}
