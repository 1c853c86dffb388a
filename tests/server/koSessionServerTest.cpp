// The server's lifecycle, tunnel header, request dispatch and version check,
// over loopback with the real cipher. A whole client of another version is
// refused in the facade's tests (koFacadeVersionTest.cpp).

#include "koServerTestKit.h"

#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <atomic>
#include <string>
#include <vector>


using namespace koServerTest;

namespace {

using koTest::VersionOverride;

QString ownDisplayVersion()
{
    return QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString());
}

using ServerTest = ProcessTest;

} // namespace

// ---------------------------------------------------------------------------
// Tunnel header and request dispatch

TEST_F(ServerTest, ConnectLineIsAnsweredWithExactlyTheSuccessLine)
{
    // A plain request line, and one padded to exactly the header limit.
    std::string padded = "CONNECT session_x HTTP/1.1\r\nX-Padding: ";
    padded += std::string(koSessionWire::MaxTunnelHeaderBytes - padded.size() - 4, 'p') + "\r\n\r\n";
    for (const std::string& line : {tunnelLine(), padded}) {
        TestServer host;
        auto link = connectTcp(host.port());
        link->setRecvTimeout(10.0);
        link->send(line.data(), line.size());

        const std::string expected = "HTTP/1.1 200 OK\r\n\r\n";
        std::string answer(expected.size(), '\0');
        link->recv(&answer[0], answer.size());
        EXPECT_EQ(answer, expected);

        // Nothing else came before the key exchange, or the cipher would not
        // agree and the stop request would never be read.
        koSessionWire::setUpCipher(link, true);
        sendRequest(link, koSessionWire::RequestStop);
        EXPECT_TRUE(waitStopped(host.server));
    }
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
