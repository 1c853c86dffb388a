// Transfers that pause longer than a handshake may: the time limits that
// guard the handshake must not end a scene transfer on either end.

#include "koSceneTestKit.h"
#include "koServerTestKit.h"

#include "koFakeSessionServer.h"

#include "koSessionClient.h"

#include "koNetStream.h"
#include "koSocketLink.h"

#include <gtest/gtest.h>

#include <QString>

#include <thread>
#include <vector>

using namespace koServerTest;
using namespace koSceneTest;

TEST(SceneSlow, ServerWaitsForAnUploadThatPausesLongerThanAHandshake)
{
    prepareProcess();
    LogCapture log;
    TestServer host;
    const std::vector<char> scene = makeScene(3 * 1024 * 1024, 3);
    RawTransfer transfer = openRaw(host.port(), 2);
    putRawHeader(*transfer.stream, "paused.kova", true, scene.size());
    transfer.stream->putBytes(scene.data(), 1024 * 1024);
    transfer.stream->flush();
    std::this_thread::sleep_for(std::chrono::duration<double>(koSessionServer::HandshakeTimeoutSeconds + 2));
    transfer.stream->putBytes(scene.data() + 1024 * 1024, scene.size() - 1024 * 1024);
    transfer.stream->flush();
    ASSERT_TRUE(log.waitFor("uploaded by"));
    EXPECT_EQ(log.count("Upload failed"), 0);
}

TEST(SceneSlow, ClientWaitsForAServerThatAnswersLaterThanAHandshakeMay)
{
    prepareProcess();
    koTest::FakeSessionServer fake;
    fake.run([](koTest::FakeSessionServer& server) {
        server.admit(koTest::FakeAdmission());
        koTest::FakeConnection transfer = server.acceptTunnel();
        server.answerTunnel(transfer, "HTTP/1.1 200 OK\r\n\r\n");
        koNetStream& stream = *transfer.stream;
        if (stream.getValue<std::uint32_t>() != 1)
            throw std::runtime_error("not a download request");
        // Longer than the client's handshake limit of 30 s.
        std::this_thread::sleep_for(std::chrono::seconds(33));
        stream.putValue(std::uint32_t(2));
        stream.putBytes("s\0", 2);
        stream.putValue(std::uint64_t(4));
        stream.putBytes("data", 4);
        stream.flush();
        try {
            stream.getValue<std::uint8_t>(); // until the client closes
        } catch (const std::exception&) {
        }
    });
    auto client = std::make_shared<koSessionClient>();
    client->join(fake.getLink(), makeUser("Alice"), QString(), false);
    std::vector<char> data;
    QString name;
    EXPECT_TRUE(client->downloadScene(data, name));
    EXPECT_EQ(name, QStringLiteral("s"));
    EXPECT_EQ(std::string(data.begin(), data.end()), "data");
    client.reset();
    EXPECT_EQ(fake.finish(), "");
}
