// A scene of a few hundred MiB up to a real server and down to two
// participants at once, over loopback with the real cipher, bytes compared.

#include "koSceneTestKit.h"
#include "koServerTestKit.h"

#include "koSessionClient.h"

#include <gtest/gtest.h>

#include <QString>

#include <cstring>
#include <future>
#include <vector>

using namespace koServerTest;
using namespace koSceneTest;

namespace {

constexpr std::size_t MiB = 1024 * 1024;

} // namespace

TEST(SceneLarge, HundredsOfMebibytesArriveWholeAtTwoDownloadersAtOnce)
{
    prepareProcess();
    LogCapture log;
    TestServer host;
    auto alice = join(host.link(), "Alice");
    auto bob = join(host.link(), "Bob");
    auto carol = join(host.link(), "Carol");

    const std::size_t size = 300 * MiB + 12345;
    const std::vector<char> scene = makeScene(size, 7);
    const QString sceneName = QStringLiteral("large.kova");
    {
        ProgressRecorder progress;
        alice->uploadScene(scene, sceneName);
        EXPECT_EQ(progress.pieces("Uploading scene ...").size(), 301u);
    }
    ASSERT_TRUE(waitForCount([&] { return log.count("uploaded by"); }, 1, 120s));

    // Both read from the one stored vector at the same time.
    const auto download = [&](koSessionClient& client) {
        std::vector<char> data;
        QString name;
        const bool whole = client.downloadScene(data, name);
        return whole && name == sceneName && data.size() == size
            && std::memcmp(data.data(), scene.data(), size) == 0;
    };
    auto fromBob = std::async(std::launch::async, [&] { return download(*bob); });
    auto fromCarol = std::async(std::launch::async, [&] { return download(*carol); });
    EXPECT_TRUE(fromBob.get());
    EXPECT_TRUE(fromCarol.get());
    EXPECT_TRUE(waitForCount([&] { return log.count("downloaded by"); }, 2));
    EXPECT_EQ(log.count("failed"), 0);
}
