// Address texts, failures of links and streams over loopback that say what
// happened within their time limits, and the TCP options of both ends.
#include "koBoundSocketLink.h"
#include "koConnectionClosed.h"
#include "koNetStream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace {

using Clock = std::chrono::steady_clock;

// How a job ended: the text of the koNetError it threw (empty if none),
// whether that was koConnectionClosed, and how long the job took.
struct Outcome
{
    std::string error;
    bool closed = false;
    double seconds = 0.0;
};

Outcome outcomeOf(const std::function<void()>& job)
{
    Outcome outcome;
    const auto start = Clock::now();
    try {
        job();
    } catch (const koConnectionClosed& e) {
        outcome = {e.what(), true};
    } catch (const koNetError& e) {
        outcome.error = e.what();
    }
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return outcome;
}

// Address texts as users type them into a session link; a refused text is
// named in the message.
TEST(koSocketAddress, ParsesHostAndPortFormsAndRefusesBadPorts)
{
    const struct {
        const char* text;
        int defaultPort;
        const char* shown; // nullptr: refused
    } table[] = {
        {"example.org", 8889, "example.org:8889"},  {"example.org:1234", 8889, "example.org:1234"},
        {"127.0.0.1:0", 8889, "127.0.0.1:0"},        {"10.1.2.3:65535", 1, "10.1.2.3:65535"},
        {"[::1]:8890", 8889, "[::1]:8890"},          {"[::1]", 8889, "[::1]:8889"},
        {"::1", 8889, "[::1]:8889"},                 {"fe80::1:2", 7, "[fe80::1:2]:7"},
        {"host:", 8889, nullptr},                    {"host:http", 8889, nullptr},
        {"host:65536", 8889, nullptr},               {"host:-1", 8889, nullptr},
        {"[::1]:x", 8889, nullptr},                  {"[::1", 8889, nullptr},
        {"[::1]x", 8889, nullptr},                   {"host", 70000, nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.text);
        try {
            const koSocketAddress address(row.text, row.defaultPort);
            ASSERT_TRUE(row.shown) << "accepted";
            EXPECT_EQ(address.toString(), row.shown);
            const std::string shown = row.shown;
            EXPECT_EQ(address.getPort(), std::stoi(shown.substr(shown.rfind(':') + 1)));
        } catch (const koNetError& e) {
            EXPECT_FALSE(row.shown) << e.what();
            EXPECT_NE(std::string(e.what()).find(row.text), std::string::npos) << e.what();
        }
    }
}

TEST(koNetLink, FailuresSayWhatHappenedWithinTheirTimeLimits)
{
    const std::string freePort = std::to_string(koBoundSocketLink(0).getAddress().getPort());
    auto silent = koSocketLink::createPair();
    silent.second->setRecvTimeout(0.2);
    auto brief = koSocketLink::createPair();
    brief.second->setRecvTimeout(0.0004); // a limit, however short, is never no limit
    auto gone = koSocketLink::createPair();
    gone.first->write("\x01\x02", 2);
    gone.first.reset(); // the last share: the connection closes
    auto vanished = koSocketLink::createPair();
    vanished.first.reset();
    auto marker = koSocketLink::createPair();
    koNetStream markerOut(marker.first);
    markerOut.putValue<std::uint32_t>(0xdeadbeefu);
    markerOut.flush();

    const struct {
        const char* name;
        std::function<void()> action;
        std::string says;
        double minSeconds;
        bool closed;
    } rows[] = {
        {"no listener", [&] { koSocketLink(koSocketAddress("127.0.0.1:" + freePort, 1), 5.0); },
         "Connection to 127.0.0.1:" + freePort + " refused", 0, false},
        {"silent peer", [&] { koNetStream(silent.second).getValue<std::uint32_t>(); },
         "Receiving from " + silent.second->getPeerName() + " timed out after 0.2 s", 0.15, false},
        {"silent peer, limit under a millisecond", [&] { koNetStream(brief.second).getValue<std::uint8_t>(); },
         "timed out after 0.001 s", 0, false},
        {"peer gone mid-value", [&] { koNetStream(gone.second).getValue<std::uint32_t>(); },
         "Connection closed by " + gone.second->getPeerName(), 0, true},
        {"wrong success marker", [&] { koNetStream(marker.second).recvResult(); }, "ef be ad de", 0, false},
        {"writing to a vanished peer", // SIGPIPE would end the process here
         [&] {
             const std::vector<char> bytes(65536, 'x');
             for (int i = 0; i < 1000; ++i)
                 vanished.second->write(bytes.data(), bytes.size());
         },
         vanished.second->getPeerName(), 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome outcome = outcomeOf(row.action);
        EXPECT_FALSE(outcome.error.empty());
        EXPECT_NE(outcome.error.find(row.says), std::string::npos) << outcome.error;
        EXPECT_EQ(outcome.closed, row.closed) << outcome.error;
        EXPECT_GE(outcome.seconds, row.minSeconds);
        EXPECT_LT(outcome.seconds, 3.0);
    }
}

} // namespace

// Both ends of a TCP link must notice a peer that vanished without closing,
// within about 20 s: keep-alive probes when idle, a user time-out when sent
// bytes stay unacknowledged, and no Nagle delay on the command stream.
TEST(koKeepAliveTest, BothEndsOfALoopbackLinkNoticeAVanishedPeer)
{
    koBoundSocketLink bound(0);
    // The kernel completes the connection before anyone accepts it.
    koSocketLink connecting(koSocketAddress("127.0.0.1", bound.getAddress().getPort()), 5.0);
    koSocketLink accepting(bound);
    for (const koSocketLink* end : {&connecting, &accepting}) {
        SCOPED_TRACE(end == &connecting ? "connecting end" : "accepting end");
        const koSocketLink::TcpOptions options = end->readTcpOptions();
        EXPECT_NE(options.noDelay, 0);
        EXPECT_NE(options.keepAlive, 0);
        EXPECT_GT(options.keepIdleSeconds, 0);
        EXPECT_GT(options.keepCount, 0);
        EXPECT_LE(options.keepIdleSeconds + options.keepCount * options.keepIntervalSeconds, 20);
        EXPECT_GT(options.userTimeoutMs, 0);
        EXPECT_LE(options.userTimeoutMs, 20000);
    }
}
