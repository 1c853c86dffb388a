// A participant whose network stalls without closing: a relay between it and
// the server stops moving bytes but keeps both connections open. While the
// others keep talking, the server's sends to it stay unacknowledged, the
// link's user time-out ends it, and the roster drops it; nothing the others
// sent meanwhile is lost.
#include "koFaultKit.h"
#include "koTestFaultProxy.h"

#include "koSessionClient.h"

#include <iostream>

namespace koFaultTest {
namespace {

using StallTest = FaultSessionTest;

// The links give up on unacknowledged bytes after 20 s; the kernel checks at
// its probe times, so allow some seconds more.
constexpr auto stallBound = 35s;

TEST_F(StallTest, ParticipantBehindAStalledNetworkIsDroppedFromTheRoster)
{
    koTest::FaultProxy proxy(host->port());
    const auto carol = koServerTest::join(proxy.link(host->link()), QStringLiteral("Carol"));
    const unsigned short carolId = carol->getUserId();
    ASSERT_TRUE(rosterSettles(3));
    alice->push(makeNote(++notes, 100));
    ASSERT_TRUE(pumpUntil({carol.get()}, [&] { return hasNote(*carol, notes); }));

    proxy.stall();
    const auto stalled = std::chrono::steady_clock::now();
    bool dropped = false;
    while (!dropped && std::chrono::steady_clock::now() - stalled < stallBound + 10s) {
        // Enough traffic that the server's sends towards Carol pile up unacknowledged.
        alice->push(makeNote(++notes, 8 * 1024));
        dropped = rosterSettles(2, carolId, 20ms);
    }
    const std::chrono::duration<double> after = std::chrono::steady_clock::now() - stalled;
    std::cout << "stalled participant dropped from the roster after " << after.count() << " s" << std::endl;
    EXPECT_TRUE(dropped);
    EXPECT_LT(after, stallBound);

    // Bob got every note Alice sent, stall or not, once and in order.
    EXPECT_TRUE(pumpUntil({alice.get(), bob.get()}, [&] { return hasNote(*bob, notes); }));
    std::vector<qint32> expected;
    for (qint32 number = 1; number <= notes; ++number)
        expected.push_back(number);
    EXPECT_EQ(notesOf(*bob), expected);
    EXPECT_TRUE(alice->isConnected());
    EXPECT_TRUE(bob->isConnected());
}

} // namespace
} // namespace koFaultTest
