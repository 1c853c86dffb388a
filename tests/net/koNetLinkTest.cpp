// Links and streams over loopback: the tunnel exchange, the cipher in both
// roles, streams one after another, waits that end, and failures that say
// what happened.
#include "koCipherTestPair.h"

#include "koBoundSocketLink.h"
#include "koConnectionClosed.h"
#include "koNetLinkReceiver.h"
#include "koNetLinkSender.h"
#include "koNetStream.h"
#include "koSocketPipe.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

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

// Puts `data` in pieces of irregular sizes (some above any buffer or frame
// bound), flushing after some of them when `flushes` is set.
void putInPieces(koNetStream& stream, const std::vector<char>& data, bool flushes)
{
    static const std::size_t pieces[] = {1, 3, 65535, 65536, 65537, 8, 300000, 999};
    for (std::size_t i = 0, at = 0; at < data.size(); ++i) {
        const std::size_t n = std::min(pieces[i % 8], data.size() - at);
        stream.putBytes(data.data() + at, n);
        if (flushes && i % 3 == 2)
            stream.flush();
        at += n;
    }
}

// Gets bytes from offset `got` up to `size` in reads of other irregular
// sizes, counting them in `got`; the bytes before `got` stay zero.
std::vector<char> getInPieces(koNetStream& stream, std::size_t size, std::atomic<std::size_t>& got)
{
    std::vector<char> data(size);
    for (std::size_t n = 1; got < size; n = n * 7 + 3) {
        const std::size_t take = std::min(n % 150001 + 1, size - got);
        stream.getBytes(data.data() + got, take);
        got += take;
    }
    return data;
}

// The client's tunnel line, then at once its key: key bytes that the server's
// raw read took with the line must reach the cipher. Then both ends send
// megabytes at once, each with a sending and a receiving stream on threads of
// their own. No stream holds a whole transfer back for its flush, and what
// one stream did not consume stays on the link for the next.
TEST(koNetLink, TunnelLineThenCipherThenTransfersBothWays)
{
    koBoundSocketLink bound(0);
    const int port = bound.getAddress().getPort();
    const std::string line = "CONNECT session HTTP/1.1\r\n\r\n";
    std::shared_ptr<koSocketLink> client, server;
    auto clientSide = [&] {
        client = std::make_shared<koSocketLink>(koSocketAddress("127.0.0.1", port), 5.0);
        client->setRecvTimeout(20.0);
        client->send(line.data(), line.size());
        koNetStream stream(client);
        client->setCipher(std::make_shared<koNetCipher>(true, stream));
        stream.sendSuccess();
    };
    auto serverSide = [&] {
        server = std::make_shared<koSocketLink>(bound);
        server->setRecvTimeout(20.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string got(line.size(), '\0');
        server->recv(&got[0], got.size());
        EXPECT_EQ(got, line);
        koNetStream stream(server);
        server->setCipher(std::make_shared<koNetCipher>(false, stream));
        stream.recvResult();
    };
    koTest::runConcurrently({clientSide, serverSide});

    const std::vector<char> up = koTest::patternBytes(6 * 1024 * 1024 + 5, 1);
    const std::vector<char> down = koTest::patternBytes(5 * 1024 * 1024 + 11, 2);
    std::atomic<std::size_t> upArrived{0}, downArrived{0};
    std::vector<char> gotUp, gotDown;
    koNetStream clientOut, serverOut, clientIn;
    clientOut.setSender(koNetLinkSender::create(client));
    serverOut.setSender(koNetLinkSender::create(server));
    clientIn.setReceiver(koNetLinkReceiver::create(client));
    koTest::runConcurrently(
        {[&] {
             putInPieces(clientOut, up, false);
             const auto deadline = Clock::now() + std::chrono::seconds(20);
             while (upArrived + 1024 * 1024 < up.size() && Clock::now() < deadline)
                 std::this_thread::sleep_for(std::chrono::milliseconds(5));
             EXPECT_GE(upArrived + 1024 * 1024, up.size()) << "the transfer waited for its flush";
             clientOut.flush();
         },
         [&] {
             putInPieces(serverOut, down, true);
             serverOut.flush();
         },
         [&] {
             std::vector<char> head;
             {
                 koNetStream first;
                 first.setReceiver(koNetLinkReceiver::create(server));
                 head = getInPieces(first, up.size() / 3, upArrived);
             }
             // Reads on from where the first stream stopped.
             koNetStream next(server);
             gotUp = getInPieces(next, up.size(), upArrived);
             std::copy(head.begin(), head.end(), gotUp.begin());
         },
         [&] { gotDown = getInPieces(clientIn, down.size(), downArrived); }});
    EXPECT_TRUE(gotUp == up);
    EXPECT_TRUE(gotDown == down);
}

// A wait that shutdown() ends fails with a koNetError (not a peer that
// closed), and every later call fails at once.
void expectShutdownWakes(const std::function<void()>& wait, const std::function<void()>& shutdown)
{
    auto waiting = std::async(std::launch::async, [&] { return outcomeOf(wait); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    shutdown();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const Outcome woken = waiting.get();
    EXPECT_NE(woken.error.find("shut down"), std::string::npos) << woken.error;
    EXPECT_FALSE(woken.closed);
    const Outcome later = outcomeOf(wait);
    EXPECT_FALSE(later.error.empty());
    EXPECT_LT(later.seconds, 1.0);
}

TEST(koNetLink, ShutdownWakesABlockedReaderOrAccept)
{
    auto links = koSocketLink::createPair();
    koNetStream stream(links.second);
    expectShutdownWakes([&] { stream.getValue<std::uint64_t>(); }, [&] { stream.shutdown(); });
    EXPECT_TRUE(links.second->isShutdown());
    stream.putValue<std::uint8_t>(1);
    EXPECT_THROW(stream.flush(), koNetError);

    koBoundSocketLink bound(0);
    expectShutdownWakes([&] { koSocketLink link(bound); }, [&] { bound.shutdown(); });
    koSocketPipe pipe("kosession-test-" + std::to_string(::getpid()));
    expectShutdownWakes([&] { koSocketLink link(pipe, -1.0); }, [&] { pipe.shutdown(); });
}

TEST(koNetLink, FailuresSayWhatHappenedWithinTheirTimeLimits)
{
    const std::string freePort = std::to_string(koBoundSocketLink(0).getAddress().getPort());
    auto silent = koSocketLink::createPair();
    silent.second->setRecvTimeout(0.2);
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
        {"peer gone mid-value", [&] { koNetStream(gone.second).getValue<std::uint32_t>(); },
         "Connection closed by " + gone.second->getPeerName(), 0, true},
        {"wrong success marker", [&] { koNetStream(marker.second).recvResult(); }, "ef be ad de", 0, false},
        {"writing to a vanished peer", // SIGPIPE would end the process here
         [&] {
             for (int i = 0; i < 1000; ++i)
                 vanished.second->write(koTest::patternBytes(65536, 1).data(), 65536);
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
