// A participant whose network stalls without closing: a relay between it and
// the server stops moving bytes but keeps both connections open. While the
// others keep talking, the server's sends to it stay unacknowledged, the
// link's user time-out ends it, and the roster drops it; nothing the others
// sent meanwhile is lost.
#include "koFaultKit.h"
#include "koTestFaultProxy.h"
#include "koServerTestKit.h"

#include "koSessionClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <thread>

namespace koFaultTest {
namespace {

using namespace koServerTest;
using koTest::FaultProxy;

// The links give up on unacknowledged bytes after 20 s; the kernel checks at
// its probe times, so allow some seconds more.
constexpr auto stallBound = 35s;

TEST(Stall, ParticipantBehindAStalledNetworkIsDroppedFromTheRoster)
{
    LogCapture log;
    prepareProcess(false);
    TestServer host;
    FaultProxy proxy(host.port());
    const auto alice = join(host.link(), QStringLiteral("Alice"));
    const auto bob = join(proxy.link(), QStringLiteral("Bob"));
    const auto carol = join(host.link(), QStringLiteral("Carol"));
    const std::vector<koSessionClient*> all = {alice.get(), bob.get(), carol.get()};
    const unsigned short bobId = bob->getUserId();
    ASSERT_TRUE(pumpUntil(all, [&] { return rosterIds(*alice).size() == 3; }));
    qint32 note = 1;
    alice->push(makeNote(note, 100));
    ASSERT_TRUE(pumpUntil(all, [&] { return hasNote(*bob, note); }));

    proxy.stall();
    const auto stalled = std::chrono::steady_clock::now();
    bool dropped = false;
    while (!dropped && std::chrono::steady_clock::now() - stalled < stallBound + 10s) {
        // Enough traffic that the server's sends towards Bob pile up unacknowledged.
        alice->push(makeNote(++note, 8 * 1024));
        alice->executeCommands();
        carol->executeCommands();
        const auto ids = rosterIds(*alice);
        dropped = std::find(ids.begin(), ids.end(), bobId) == ids.end();
        std::this_thread::sleep_for(20ms);
    }
    const std::chrono::duration<double> after = std::chrono::steady_clock::now() - stalled;
    std::cout << "stalled participant dropped from the roster after " << after.count() << " s; its own isConnected: "
              << bob->isConnected() << std::endl;
    EXPECT_TRUE(dropped);
    EXPECT_LT(after, stallBound);

    // Carol got every note Alice sent, stall or not.
    const qint32 last = note;
    EXPECT_TRUE(pumpUntil({alice.get(), carol.get()}, [&] { return hasNote(*carol, last); }));
    std::vector<qint32> received = notesOf(*carol);
    std::vector<qint32> expected;
    for (qint32 number = 1; number <= last; ++number)
        expected.push_back(number);
    EXPECT_EQ(received, expected);
    EXPECT_EQ(rosterIds(*carol).size(), 2u);
    EXPECT_TRUE(alice->isConnected());
    EXPECT_TRUE(carol->isConnected());
}

} // namespace
} // namespace koFaultTest
