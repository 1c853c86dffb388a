// Both ends of a TCP link must notice a peer that vanished without closing,
// within about 20 s: keep-alive probes when idle, a user time-out when sent
// bytes stay unacknowledged, and no Nagle delay on the command stream.
#include "koBoundSocketLink.h"
#include "koSocketLink.h"

#include <gtest/gtest.h>

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
