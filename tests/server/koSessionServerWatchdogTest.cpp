// The empty-session watchdog: a server that nobody contacts stops itself
// after its minute; any connection disarms it. Each case waits the full time.

#include "koServerTestKit.h"

#include "koTestSupport.h"

#include "koSessionClient.h"
#include "koSessionWire.h"

#include "koSocketLink.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace koServerTest;

namespace {

const auto watchdogLimit = std::chrono::seconds(koSessionServer::EmptySessionSeconds);

} // namespace

TEST(ServerWatchdog, UncontactedServerStopsItselfAfterAMinute)
{
    prepareProcess();
    LogCapture log;
    TestServer host;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(log.waitFor("Stopping empty session", watchdogLimit + std::chrono::seconds(20)));
    const auto took = std::chrono::steady_clock::now() - started;
    // Whole elapsed seconds must exceed the limit.
    EXPECT_GE(took, watchdogLimit + std::chrono::seconds(1) - std::chrono::milliseconds(50));
    EXPECT_TRUE(waitStopped(host.server));
    EXPECT_EQ(log.count("Stopping empty session"), 1);
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
}

TEST(ServerWatchdog, AnyConnectionDisarmsIt)
{
    prepareProcess();
    LogCapture log;
    TestServer host;
    // Even a request that is then rejected counts as contact.
    auto link = connectCiphered(host.port());
    sendRequest(link, 7);
    ASSERT_TRUE(waitClosed(link));

    std::this_thread::sleep_for(watchdogLimit + std::chrono::seconds(3));
    EXPECT_EQ(log.count("Stopping empty session"), 0);
    auto alice = join(host.link(), "Alice");
    EXPECT_TRUE(alice->isConnected());
}
