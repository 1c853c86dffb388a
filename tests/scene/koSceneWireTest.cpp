// The scene transfer streams byte by byte from each end: a raw client that
// writes and reads the fields by hand against the real server, and the real
// client against a fake server. Limits on names and announced sizes, broken
// and stalled connections.

#include "koSceneTestKit.h"
#include "koServerTestKit.h"

#include "koFakeSessionServer.h"
#include "koTestAllocationProbe.h"
#include "koTestSupport.h"

#include "koSessionClient.h"
#include "koSessionSceneWire.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <gtest/gtest.h>

#include <QString>

#include <future>
#include <limits>
#include <string>
#include <vector>

using namespace koServerTest;
using namespace koSceneTest;

namespace {

constexpr std::size_t MiB = 1024 * 1024;
constexpr std::uint64_t DefaultMax = std::uint64_t(16) << 30;

class SceneWireTest : public ::testing::Test
{
protected:
    void SetUp() override { prepareProcess(); }

    int stored() const { return log.count("uploaded by"); }
    int failed() const { return log.count("Upload failed: "); }

    // Uploads by hand: header fields, then `data`; waits until it is stored.
    void rawUpload(const std::string& name, bool zero, const std::vector<char>& data)
    {
        rawUpload(host.port(), name, zero, data);
    }
    void rawUpload(int port, const std::string& name, bool zero, const std::vector<char>& data)
    {
        const int before = stored();
        RawTransfer transfer = openRaw(port, 2);
        putRawHeader(*transfer.stream, name, zero, data.size());
        transfer.stream->putBytes(data.data(), data.size());
        transfer.stream->flush();
        ASSERT_TRUE(waitForCount([this] { return stored(); }, before + 1));
    }

    // Downloads by hand and checks every field of the server's answer.
    void expectStored(const std::string& name, const std::vector<char>& data)
    {
        RawTransfer transfer = openRaw(host.port(), 1);
        koNetStream& in = *transfer.stream;
        ASSERT_EQ(in.getValue<std::uint32_t>(), name.size() + 1);
        std::string got(name.size(), '\0');
        in.getBytes(&got[0], got.size());
        EXPECT_EQ(got, name);
        EXPECT_EQ(in.getValue<std::uint8_t>(), 0);
        ASSERT_EQ(in.getValue<std::uint64_t>(), data.size());
        std::vector<char> bytes(data.size());
        in.getBytes(bytes.data(), bytes.size());
        EXPECT_TRUE(bytes == data);
        // Then the server releases the connection: nothing follows.
        EXPECT_TRUE(waitClosed(transfer.link));
    }

    LogCapture log;
    TestServer host;
};

// A fake server that admits one participant and then serves one transfer
// connection with `serve` (request type already read and checked).
struct FakeTransfer
{
    explicit FakeTransfer(std::uint32_t request, std::function<void(koTest::FakeConnection&)> serve)
    {
        fake.run([request, serve](koTest::FakeSessionServer& server) {
            server.admit(koTest::FakeAdmission());
            koTest::FakeConnection transfer = server.acceptTunnel();
            server.answerTunnel(transfer, "HTTP/1.1 200 OK\r\n\r\n");
            if (transfer.header.find(".join.KOVASessionServer") == std::string::npos)
                throw std::runtime_error("transfer not opened in join mode: " + transfer.header);
            if (transfer.stream->getValue<std::uint32_t>() != request)
                throw std::runtime_error("unexpected request type");
            serve(transfer);
        });
        // Joined in force mode: the transfer must still say "join".
        client->join(fake.getLink(), makeUser("Alice"), QString(), true);
    }

    koTest::FakeSessionServer fake;
    std::shared_ptr<koSessionClient> client = std::make_shared<koSessionClient>();
};

} // namespace

TEST_F(SceneWireTest, UploadFieldsAreStoredAndServedBack)
{
    struct Row
    {
        std::string name;
        bool zero; // false: a name field with n = 0
        std::size_t size;
    };
    const std::vector<Row> rows = {
        {"plain.kova", true, 5},
        {"", true, 0},
        {"", false, 3},
        {"\xc3\xa9t\xc3\xa9.kova", true, MiB + 1},
    };
    std::uint32_t seed = 60;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + "/" + std::to_string(row.size));
        const std::vector<char> scene = makeScene(row.size, seed++);
        rawUpload(row.name, row.zero, scene);
        expectStored(row.name, scene);
    }
}

TEST_F(SceneWireTest, DownloadWithoutASceneClosesWithoutAByte)
{
    RawTransfer transfer = openRaw(host.port(), 1);
    EXPECT_TRUE(waitClosed(transfer.link));
    EXPECT_TRUE(log.waitFor("No scene stored"));
}

TEST_F(SceneWireTest, AnnouncedSizeAboveTheMaximumIsRefusedBeforeAllocating)
{
    struct Row
    {
        std::uint64_t maximum; // 0: the server's default
        std::uint64_t announced;
        bool refused;
    };
    const std::vector<Row> rows = {
        {8 * MiB, 8 * MiB, false},
        {8 * MiB, 8 * MiB + 1, true},
        {0, DefaultMax + 1, true},
        {0, std::numeric_limits<std::uint64_t>::max(), true},
    };
    EXPECT_EQ(host.server.getMaxSceneSize(), DefaultMax);
    const std::vector<char> previous = makeScene(100, 70);
    rawUpload("previous.kova", true, previous);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.announced);
        host.server.setMaxSceneSize(row.maximum ? row.maximum : DefaultMax);
        const std::uint64_t maximum = host.server.getMaxSceneSize();
        if (!row.refused) {
            const std::vector<char> scene = makeScene(row.announced, 71);
            rawUpload("largest.kova", true, scene);
            expectStored("largest.kova", scene);
            continue;
        }
        const int before = failed();
        koTest::AllocationProbe probe;
        RawTransfer transfer = openRaw(host.port(), 2);
        putRawHeader(*transfer.stream, "too big.kova", true, row.announced);
        transfer.stream->flush();
        ASSERT_TRUE(waitForCount([this] { return failed(); }, before + 1));
        EXPECT_TRUE(waitClosed(transfer.link));
        // Nothing near the announced size was asked of the allocator.
        EXPECT_LT(probe.largest(), std::min<std::uint64_t>(row.announced, 4 * MiB));
        int named = 0;
        for (const std::string& line : log.lines()) {
            named += line.find("Upload failed: ") != std::string::npos
                    && line.find(std::to_string(row.announced)) != std::string::npos
                    && line.find(std::to_string(maximum)) != std::string::npos;
        }
        EXPECT_EQ(named, 1);
    }
    expectStored("largest.kova", makeScene(8 * MiB, 71));
}

TEST_F(SceneWireTest, NameFieldAboveItsLimitIsRefused)
{
    const std::uint32_t limit = koSessionSceneWire::MaxNameBytes;
    // n counts the zero byte: the longest name has limit - 1 bytes.
    const std::string longest(limit - 1, 'n');
    rawUpload(longest, true, makeScene(4, 80));
    expectStored(longest, makeScene(4, 80));

    const int before = failed();
    koTest::AllocationProbe probe;
    RawTransfer transfer = openRaw(host.port(), 2);
    transfer.stream->putValue(limit + 1);
    transfer.stream->flush();
    ASSERT_TRUE(waitForCount([this] { return failed(); }, before + 1));
    EXPECT_TRUE(waitClosed(transfer.link));
    EXPECT_EQ(log.count(std::to_string(limit + 1) + " bytes"), 1);
    EXPECT_LE(probe.largest(), std::size_t(2 * MiB));
    expectStored(longest, makeScene(4, 80));
}

TEST_F(SceneWireTest, UploadClosedPartWayLeavesThePreviousScene)
{
    const std::vector<char> previous = makeScene(2 * MiB, 90);
    rawUpload("previous.kova", true, previous);

    struct Row
    {
        const char* what;
        bool header; // the whole header was sent
        std::size_t bytes; // data bytes sent before closing
    };
    const std::vector<Row> rows = {
        {"inside the name", false, 0},
        {"after the header", true, 0},
        {"inside the data", true, 3 * MiB / 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const int before = failed();
        {
            RawTransfer transfer = openRaw(host.port(), 2);
            if (row.header) {
                putRawHeader(*transfer.stream, "cut.kova", true, 4 * MiB);
                const std::vector<char> part = makeScene(row.bytes, 91);
                transfer.stream->putBytes(part.data(), part.size());
            } else {
                transfer.stream->putValue(std::uint32_t(9));
                transfer.stream->putBytes("cut", 3);
            }
            transfer.stream->flush();
        } // closes the connection
        ASSERT_TRUE(waitForCount([this] { return failed(); }, before + 1));
        expectStored("previous.kova", previous);
    }
    EXPECT_EQ(stored(), 1);
}

TEST_F(SceneWireTest, ServerGoingAwayCutsAStalledDownload)
{
    auto other = std::make_unique<TestServer>();
    rawUpload(other->port(), "big.kova", true, makeScene(64 * MiB, 95));
    RawTransfer transfer = openRaw(other->port(), 1);
    // The job is sending once the answer begins; then this reader stops
    // reading and the server's writes stall.
    ASSERT_EQ(transfer.stream->getValue<std::uint32_t>(), 9u);
    const int before = log.count("Download failed: ");
    auto gone = std::async(std::launch::async, [&other] { other.reset(); });
    if (gone.wait_for(10s) != std::future_status::ready) {
        transfer.link->shutdown(); // lets the destructor finish before failing
        FAIL() << "destroying the server waited for the stalled download";
    }
    EXPECT_EQ(log.count("Download failed: "), before + 1);
}

// --- The real client against a fake server ---------------------------------

TEST_F(SceneWireTest, ClientUploadWritesTheFieldsInOrder)
{
    const std::vector<char> scene = makeScene(MiB + 1, 100);
    std::uint32_t count = 0;
    std::string name;
    std::uint64_t size = 0;
    std::vector<char> data;
    bool closedAfter = false;
    {
        FakeTransfer fake(2, [&](koTest::FakeConnection& transfer) {
            koNetStream& in = *transfer.stream;
            count = in.getValue<std::uint32_t>();
            name.resize(count);
            in.getBytes(&name[0], count);
            size = in.getValue<std::uint64_t>();
            data.resize(size);
            in.getBytes(data.data(), data.size());
            try {
                in.getValue<std::uint8_t>();
            } catch (const koNetError&) {
                closedAfter = true;
            }
        });
        fake.client->uploadScene(scene, QStringLiteral(u"Ünï.kova"));
        EXPECT_EQ(fake.fake.finish(), "");
    }
    const std::string utf8 = "\xc3\x9cn\xc3\xaf.kova";
    EXPECT_EQ(count, utf8.size() + 1);
    EXPECT_EQ(name, utf8 + std::string(1, '\0'));
    EXPECT_EQ(size, scene.size());
    EXPECT_TRUE(data == scene);
    EXPECT_TRUE(closedAfter);
}

TEST_F(SceneWireTest, ClientDownloadReadsTheAnswerWithinItsLimits)
{
    struct Row
    {
        const char* what;
        std::string nameField; // bytes after the count
        std::uint32_t count;
        std::uint64_t size;
        std::string data;
        bool ok;
        QString name;
        std::vector<std::string> inError;
        bool cut = false; // the server closes right after what it sent
    };
    const std::uint32_t nameLimit = koSessionSceneWire::MaxNameBytes;
    const std::vector<Row> rows = {
        {"count 0", "", 0, 3, "abc", true, QString(), {}},
        {"zero inside the name", std::string("ab\0cd\0", 6), 6, 2, "xy", true, QStringLiteral("ab"), {}},
        {"name as UTF-8", "\xc3\xa9.k" + std::string(1, '\0'), 5, 0, "", true, QStringLiteral(u"é.k"), {}},
        {"size above the maximum", std::string("x\0", 2), 2, DefaultMax + 1, "", false, QString(),
         {std::to_string(DefaultMax + 1), std::to_string(DefaultMax)}},
        {"name above its limit", "", nameLimit + 1, 0, "", false, QString(),
         {std::to_string(nameLimit + 1), std::to_string(nameLimit)}},
        {"closed inside the data", std::string("x\0", 2), 2, 3 * MiB, "abc", false, QString(), {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeTransfer fake(1, [&row](koTest::FakeConnection& transfer) {
            koNetStream& out = *transfer.stream;
            out.putValue(row.count);
            out.putBytes(row.nameField.data(), row.nameField.size());
            out.putValue(row.size);
            out.putBytes(row.data.data(), row.data.size());
            out.flush();
            if (row.cut)
                return;
            try {
                out.getValue<std::uint8_t>(); // until the client closes
            } catch (const koNetError&) {
            }
        });
        ProgressRecorder progress;
        koTest::AllocationProbe probe;
        std::vector<char> data;
        QString name;
        if (row.ok) {
            EXPECT_TRUE(fake.client->downloadScene(data, name));
            EXPECT_EQ(name, row.name);
            EXPECT_EQ(std::string(data.begin(), data.end()), row.data);
            EXPECT_EQ(progress.texts(), (std::vector<std::string>{"Downloading scene ...", ""}));
        } else {
            try {
                fake.client->downloadScene(data, name);
                ADD_FAILURE() << "the download went ahead";
            } catch (const koNetError& e) {
                for (const std::string& part : row.inError)
                    EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
            }
            // A progress that was begun is ended before the error passes.
            const std::vector<std::string> texts = progress.texts();
            if (row.cut)
                EXPECT_EQ(texts, (std::vector<std::string>{"Downloading scene ...", ""}));
            else
                EXPECT_TRUE(texts.empty());
            EXPECT_LT(probe.largest(), std::size_t(64 * MiB));
        }
        fake.client.reset();
        EXPECT_EQ(fake.fake.finish(), "");
    }
}
