// Connecting, accepting and their failures, over loopback only.
#include "koNetTestTools.h"

#include "koBoundSocketLink.h"
#include "koNetError.h"
#include "koSocketPipe.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

using namespace koNetTest;

namespace {

// A port on which nothing listens: bound once, then released.
int freePort()
{
    koBoundSocketLink bound(0);
    return bound.getAddress().getPort();
}

// A loopback listener with the smallest backlog that never accepts, built on
// the raw socket calls because the library's listener always takes a long
// backlog. Once its queue is full, the kernel drops further handshakes, so
// a connect waits until its own time limit.
class StuckListener
{
public:
    StuckListener()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) < 0 || ::listen(fd, 0) < 0
            || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0)
            throw koNetError("cannot set up the stuck listener");
        port = ntohs(address.sin_port);
    }
    ~StuckListener() { ::close(fd); }
    int fd = -1;
    int port = 0;
};

template <class Accept>
void expectShutdownWakesAccept(Accept accept, const std::function<void()>& shutdown)
{
    auto waiting = std::async(std::launch::async, [&] { return outcomeOf(accept); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    shutdown();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const Outcome woken = waiting.get();
    EXPECT_TRUE(woken.threw);
    EXPECT_NE(woken.message.find("shut down"), std::string::npos) << woken.message;
    // Every later accept fails at once.
    const Outcome later = outcomeOf(accept);
    EXPECT_TRUE(later.threw);
    EXPECT_LT(later.seconds, 1.0);
}

} // namespace

TEST(koSocketLink, ConnectToAPortWithoutListenerIsRefused)
{
    const int port = freePort();
    const Outcome outcome = outcomeOf([&] { koSocketLink link(koSocketAddress("127.0.0.1", port), 5.0); });
    EXPECT_EQ(outcome.message, "Connection to 127.0.0.1:" + std::to_string(port) + " refused");
}

TEST(koSocketLink, ConnectGivesUpAfterItsTimeLimit)
{
    StuckListener stuck;
    const std::string address = "127.0.0.1:" + std::to_string(stuck.port);
    std::vector<std::unique_ptr<koSocketLink>> queued;
    Outcome outcome;
    // The first connections fill the queue; the next one must time out.
    for (int attempt = 0; attempt < 16 && !outcome.threw; ++attempt) {
        outcome = outcomeOf([&] { queued.emplace_back(new koSocketLink(koSocketAddress(address, 0), 0.3)); });
    }
    ASSERT_TRUE(outcome.threw) << "the listener's queue never filled";
    EXPECT_EQ(outcome.message, "Connection to " + address + " timed out after 0.3 s");
    EXPECT_GE(outcome.seconds, 0.25);
    EXPECT_LT(outcome.seconds, 3.0);
}

TEST(koSocketLink, AcceptedLinkKnowsBothEndsByNumber)
{
    koBoundSocketLink bound(0);
    const int port = bound.getAddress().getPort();
    ASSERT_GT(port, 0);
    auto accepted = std::async(std::launch::async, [&] { return std::make_shared<koSocketLink>(bound); });
    koSocketLink client(koSocketAddress("127.0.0.1:" + std::to_string(port), 1), 5.0);
    ASSERT_EQ(accepted.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto server = accepted.get();
    EXPECT_EQ(client.getPeerName(), "127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(client.getAddress().getHost(), "127.0.0.1");
    EXPECT_EQ(server->getPeerName(), "127.0.0.1:" + std::to_string(client.getAddress().getPort()));
    EXPECT_EQ(server->getAddress().getPort(), port);
}

TEST(koSocketLink, ListenerTakesIPv6AndIPv4Peers)
{
    koBoundSocketLink bound(0);
    const int port = bound.getAddress().getPort();
    for (const std::string host : {"127.0.0.1", "[::1]"}) {
        auto accepted = std::async(std::launch::async, [&] { return outcomeOf([&] { koSocketLink link(bound); }); });
        const Outcome connect = outcomeOf([&] { koSocketLink link(koSocketAddress(host, port), 5.0); });
        if (connect.threw) {
            bound.shutdown(); // ends the accept before the future is dropped
            if (host == "[::1]")
                GTEST_SKIP() << "no IPv6 loopback here: " << connect.message;
            FAIL() << connect.message;
        }
        ASSERT_EQ(accepted.wait_for(std::chrono::seconds(5)), std::future_status::ready) << host;
        EXPECT_FALSE(accepted.get().threw) << host;
    }
}

TEST(koSocketLink, BusyPortIsRefusedWithAClearMessage)
{
    koBoundSocketLink first(0);
    const int port = first.getAddress().getPort();
    const Outcome outcome = outcomeOf([&] { koBoundSocketLink second(port); });
    EXPECT_EQ(outcome.message, "Cannot listen on port " + std::to_string(port) + ": it is already in use");
}

TEST(koSocketLink, ShutdownWakesABlockedAcceptOnAPort)
{
    koBoundSocketLink bound(0);
    expectShutdownWakesAccept([&] { koSocketLink link(bound); }, [&] { bound.shutdown(); });
}

TEST(koSocketLink, ShutDownPortRefusesNewConnections)
{
    // A stopped server keeps its listening link until it is started again;
    // meanwhile a participant must be refused at once, not left hanging.
    koBoundSocketLink bound(0);
    const int port = bound.getAddress().getPort();
    bound.shutdown();
    const Outcome outcome = outcomeOf([&] { koSocketLink link(koSocketAddress("127.0.0.1", port), 2.0); });
    EXPECT_EQ(outcome.message, "Connection to 127.0.0.1:" + std::to_string(port) + " refused");
}

TEST(koSocketLink, ShutdownWakesABlockedAcceptOnAPipe)
{
    koSocketPipe pipe(uniquePipeName("wake"));
    expectShutdownWakesAccept([&] { koSocketLink link(pipe, -1.0); }, [&] { pipe.shutdown(); });
}

TEST(koSocketLink, PipeAcceptGivesUpAfterItsTimeLimit)
{
    koSocketPipe pipe(uniquePipeName("limit"));
    const Outcome outcome = outcomeOf([&] { koSocketLink link(pipe, 0.2); });
    EXPECT_EQ(outcome.message, "No connection on pipe " + pipe.getName() + " within 0.2 s");
    EXPECT_GE(outcome.seconds, 0.15);
    EXPECT_LT(outcome.seconds, 3.0);
}

TEST(koSocketLink, PipeLivesAsASocketFileWhileItsOwnerDoes)
{
    const std::string name = uniquePipeName("life");
    const std::string path = koSocketPipe::pathFor(name);
    EXPECT_EQ(path, "/tmp/" + name);
    EXPECT_EQ(koSocketPipe::pathFor("/run/kosession.sock"), "/run/kosession.sock");
    {
        koSocketPipe pipe(name);
        EXPECT_EQ(::access(path.c_str(), F_OK), 0);
        const Outcome twice = outcomeOf([&] { koSocketPipe again(name); });
        EXPECT_NE(twice.message.find("already in use"), std::string::npos) << twice.message;
        auto link = koSocketLink::connectPipe(name, 5.0);
        EXPECT_EQ(link->getPeerName(), "pipe " + name);
    }
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket file outlived its pipe";
    const Outcome refused = outcomeOf([&] { koSocketLink::connectPipe(name, 1.0); });
    EXPECT_NE(refused.message.find("Connection to pipe " + name + " refused"), std::string::npos) << refused.message;
}

TEST(koSocketLink, PipeLeftBehindByADeadProcessIsTakenOver)
{
    const std::string name = uniquePipeName("stale");
    const std::string path = koSocketPipe::pathFor(name);
    {
        // A socket file that nobody listens on any more.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    koSocketPipe pipe(name);
    auto accepted = std::async(std::launch::async, [&] { return outcomeOf([&] { koSocketLink link(pipe, 5.0); }); });
    auto link = koSocketLink::connectPipe(name, 5.0);
    EXPECT_FALSE(accepted.get().threw);
}

TEST(koSocketLink, RawRecvTakesBytesAlreadyReadAhead)
{
    LinkPair links = connectedPair(Transport::Tcp);
    links.second->setRecvTimeout(5.0);
    const std::vector<char> bytes = pattern(10000, 5);
    links.first->send(bytes.data(), bytes.size());
    std::vector<char> head(10), tail(bytes.size() - 10);
    links.second->read(head.data(), head.size()); // may pull in more than 10 bytes
    links.second->recv(tail.data(), tail.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.begin() + 10));
}
