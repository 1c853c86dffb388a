// Streams over real links (socket pair, TCP over loopback, local pipe), with
// no cipher, the framing test cipher and the real cipher.
#include "koNetTestTools.h"

#include "koConnectionClosed.h"
#include "koNetCipher.h"
#include "koNetError.h"
#include "koNetLinkReceiver.h"
#include "koNetLinkSender.h"
#include "koNetStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace koNetTest;

namespace {

enum class Cipher { None, Frames, Real };

std::string cipherName(Cipher cipher)
{
    switch (cipher) {
    case Cipher::None:
        return "Plain";
    case Cipher::Frames:
        return "TestFrames";
    case Cipher::Real:
        return "RealCipher";
    }
    return "Unknown";
}

// Small test frames so that a few kilobytes already span many frames and
// every read crosses frame borders.
constexpr std::size_t kTestFrame = 1000;

void installCiphers(const LinkPair& links, Cipher cipher)
{
    if (cipher == Cipher::Frames) {
        links.first->setCipher(std::make_shared<FrameCipher>(kTestFrame));
        links.second->setCipher(std::make_shared<FrameCipher>(kTestFrame));
    } else if (cipher == Cipher::Real) {
        auto handshake = [](const std::shared_ptr<koSocketLink>& link, bool client) {
            koNetStream stream(link);
            link->setCipher(std::make_shared<koNetCipher>(client, stream));
        };
        runConcurrently({[&] { handshake(links.first, true); }, [&] { handshake(links.second, false); }});
    }
}

// Writes `data` in pieces of irregular sizes, some above the stream's own
// buffer bound, flushing now and then.
void putInPieces(koNetStream& stream, const std::vector<char>& data)
{
    static const std::size_t pieces[] = {1, 3, 999, 1000, 1001, 70000, 8, 300000, 65536};
    std::size_t at = 0;
    for (std::size_t i = 0; at < data.size(); ++i) {
        const std::size_t n = std::min(pieces[i % 9], data.size() - at);
        stream.putBytes(data.data() + at, n);
        if (i % 4 == 3)
            stream.flush();
        at += n;
    }
    stream.flush();
}

std::vector<char> getInPieces(koNetStream& stream, std::size_t size)
{
    std::vector<char> data(size);
    std::size_t at = 0;
    for (std::size_t n = 1; at < size; n = n * 7 + 3) {
        const std::size_t take = std::min(n % 150001 + 1, size - at);
        stream.getBytes(data.data() + at, take);
        at += take;
    }
    return data;
}

class koNetStreamOverLink : public ::testing::TestWithParam<std::tuple<Transport, Cipher>>
{
protected:
    void SetUp() override
    {
        links = connectedPair(std::get<0>(GetParam()));
        // No wait of these tests may hang: a missing byte fails the test.
        links.first->setRecvTimeout(20.0);
        links.second->setRecvTimeout(20.0);
        installCiphers(links, std::get<1>(GetParam()));
    }

    LinkPair links;
};

} // namespace

TEST_P(koNetStreamOverLink, SeveralStreamsOneAfterAnotherShareTheLink)
{
    const std::vector<char> scene = pattern(300 * 1024 + 17, 3);
    auto writer = [&] {
        {
            koNetStream first(links.first);
            first.putValue<std::uint32_t>(0xa1b2c3d4u);
            first.putValue(true);
            first.flush();
        }
        {
            koNetStream second(links.first);
            second.putValueSize(scene.size());
            second.putBytes(scene.data(), scene.size());
            second.putValue<std::int16_t>(-3);
            second.flush();
        }
        koNetStream third(links.first);
        third.sendSuccess();
    };
    auto reader = [&] {
        {
            koNetStream first(links.second);
            EXPECT_EQ(first.getValue<std::uint32_t>(), 0xa1b2c3d4u);
            EXPECT_TRUE(first.getValue<bool>());
        }
        {
            koNetStream second(links.second);
            ASSERT_EQ(second.getValueSize(), scene.size());
            EXPECT_TRUE(getInPieces(second, scene.size()) == scene);
            EXPECT_EQ(second.getValue<std::int16_t>(), -3);
        }
        koNetStream third(links.second);
        third.recvResult();
    };
    runConcurrently({writer, reader});
}

TEST_P(koNetStreamOverLink, OneThreadSendsWhileAnotherReceivesBothWays)
{
    const std::vector<char> up = pattern(6 * 1024 * 1024 + 5, 1);
    const std::vector<char> down = pattern(5 * 1024 * 1024 + 11, 2);
    // Each end: one stream with a sender used by one thread, one with a
    // receiver used by another, over the same link.
    koNetStream firstOut, firstIn, secondOut, secondIn;
    firstOut.setSender(koNetLinkSender::create(links.first));
    firstIn.setReceiver(koNetLinkReceiver::create(links.first));
    secondOut.setSender(koNetLinkSender::create(links.second));
    secondIn.setReceiver(koNetLinkReceiver::create(links.second));
    std::vector<char> gotUp, gotDown;
    runConcurrently({[&] { putInPieces(firstOut, up); },
                     [&] { putInPieces(secondOut, down); },
                     [&] { gotUp = getInPieces(secondIn, up.size()); },
                     [&] { gotDown = getInPieces(firstIn, down.size()); }});
    EXPECT_TRUE(gotUp == up);
    EXPECT_TRUE(gotDown == down);
}

TEST_P(koNetStreamOverLink, ShutdownWakesABlockedReaderAndEveryLaterCallFails)
{
    koNetStream stream(links.second);
    auto blocked = std::async(std::launch::async, [&] {
        return outcomeOf([&] { stream.getValue<std::uint64_t>(); });
    });
    // Give the reader time to block; the result is the same if it has not yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stream.shutdown();
    ASSERT_EQ(blocked.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const Outcome woken = blocked.get();
    EXPECT_TRUE(woken.threw);
    EXPECT_FALSE(woken.closed) << "a shut-down link is not a peer that closed: " << woken.message;
    EXPECT_NE(woken.message.find("shut down"), std::string::npos) << woken.message;

    EXPECT_TRUE(links.second->isShutdown());
    const Outcome later = outcomeOf([&] { stream.getValue<std::uint8_t>(); });
    EXPECT_TRUE(later.threw && !later.closed) << later.message;
    const Outcome write = outcomeOf([&] {
        stream.putValue<std::uint8_t>(1);
        stream.flush();
    });
    EXPECT_TRUE(write.threw) << "writing after shutdown must fail";
}

TEST_P(koNetStreamOverLink, PeerClosingMidValueGivesConnectionClosed)
{
    {
        koNetStream stream(links.first);
        stream.putValue<std::uint16_t>(0x0102);
        stream.flush();
    }
    links.first.reset(); // last share: closes the connection

    koNetStream stream(links.second);
    const Outcome outcome = outcomeOf([&] { stream.getValue<std::uint64_t>(); });
    EXPECT_TRUE(outcome.closed) << outcome.message;
    EXPECT_NE(outcome.message.find(links.second->getPeerName()), std::string::npos) << outcome.message;
}

TEST_P(koNetStreamOverLink, ReceiveTimeLimitNamesPeerAndLimit)
{
    links.second->setRecvTimeout(0.2);
    koNetStream stream(links.second);
    const Outcome outcome = outcomeOf([&] { stream.getValue<std::uint32_t>(); });
    EXPECT_TRUE(outcome.threw && !outcome.closed) << outcome.message;
    EXPECT_NE(outcome.message.find(links.second->getPeerName()), std::string::npos) << outcome.message;
    EXPECT_NE(outcome.message.find("0.2 s"), std::string::npos) << outcome.message;
    EXPECT_LT(outcome.seconds, 5.0);

    // Nothing was consumed: a value that arrives later is read whole.
    links.second->setRecvTimeout(5.0);
    koNetStream writer(links.first);
    writer.putValue<std::uint32_t>(77);
    writer.flush();
    EXPECT_EQ(stream.getValue<std::uint32_t>(), 77u);
}

TEST_P(koNetStreamOverLink, RecvResultNamesWhatArrivedInstead)
{
    koNetStream writer(links.first);
    writer.sendSuccess();
    writer.putValue<std::uint32_t>(0xdeadbeefu);
    writer.flush();
    koNetStream reader(links.second);
    EXPECT_NO_THROW(reader.recvResult());
    try {
        reader.recvResult();
        ADD_FAILURE() << "a wrong marker was accepted";
    } catch (const koNetError& e) {
        EXPECT_NE(std::string(e.what()).find("ef be ad de"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(links.second->getPeerName()), std::string::npos) << e.what();
    }
}

TEST_P(koNetStreamOverLink, LargeWritesGoOutBeforeFlush)
{
    // 1 MiB in small puts, never flushed: the reader must still get most of it,
    // since no stream buffers a whole transfer.
    std::atomic<bool> readerDone{false};
    const std::vector<char> data = pattern(1024 * 1024, 9);
    const std::size_t mustArrive = 700 * 1024;
    auto writer = [&] {
        koNetStream stream(links.first);
        for (std::size_t at = 0; at < data.size(); at += 1024)
            stream.putBytes(data.data() + at, 1024);
        // Keep the stream (and its unflushed tail) alive until the reader is done.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!readerDone && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    auto reader = [&] {
        links.second->setRecvTimeout(5.0);
        koNetStream stream(links.second);
        std::vector<char> got(mustArrive);
        const Outcome outcome = outcomeOf([&] { stream.getBytes(got.data(), got.size()); });
        readerDone = true;
        EXPECT_FALSE(outcome.threw) << outcome.message;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    };
    runConcurrently({writer, reader});
}

TEST_P(koNetStreamOverLink, UnflushedBytesAreDroppedWithTheirStream)
{
    {
        koNetStream dropped(links.first);
        dropped.putValue<std::uint32_t>(1);
    }
    koNetStream kept(links.first);
    kept.putValue<std::uint32_t>(2);
    kept.flush();
    koNetStream reader(links.second);
    EXPECT_EQ(reader.getValue<std::uint32_t>(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Transports, koNetStreamOverLink,
    ::testing::Combine(::testing::Values(Transport::Pair, Transport::Tcp, Transport::Pipe),
                       ::testing::Values(Cipher::None, Cipher::Frames, Cipher::Real)),
    [](const ::testing::TestParamInfo<koNetStreamOverLink::ParamType>& info) {
        return transportName(std::get<0>(info.param)) + cipherName(std::get<1>(info.param));
    });

TEST(koNetStream, WithoutALinkReadsAndWritesFailButShutdownDoesNothing)
{
    koNetStream stream;
    EXPECT_NO_THROW(stream.shutdown());
    EXPECT_THROW(stream.getValue<std::uint8_t>(), koNetError);
    stream.putValue<std::uint8_t>(1);
    EXPECT_THROW(stream.flush(), koNetError);
}

TEST(koNetLink, BytesThatArriveAfterTheRawLineAreCipherText)
{
    // The tunnel exchange: a raw request line, then at once cipher frames. The
    // receiver's first read takes more than the line from the socket; what it
    // took beyond the line must go through the cipher.
    const std::string line = "CONNECT test HTTP/1.1\r\n\r\n";
    LinkPair links = connectedPair(Transport::Tcp);
    links.second->setRecvTimeout(10.0);
    links.first->send(line.data(), line.size());
    links.first->setCipher(std::make_shared<FrameCipher>(kTestFrame));
    koNetStream writer(links.first);
    writer.putValue<std::uint64_t>(0x1122334455667788ull);
    writer.putBytes(pattern(5000, 4).data(), 5000);
    writer.flush();
    // Both pieces are on the receiving socket before anything is read.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::string got(line.size(), '\0');
    links.second->recv(&got[0], got.size());
    EXPECT_EQ(got, line);
    links.second->setCipher(std::make_shared<FrameCipher>(kTestFrame));
    koNetStream reader(links.second);
    EXPECT_EQ(reader.getValue<std::uint64_t>(), 0x1122334455667788ull);
    std::vector<char> rest(5000);
    reader.getBytes(rest.data(), rest.size());
    EXPECT_TRUE(rest == pattern(5000, 4));
}

TEST(koNetLink, RawLineThenRealHandshakeThenStreams)
{
    const std::string line = "CONNECT session HTTP/1.1\r\n\r\n";
    LinkPair links = connectedPair(Transport::Tcp);
    links.first->setRecvTimeout(10.0);
    links.second->setRecvTimeout(10.0);
    auto client = [&] {
        links.first->send(line.data(), line.size());
        koNetStream stream(links.first);
        links.first->setCipher(std::make_shared<koNetCipher>(true, stream));
        stream.putValue<std::uint32_t>(0); // a request type right behind the key
        stream.flush();
        stream.recvResult();
    };
    auto server = [&] {
        std::string got(line.size(), '\0');
        links.second->recv(&got[0], got.size());
        EXPECT_EQ(got, line);
        koNetStream stream(links.second);
        links.second->setCipher(std::make_shared<koNetCipher>(false, stream));
        EXPECT_EQ(stream.getValue<std::uint32_t>(), 0u);
        stream.sendSuccess();
    };
    runConcurrently({client, server});
}

TEST(koNetLink, FrameThatFailsEndsTheLink)
{
    LinkPair links = connectedPair(Transport::Pair);
    links.second->setRecvTimeout(5.0);
    links.first->setCipher(std::make_shared<FrameCipher>(kTestFrame, 0x11));
    links.second->setCipher(std::make_shared<FrameCipher>(kTestFrame, 0x22)); // wrong key
    koNetStream writer(links.first);
    writer.putValue<std::uint32_t>(5);
    writer.flush();
    koNetStream reader(links.second);
    const Outcome outcome = outcomeOf([&] { reader.getValue<std::uint32_t>(); });
    EXPECT_TRUE(outcome.threw && !outcome.closed) << outcome.message;
    EXPECT_NE(outcome.message.find("checksum"), std::string::npos) << outcome.message;
    EXPECT_TRUE(links.second->isShutdown());
}

TEST(koNetLink, WritingToAVanishedPeerFailsWithoutKillingTheProcess)
{
    for (Transport transport : {Transport::Pair, Transport::Tcp, Transport::Pipe}) {
        LinkPair links = connectedPair(transport);
        links.second.reset();
        const std::vector<char> chunk(64 * 1024, 'x');
        // The first writes may still land in the socket buffer; a later one
        // meets the closed peer (SIGPIPE would end the process here).
        const Outcome outcome = outcomeOf([&] {
            for (int i = 0; i < 1000; ++i)
                links.first->write(chunk.data(), chunk.size());
        });
        EXPECT_TRUE(outcome.threw) << transportName(transport);
        EXPECT_NE(outcome.message.find(links.first->getPeerName()), std::string::npos) << outcome.message;
    }
}
