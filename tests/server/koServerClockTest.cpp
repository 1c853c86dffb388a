// The handshake limit guards the door, not transfers: a scene upload that
// pauses longer than it is stored. The case waits the limit out, so it is slow.

#include "koServerTestKit.h"

#include "koNetStream.h"
#include "koSocketLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace koServerTest;

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
