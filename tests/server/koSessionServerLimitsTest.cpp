// What one bad connection can do to the accept thread: nothing lasting. A
// silent client, an endless header, a connection closed mid-header and a
// malformed record are dropped one by one while the server goes on serving.

#include "koServerTestKit.h"

#include "koTestSupport.h"

#include "koSessionClient.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace koServerTest;

namespace {

using ServerLimitsTest = ProcessTest;

// Sends `size` header bytes that never end the header; the server may close
// the link before all of them are out.
void sendEndlessHeader(koSocketLink& link, std::size_t size)
{
    const std::string chunk = "CONNECT " + std::string(1016, 'x');
    try {
        for (std::size_t sent = 0; sent < size; sent += chunk.size())
            link.send(chunk.data(), chunk.size());
    } catch (const koNetError&) {
    }
}

} // namespace

TEST_F(ServerLimitsTest, SilentClientAndEndlessHeaderDoNotKeepOthersOut)
{
    LogCapture log;
    TestServer host;
    auto silent = connectTcp(host.port());
    auto endless = connectTcp(host.port());
    sendEndlessHeader(*endless, 2 * koSessionWire::MaxTunnelHeaderBytes);

    // Served once the silent one has used up its handshake time.
    auto alice = join(host.link(), "Alice");
    EXPECT_TRUE(alice->isConnected());
    EXPECT_TRUE(waitClosed(silent));
    EXPECT_TRUE(waitClosed(endless));

    EXPECT_EQ(log.count("Unable to handle request:"), 2);
    EXPECT_EQ(log.count("timed out"), 1);
    EXPECT_GE(log.count(std::to_string(koSessionWire::MaxTunnelHeaderBytes)), 1);
    EXPECT_EQ(log.count("Stop accepting clients"), 0);

    // And the server still takes the next participant at once.
    auto bob = join(host.link(), "Bob");
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return alice->getUsers().size() == 2; }));
}

TEST_F(ServerLimitsTest, ConnectionClosedMidHeaderDoesNotEndTheAcceptLoop)
{
    LogCapture log;
    TestServer host;
    for (const std::string& part : {std::string("CONNECT sess"), std::string(), std::string("CONNECT x\r\n\r")}) {
        auto link = connectTcp(host.port());
        if (!part.empty())
            link->send(part.data(), part.size());
    }
    auto alice = join(host.link(), "Alice");
    EXPECT_TRUE(alice->isConnected());
    EXPECT_TRUE(log.waitFor("Unable to handle request:"));
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
}

TEST_F(ServerLimitsTest, MalformedRecordDuringJoinEndsOnlyThatConnection)
{
    LogCapture log;
    TestServer host;
    auto alice = join(host.link(), "Alice");

    auto link = connectCiphered(host.port());
    koNetStream stream(link);
    koSessionWire::putRequest(stream, koSessionWire::RequestJoin);
    koSessionWire::putText(stream, QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString()));
    stream.flush();
    koSessionWire::getText(stream);
    koSessionWire::getNames(stream);
    stream.putValueSize(std::size_t(1) << 40); // a record "of a terabyte"
    stream.flush();
    EXPECT_TRUE(waitClosed(link));
    EXPECT_TRUE(log.waitFor("Unable to handle request:"));

    // The identifier was used up, the roster and the others are untouched.
    auto bob = join(host.link(), "Bob");
    EXPECT_EQ(bob->getUserId(), alice->getUserId() + 2);
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return alice->getUsers().size() == 2; }));
    EXPECT_EQ(rosterIds(*alice), (std::vector<unsigned short>{alice->getUserId(), bob->getUserId()}));
    EXPECT_TRUE(alice->isConnected());
}

TEST_F(ServerLimitsTest, StopCutsAStalledHandshakeShort)
{
    TestServer host;
    auto silent = connectTcp(host.port());
    // A byte of header shows that the accept thread is reading this one.
    silent->send("C", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto started = std::chrono::steady_clock::now();
    host.server.stop();
    host.server.wait();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::duration<double>(koSessionServer::HandshakeTimeoutSeconds));
    EXPECT_TRUE(waitClosed(silent));
}

TEST_F(ServerLimitsTest, IdleParticipantOutlivesTheHandshakeLimit)
{
    TestServer host;
    auto alice = join(host.link(), "Alice");
    auto bob = join(host.link(), "Bob");
    // Longer than the handshake limit with nothing to send.
    std::this_thread::sleep_for(std::chrono::duration<double>(koSessionServer::HandshakeTimeoutSeconds + 1.5));
    EXPECT_TRUE(alice->isConnected());
    EXPECT_TRUE(bob->isConnected());
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return alice->getUsers().size() == 2; }));
}
