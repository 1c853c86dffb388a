// Cases that wait for the server's own clocks: the empty-session watchdog (a
// server that nobody contacts stops itself after its minute; any connection
// disarms it) and the handshake limit, which must not end a scene transfer.

#include "koServerTestKit.h"

#include "koTestSupport.h"

#include "koSessionClient.h"
#include "koSessionWire.h"

#include "koNetStream.h"
#include "koSocketLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

TEST(ServerClocks, UploadThatPausesLongerThanAHandshakeIsStored)
{
    prepareProcess();
    LogCapture log;
    TestServer host;
    auto link = connectCiphered(host.port());
    koNetStream stream(link);
    // Upload request, name "p", 4 bytes of scene; two of them after the pause.
    const unsigned char header[] = {2, 0, 0, 0, 2, 0, 0, 0, 'p', 0, 4, 0, 0, 0, 0, 0, 0, 0, 's', 'c'};
    stream.putBytes(header, sizeof header);
    stream.flush();
    std::this_thread::sleep_for(std::chrono::duration<double>(koSessionServer::HandshakeTimeoutSeconds + 2));
    stream.putBytes("ne", 2);
    stream.flush();
    ASSERT_TRUE(log.waitFor("uploaded by"));
    EXPECT_EQ(log.count("Upload failed"), 0);
}
