// The server as a raw connection sees it, byte for byte: the tunnel answer,
// request dispatch, the join handshake, the scene streams, and what bad or
// silent connections can do to the accept thread (nothing lasting). Byte
// vectors are written from the wire format, little-endian throughout.

#include "koServerTestKit.h"

#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionChange.h"
#include "koSessionClient.h"
#include "koSessionWire.h"

#include "koNetStream.h"
#include "koSocketLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace koServerTest;

namespace {

using Bytes = std::vector<unsigned char>;
using ServerWireTest = ProcessTest;
constexpr std::size_t MiB = 1024 * 1024;

void put(koNetStream& stream, const Bytes& bytes)
{
    stream.putBytes(bytes.data(), bytes.size());
    stream.flush();
}

Bytes get(koNetStream& stream, std::size_t size)
{
    Bytes bytes(size);
    stream.getBytes(bytes.data(), size);
    return bytes;
}

Bytes operator+(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}


// A ciphered connection that has sent `request`, with a stream over it.
struct Raw
{
    Raw(int port, const Bytes& request)
        : link(connectCiphered(port))
        , stream(link)
    {
        put(stream, request);
    }
    std::shared_ptr<koSocketLink> link;
    koNetStream stream;
};

} // namespace

TEST_F(ServerWireTest, OnlyAConnectLineIsAnsweredAndTheRequestIsReadEitherWay)
{
    std::string padded = "CONNECT session_x HTTP/1.1\r\nX-Padding: ";
    padded += std::string(koSessionWire::MaxTunnelHeaderBytes - padded.size() - 4, 'p') + "\r\n\r\n";
    struct Row
    {
        std::string line;
        bool answered;
    };
    const std::vector<Row> rows = {
        {tunnelLine(), true},
        {padded, true},
        {"GET / HTTP/1.1\r\nHost: example\r\n\r\n", false},
        {"connect session_x.version_y.join.KOVASessionServer HTTP/1.1\r\n\r\n", false},
        {" CONNECT session_x HTTP/1.1\r\n\r\n", false},
        {"\r\n\r\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line.substr(0, 40));
        TestServer host;
        auto link = connectTcp(host.port());
        link->setRecvTimeout(10.0);
        link->send(row.line.data(), row.line.size());
        if (row.answered) {
            std::string answer(19, '\0');
            link->recv(&answer[0], answer.size());
            EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\n\r\n");
        }
        // Straight into the key exchange: any other byte would spoil it, and
        // the stop request would never be read.
        koSessionWire::setUpCipher(link, true);
        koNetStream stream(link);
        put(stream, {3, 0, 0, 0});
        EXPECT_TRUE(waitStopped(host.server));
    }
}

TEST_F(ServerWireTest, JoinHandshakeBytesAndAVersionMismatch)
{
    const koTest::VersionOverride version("1.0.0", "V1");
    TestServer host;
    auto al = join(host.link(), "Al");
    auto bo = join(host.link(), "Bo");
    const Bytes answer = {2, 0, 0, 0, 'V', 0, '1', 0,                  // the server's version text
                          2, 0, 0, 0, 0, 0, 0, 0,                      // two names follow
                          2, 0, 0, 0, 'A', 0, 'l', 0, 2, 0, 0, 0, 'B', 0, 'o', 0};

    // Versions are compared exactly: case and spacing count. A text of the
    // longest length is read and compared.
    for (const Bytes& other : {Bytes{2, 0, 0, 0, 'v', 0, '1', 0}, Bytes{3, 0, 0, 0, 'V', 0, '1', 0, ' ', 0},
                               Bytes{0, 0, 0, 0}, Bytes{0, 0, 1, 0} + Bytes(2 * 65536, 'v')}) {
        Raw raw(host.port(), Bytes{0, 0, 0, 0} + other);
        EXPECT_EQ(get(raw.stream, answer.size()), answer);
        EXPECT_TRUE(waitClosed(raw.link));
    }
    {
        // A version text longer than 65536 units is refused from its count.
        Raw tooLong(host.port(), {0, 0, 0, 0, 1, 0, 1, 0});
        EXPECT_TRUE(waitClosed(tooLong.link));
    }

    Raw raw(host.port(), {0, 0, 0, 0, 2, 0, 0, 0, 'V', 0, '1', 0});
    EXPECT_EQ(get(raw.stream, answer.size()), answer);
    makeUser("Cy").putValue(raw.stream);
    raw.stream.flush();
    koSessionUser settled;
    settled.getValue(raw.stream);
    // Nobody refused took an identifier; the third participant takes colour 2.
    EXPECT_EQ(settled.getId(), bo->getUserId() + 1);
    EXPECT_EQ(settled.getName(), QStringLiteral("Cy"));
    EXPECT_EQ(settled.getColor(), koSession::the().getDefaultColor(2));
    EXPECT_EQ(get(raw.stream, 1), Bytes{0}); // no scene held

    // After the first has left, newcomers take the smallest free colours: 0, then 3.
    al.reset();
    ASSERT_TRUE(koTest::waitFor([&] { return host.server.getStatistics().participants == 2; }));
    const auto di = join(host.link(), "Di");
    const auto ed = join(host.link(), "Ed");
    EXPECT_EQ(di->getUser().getColor(), koSession::the().getDefaultColor(0));
    EXPECT_EQ(ed->getUser().getColor(), koSession::the().getDefaultColor(3));
}

TEST_F(ServerWireTest, StopCutsAStalledHandshakeShortAndRestartsNeedAWait)
{
    TestServer host;
    auto silent = connectTcp(host.port());
    silent->send("C", 1); // the accept thread is reading this one
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto started = std::chrono::steady_clock::now();
    host.server.stop();
    host.server.stop();
    EXPECT_THROW(host.server.start(QString(), 0), std::logic_error);
    host.server.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::duration<double>(koSessionServer::HandshakeTimeoutSeconds));
    EXPECT_TRUE(waitClosed(silent));
}

TEST_F(ServerWireTest, PipeModeSkipsTheTunnelHeader)
{
    TestServer host(false);
    const QString pipeName = QStringLiteral("kosession-server-test-%1").arg(::getpid());
    host.server.start(pipeName, 0);
    EXPECT_EQ(host.port(), 0);
    auto link = koSocketLink::connectPipe(pipeName.toStdString(), 5.0);
    link->setRecvTimeout(10.0);
    koSessionWire::setUpCipher(link, true);
    RawParticipant piper = rawJoin(link, "Piper");
    EXPECT_NE(piper.user.getId(), 0);
    koSessionChange roster; // read, so that only the end of the link is left
    roster.getValue(*piper.stream);
    host.server.stop();
    host.server.wait();

    // Started again on a port, it serves there and keeps counting.
    host.start();
    auto alice = join(host.link(), "Alice");
    EXPECT_EQ(alice->getUserId(), piper.user.getId() + 1);
    EXPECT_TRUE(waitClosed(link));
}

// Each row uploads; the next download serves the newest stored scene, byte
// for byte, whatever broke or was refused since.
TEST_F(ServerWireTest, UploadsAreStoredWholeOrNotAtAllAndServedBackByteForByte)
{
    LogCapture log;
    TestServer host;
    host.server.setMaxSceneSize(MiB + 1);
    {
        Raw none(host.port(), {1, 0, 0, 0});
        EXPECT_TRUE(waitClosed(none.link)) << "a download before any upload gets no byte";
    }
    constexpr std::uint64_t noSize = ~std::uint64_t(0);
    struct Row
    {
        Bytes name;            // the name field as uploaded
        std::uint64_t size;    // announced; noSize: the connection closes after the name
        std::size_t sent;      // scene bytes sent before the connection closes
        Bytes served;          // the name field as downloaded; empty: refused
        std::string logged;    // refused before the data, saying this
    };
    Bytes longest = {0, 0, 1, 0}; // the longest name field allowed: 65535 bytes and the zero
    longest.resize(4 + 0xffff, 'n');
    longest.push_back(0);
    const std::vector<Row> rows = {
        {{3, 0, 0, 0, 'a', '.', 0}, 5, 5, {3, 0, 0, 0, 'a', '.', 0}, ""},
        {{1, 0, 0, 0, 0}, 0, 0, {1, 0, 0, 0, 0}, ""},
        {{0, 0, 0, 0}, 3, 3, {1, 0, 0, 0, 0}, ""},
        {{4, 0, 0, 0, 0xc3, 0xa9, 't', 0}, MiB + 1, MiB + 1, {4, 0, 0, 0, 0xc3, 0xa9, 't', 0}, ""},
        {longest, 1, 1, longest, ""},
        {{9, 0, 0, 0, 'c', 'u', 't'}, noSize, 0, {}, ""},           // cut inside the name
        {{2, 0, 0, 0, 'c', 0}, 0x40, 0, {}, ""},                   // cut after the header
        {{2, 0, 0, 0, 'c', 0}, 0x40, 3, {}, ""},                   // cut inside the data
        {{2, 0, 0, 0, 'c', 0}, MiB + 2, 0, {}, "1048578 bytes"},   // above the maximum
        {{1, 0, 1, 0}, noSize, 0, {}, "65537"},                    // name above its limit
    };
    Bytes stored; // the download's expected bytes
    for (const Row& row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows.data()));
        const std::vector<char> scene = koTest::randomBytes(row.sent, std::uint32_t(row.sent));
        Bytes size;
        for (int i = 0; row.size != noSize && i < 8; ++i)
            size.push_back(std::uint8_t(row.size >> (8 * i)));
        const int uploaded = log.count("uploaded by");
        const int failed = log.count("Upload failed: ");
        {
            Raw up(host.port(), Bytes{2, 0, 0, 0} + row.name + size);
            put(up.stream, Bytes(scene.begin(), scene.end()));
            if (!row.logged.empty()) {
                EXPECT_TRUE(waitClosed(up.link)) << "refused before the data";
                EXPECT_EQ(log.count(row.logged), 1);
            }
        }
        if (row.served.empty()) {
            ASSERT_TRUE(koTest::waitFor([&] { return log.count("Upload failed: ") > failed; }));
        } else {
            ASSERT_TRUE(koTest::waitFor([&] { return log.count("uploaded by") > uploaded; }));
            stored = row.served + size + Bytes(scene.begin(), scene.end());
        }
        Raw down(host.port(), {1, 0, 0, 0});
        EXPECT_TRUE(get(down.stream, stored.size()) == stored); // too long to print
        EXPECT_TRUE(waitClosed(down.link));
    }
    EXPECT_EQ(log.count("uploaded by"), 5);
}

TEST_F(ServerWireTest, DestroyingTheServerCutsAStalledDownload)
{
    LogCapture log;
    auto host = std::make_unique<TestServer>();
    auto alice = join(host->link(), "Alice");
    alice->uploadScene(std::vector<char>(64 * MiB, 'b'), QStringLiteral("big.kova"));
    ASSERT_TRUE(log.waitFor("uploaded by"));
    Raw down(host->port(), {1, 0, 0, 0});
    // The job is sending once the answer begins; this reader stops reading.
    ASSERT_EQ(get(down.stream, 4), Bytes({9, 0, 0, 0}));
    auto gone = std::async(std::launch::async, [&host] { host.reset(); });
    if (gone.wait_for(10s) != std::future_status::ready) {
        down.link->shutdown(); // lets the destructor finish before failing
        FAIL() << "destroying the server waited for the stalled download";
    }
    EXPECT_EQ(log.count("Download failed: "), 1);
    EXPECT_TRUE(koTest::waitFor([&] { return !alice->isConnected(); }));
}
