// Scene upload and download between real participants and a real server over
// loopback with the real cipher: pieces and progress, names, aborts on both
// sides, a download racing an upload, the declined scene and an empty store.

#include "koSceneTestKit.h"
#include "koServerTestKit.h"

#include "koTestSupport.h"

#include "koSessionClient.h"

#include "koNetError.h"
#include "koNetProgress.h"

#include <gtest/gtest.h>

#include <QString>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace koServerTest;
using namespace koSceneTest;

namespace {

constexpr std::size_t MiB = 1024 * 1024;
const std::string Uploading = "Uploading scene ...";
const std::string Downloading = "Downloading scene ...";

class SceneTransferTest : public ::testing::Test
{
protected:
    void SetUp() override { prepareProcess(); }
    void TearDown() override
    {
        // An abort request outlives its progress; the next test starts clean.
        koNetProgress::start("reset", 0.0);
        koNetProgress::start(std::string(), 0.0);
    }

    int stored() const { return log.count("uploaded by"); }

    // Uploads and waits until the server has stored the scene: the uploader
    // hears nothing back, so only the server's log line tells.
    void upload(koSessionClient& client, const std::vector<char>& scene, const QString& name)
    {
        const int before = stored();
        client.uploadScene(scene, name);
        ASSERT_TRUE(waitForCount([this] { return stored(); }, before + 1)) << "the server did not store the scene";
    }

    LogCapture log;
    TestServer host;
};

// Asks for the abort when a progress under `text` has reached `pieces` pieces.
ProgressRecorder::Action abortAfter(const std::string& text, int pieces)
{
    return [text, pieces](const koNetProgress::State& state) {
        if (state.text == text && !state.aborting && state.done >= double(pieces) * MiB)
            koNetProgress::requestAbort();
    };
}

} // namespace

TEST_F(SceneTransferTest, ScenesMoveWholeInPiecesOfOneMebibyte)
{
    struct Row
    {
        std::size_t size;
        QString name;
        std::vector<double> pieces;
    };
    const std::vector<Row> rows = {
        {0, QStringLiteral("empty.kova"), {}},
        {1, QStringLiteral("one.kova"), {1}},
        {MiB, QStringLiteral("exact.kova"), {double(MiB)}},
        {MiB + 1, QStringLiteral("over.kova"), {double(MiB), 1}},
        {3 * MiB + 5, QStringLiteral(u"Szene Größe 日本語 😀.kova"), {double(MiB), double(MiB), double(MiB), 5}},
        {10, QString(), {10}},
    };
    auto alice = join(host.link(), "Alice");
    auto bob = join(host.link(), "Bob");
    std::uint32_t seed = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        const std::vector<char> scene = makeScene(row.size, seed++);
        {
            ProgressRecorder progress;
            upload(*alice, scene, row.name);
            EXPECT_EQ(progress.texts(), (std::vector<std::string>{Uploading, ""}));
            EXPECT_EQ(progress.total(Uploading), double(row.size));
            EXPECT_EQ(progress.pieces(Uploading), row.pieces);
        }
        std::vector<char> data(7, 'x');
        QString name = QStringLiteral("stale");
        ProgressRecorder progress;
        const int sent = log.count("downloaded by");
        ASSERT_TRUE(bob->downloadScene(data, name));
        EXPECT_EQ(name, row.name);
        EXPECT_TRUE(data == scene);
        EXPECT_EQ(progress.texts(), (std::vector<std::string>{Downloading, ""}));
        EXPECT_EQ(progress.total(Downloading), double(row.size));
        EXPECT_EQ(progress.pieces(Downloading), row.pieces);

        // One line per completed transfer on the server, with name and size.
        ASSERT_TRUE(waitForCount([&] { return log.count("downloaded by"); }, sent + 1));
        const std::string sizeText = ": " + std::to_string(row.size) + " bytes";
        const std::string nameText = "\"" + row.name.toStdString() + "\"";
        int uploadLines = 0;
        int downloadLines = 0;
        for (const std::string& line : log.lines()) {
            if (line.find(nameText) == std::string::npos || line.find(sizeText) == std::string::npos)
                continue;
            uploadLines += line.find("uploaded by") != std::string::npos ? 1 : 0;
            downloadLines += line.find("downloaded by") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(uploadLines, 1);
        EXPECT_EQ(downloadLines, 1);
    }
    EXPECT_EQ(log.count("failed"), 0);
}

TEST_F(SceneTransferTest, AbortedUploadLeavesThePreviousScene)
{
    auto alice = join(host.link(), "Alice");
    const std::vector<char> previous = makeScene(2 * MiB + 3, 10);
    upload(*alice, previous, QStringLiteral("previous.kova"));

    for (const int piecesSent : {0, 1, 3}) {
        SCOPED_TRACE(piecesSent);
        const int failed = log.count("Upload failed: ");
        {
            ProgressRecorder progress(abortAfter(Uploading, piecesSent));
            alice->uploadScene(makeScene(4 * MiB + 1, 11), QStringLiteral("aborted.kova"));
            EXPECT_EQ(progress.pieces(Uploading), std::vector<double>(piecesSent, double(MiB)));
            EXPECT_TRUE(koNetProgress::getState().text.empty());
        }
        // The server sees the stream end short and keeps what it had.
        ASSERT_TRUE(waitForCount([&] { return log.count("Upload failed: "); }, failed + 1));
        std::vector<char> data;
        QString name;
        ASSERT_TRUE(alice->downloadScene(data, name));
        EXPECT_EQ(name, QStringLiteral("previous.kova"));
        EXPECT_TRUE(data == previous);
    }
    EXPECT_EQ(stored(), 1);
}

TEST_F(SceneTransferTest, AbortedDownloadReturnsFalseWithTheAnnouncedSize)
{
    auto alice = join(host.link(), "Alice");
    const std::vector<char> scene = makeScene(3 * MiB + 7, 20);
    upload(*alice, scene, QStringLiteral("big.kova"));

    for (const int piecesRead : {0, 1, 2}) {
        SCOPED_TRACE(piecesRead);
        const int warnings = log.count("Download aborted by user");
        ProgressRecorder progress(abortAfter(Downloading, piecesRead));
        std::vector<char> data;
        QString name;
        EXPECT_FALSE(alice->downloadScene(data, name));
        EXPECT_EQ(name, QStringLiteral("big.kova"));
        ASSERT_EQ(data.size(), scene.size());
        const std::size_t read = piecesRead * MiB;
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + read, scene.begin()));
        EXPECT_TRUE(std::all_of(data.begin() + read, data.end(), [](char byte) { return byte == 0; }));
        EXPECT_EQ(progress.pieces(Downloading).size(), std::size_t(piecesRead));
        EXPECT_EQ(progress.texts().back(), "");
        EXPECT_EQ(log.count("Download aborted by user"), warnings + 1);
    }

    // The next download starts its own progress, which clears the abort.
    std::vector<char> data;
    QString name;
    EXPECT_TRUE(alice->downloadScene(data, name));
    EXPECT_TRUE(data == scene);
}

TEST_F(SceneTransferTest, DownloadBeforeAnyUploadFails)
{
    auto alice = join(host.link(), "Alice");
    ProgressRecorder progress;
    std::vector<char> data;
    QString name;
    EXPECT_THROW(alice->downloadScene(data, name), koNetError);
    EXPECT_TRUE(progress.texts().empty());
    EXPECT_TRUE(log.waitFor("No scene stored"));
    EXPECT_EQ(log.count("Download failed"), 0);
    // The participant's own session goes on.
    EXPECT_TRUE(alice->isConnected());
}

TEST_F(SceneTransferTest, DownloadRunningWhileAnUploadCompletesGetsTheOldSceneWhole)
{
    auto alice = join(host.link(), "Alice");
    auto bob = join(host.link(), "Bob");
    const std::vector<char> oldScene = makeScene(32 * MiB + 9, 30);
    const std::vector<char> newScene = makeScene(8 * MiB + 1, 31);
    upload(*alice, oldScene, QStringLiteral("old.kova"));

    // Bob's download stops after its first piece until the new scene is stored.
    static thread_local bool downloader = false;
    std::mutex mutex;
    std::condition_variable changed;
    bool paused = false;
    bool released = false;
    ProgressRecorder progress([&](const koNetProgress::State& state) {
        if (!downloader || state.text != Downloading || state.done < double(MiB))
            return;
        std::unique_lock<std::mutex> lock(mutex);
        if (paused)
            return;
        paused = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
    });
    auto first = std::async(std::launch::async, [&] {
        downloader = true;
        std::vector<char> data;
        QString name;
        const bool whole = bob->downloadScene(data, name);
        return whole && name == QStringLiteral("old.kova") && data == oldScene;
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return paused; }));
    }
    upload(*alice, newScene, QStringLiteral("new.kova"));
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    changed.notify_all();
    EXPECT_TRUE(first.get());

    std::vector<char> data;
    QString name;
    ASSERT_TRUE(bob->downloadScene(data, name));
    EXPECT_EQ(name, QStringLiteral("new.kova"));
    EXPECT_TRUE(data == newScene);
}

TEST_F(SceneTransferTest, DeclinedSceneSkipsExactlyOneDownload)
{
    auto alice = join(host.link(), "Alice");
    // Once Alice's scene load has come back to her, the server's list holds it.
    const int loads = SceneLoadCommand::executions();
    alice->push(SceneLoadCommand());
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return SceneLoadCommand::executions() == loads + 1; }));

    const int asked = sceneQuestionsAsked();
    auto bob = join(host.link(), "Bob"); // the process answers "Cancel"
    ASSERT_EQ(sceneQuestionsAsked(), asked + 1);

    // Nothing is stored yet, so any download that reached the server would throw.
    std::vector<char> data(3, 'k');
    QString name = QStringLiteral("kept");
    ProgressRecorder progress;
    EXPECT_FALSE(bob->downloadScene(data, name));
    EXPECT_EQ(data, std::vector<char>(3, 'k'));
    EXPECT_EQ(name, QStringLiteral("kept"));
    EXPECT_TRUE(progress.texts().empty());
    EXPECT_THROW(bob->downloadScene(data, name), koNetError);

    const std::vector<char> scene = makeScene(MiB + 2, 40);
    upload(*alice, scene, QStringLiteral("shared.kova"));
    ASSERT_TRUE(bob->downloadScene(data, name));
    EXPECT_TRUE(data == scene);
    EXPECT_EQ(name, QStringLiteral("shared.kova"));
}

TEST_F(SceneTransferTest, NameTooLongForTheWireFailsBeforeConnecting)
{
    auto alice = join(host.link(), "Alice");
    ProgressRecorder progress;
    try {
        alice->uploadScene(makeScene(10, 50), QString(70000, QChar('n')));
        FAIL() << "the upload went ahead";
    } catch (const koNetError& e) {
        EXPECT_NE(std::string(e.what()).find("70000"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("65535"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(progress.texts().empty());
    // The longest name that fits goes through whole.
    const QString longest(65535, QChar('n'));
    upload(*alice, makeScene(10, 51), longest);
    std::vector<char> data;
    QString name;
    ASSERT_TRUE(alice->downloadScene(data, name));
    EXPECT_EQ(name, longest);
}

TEST_F(SceneTransferTest, UploadRefusedByTheServerFailsOnTheClientAndEndsItsProgress)
{
    auto alice = join(host.link(), "Alice");
    host.server.setMaxSceneSize(MiB);
    const std::size_t size = 64 * MiB;
    ProgressRecorder progress;
    // The server closes the link after the size field; the client's writes
    // then fail once the socket's buffers are full.
    EXPECT_THROW(alice->uploadScene(makeScene(size, 60), QStringLiteral("refused.kova")), koNetError);
    EXPECT_EQ(progress.texts(), (std::vector<std::string>{Uploading, ""}));
    ASSERT_TRUE(log.waitFor("Upload failed: "));
    EXPECT_EQ(log.count(std::to_string(size) + " bytes announced"), 1);
    EXPECT_EQ(stored(), 0);
    EXPECT_TRUE(alice->isConnected());
}
