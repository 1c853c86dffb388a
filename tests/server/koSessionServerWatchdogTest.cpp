// Cases that wait for the server's own clocks: the empty-session watchdog (a
// server that admits nobody stops itself after its minute) and the handshake
// limit, which must not end a scene transfer.

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

// Two servers side by side: a stranger's rejected request does not keep the
// first one alive, an admitted participant keeps the second one.
TEST(ServerWatchdog, OnlyAnAdmittedParticipantDisarmsIt)
{
    prepareProcess();
    LogCapture log;
    TestServer contacted;
    TestServer joined;
    const auto started = std::chrono::steady_clock::now();
    auto link = connectCiphered(contacted.port());
    sendRequest(link, 7);
    ASSERT_TRUE(waitClosed(link));
    auto alice = join(joined.link(), "Alice");

    ASSERT_TRUE(log.waitFor("Stopping empty session", watchdogLimit + std::chrono::seconds(20)));
    // Whole elapsed seconds must exceed the limit.
    EXPECT_GE(std::chrono::steady_clock::now() - started,
              watchdogLimit + std::chrono::seconds(1) - std::chrono::milliseconds(50));
    EXPECT_TRUE(waitStopped(contacted.server));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(log.count("Stopping empty session"), 1);
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
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
