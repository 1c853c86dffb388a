// The cipher's frames on their own: what seal() writes, what open() accepts
// and, above all, what it refuses.
#include "koCipherTestPair.h"

#include "koNetError.h"
#include "koNetStream.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace {

constexpr std::size_t kOverhead = 4 + 16; // length header and tag

std::vector<char> sealed(koNetCipher& cipher, const std::vector<char>& plain)
{
    std::vector<char> out;
    cipher.seal(plain.data(), plain.size(), out);
    return out;
}

std::uint32_t headerLength(const std::vector<char>& frame, std::size_t at = 0)
{
    std::uint32_t length = 0;
    for (std::size_t i = 4; i-- > 0;)
        length = (length << 8) | static_cast<unsigned char>(frame[at + i]);
    return length;
}

std::string errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const koNetError& error) {
        return error.what();
    }
    return "";
}

class koNetCipherTest : public ::testing::Test
{
protected:
    koTest::CipherPair pair = koTest::makeCipherPair();
};

TEST_F(koNetCipherTest, RoundTripsInBothDirectionsSplittingLongRuns)
{
    const std::size_t max = pair.client->getMaxFrameSize();
    ASSERT_GT(max, 0u);
    const std::size_t sizes[] = {0, 1, 17, 4096, max - 1, max, max + 1, 3 * max + 5};
    unsigned seed = 0;
    for (std::size_t size : sizes) {
        SCOPED_TRACE("plain size " + std::to_string(size));
        for (bool fromClient : {true, false}) {
            koNetCipher& sender = fromClient ? *pair.client : *pair.server;
            koNetCipher& receiver = fromClient ? *pair.server : *pair.client;
            const std::vector<char> plain = koTest::patternBytes(size, ++seed);
            const std::vector<char> frames = sealed(sender, plain);
            const std::size_t frameCount = (size + max - 1) / max;
            ASSERT_EQ(frames.size(), size + frameCount * kOverhead);

            std::vector<char> opened;
            EXPECT_EQ(receiver.open(frames.data(), frames.size(), opened), frames.size());
            EXPECT_EQ(opened, plain);
        }
    }
}

TEST_F(koNetCipherTest, AnEndCannotOpenItsOwnFrames)
{
    const std::vector<char> frame = sealed(*pair.client, koTest::patternBytes(64, 1));
    std::vector<char> opened;
    EXPECT_THROW(pair.client->open(frame.data(), frame.size(), opened), koNetError);
    EXPECT_TRUE(opened.empty());
}

TEST_F(koNetCipherTest, EachHandshakeGivesNewKeys)
{
    koTest::CipherPair other = koTest::makeCipherPair();
    const std::vector<char> plain = koTest::patternBytes(256, 7);
    const std::vector<char> mine = sealed(*pair.client, plain);
    const std::vector<char> theirs = sealed(*other.client, plain);
    EXPECT_NE(mine, theirs);
    std::vector<char> opened;
    EXPECT_THROW(other.server->open(mine.data(), mine.size(), opened), koNetError);
}

// Every single bit of a frame matters. A flipped length bit may first make the
// frame look longer (open() then waits for more); once those bytes are there
// it must fail all the same. A refused frame leaves the receiver where it was,
// so the genuine frame still opens afterwards.
TEST_F(koNetCipherTest, EveryBitFlipOfAFrameIsRefused)
{
    const std::vector<char> plain = koTest::patternBytes(48, 3);
    const std::size_t frameSize = plain.size() + kOverhead;
    for (std::size_t bit = 0; bit < frameSize * 8; ++bit) {
        SCOPED_TRACE("bit " + std::to_string(bit));
        const std::vector<char> genuine = sealed(*pair.client, plain);
        ASSERT_EQ(genuine.size(), frameSize);
        std::vector<char> forged = genuine;
        forged[bit / 8] = static_cast<char>(forged[bit / 8] ^ (1 << (bit % 8)));

        std::vector<char> opened;
        bool refused = false;
        try {
            const std::size_t used = pair.server->open(forged.data(), forged.size(), opened);
            EXPECT_EQ(used, 0u) << "a forged frame was accepted";
            forged.resize(headerLength(forged) + kOverhead, 0);
            pair.server->open(forged.data(), forged.size(), opened);
        } catch (const koNetError&) {
            refused = true;
        }
        EXPECT_TRUE(refused);
        EXPECT_TRUE(opened.empty());

        ASSERT_EQ(pair.server->open(genuine.data(), genuine.size(), opened), genuine.size());
        ASSERT_EQ(opened, plain);
    }
}

TEST_F(koNetCipherTest, ReplayedFrameIsRefused)
{
    const std::vector<char> first = sealed(*pair.client, koTest::patternBytes(32, 1));
    const std::vector<char> second = sealed(*pair.client, koTest::patternBytes(32, 2));
    std::vector<char> opened;
    ASSERT_EQ(pair.server->open(first.data(), first.size(), opened), first.size());

    const std::string message = errorOf([&] { pair.server->open(first.data(), first.size(), opened); });
    EXPECT_NE(message.find("failed authentication"), std::string::npos) << message;
    EXPECT_EQ(opened, koTest::patternBytes(32, 1));

    opened.clear();
    EXPECT_EQ(pair.server->open(second.data(), second.size(), opened), second.size());
    EXPECT_EQ(opened, koTest::patternBytes(32, 2));
}

TEST_F(koNetCipherTest, ReorderedOrDroppedFrameIsRefused)
{
    std::vector<std::vector<char>> frames;
    for (unsigned i = 0; i < 3; ++i)
        frames.push_back(sealed(*pair.client, koTest::patternBytes(40, i)));
    std::vector<char> opened;
    EXPECT_THROW(pair.server->open(frames[1].data(), frames[1].size(), opened), koNetError);
    EXPECT_THROW(pair.server->open(frames[2].data(), frames[2].size(), opened), koNetError);
    EXPECT_TRUE(opened.empty());
    for (unsigned i = 0; i < 3; ++i) {
        opened.clear();
        ASSERT_EQ(pair.server->open(frames[i].data(), frames[i].size(), opened), frames[i].size());
        EXPECT_EQ(opened, koTest::patternBytes(40, i));
    }
}

// The bound is checked on the four header bytes alone: nothing waits for, or
// makes room for, the announced bytes.
TEST_F(koNetCipherTest, OversizedLengthIsRefusedFromTheHeaderAlone)
{
    const std::uint64_t max = pair.server->getMaxFrameSize();
    for (std::uint64_t length : {max + 1, std::uint64_t(0x7fffffff), std::uint64_t(0xffffffff)}) {
        SCOPED_TRACE("announced length " + std::to_string(length));
        const std::array<char, 4> header = {static_cast<char>(length), static_cast<char>(length >> 8),
                                            static_cast<char>(length >> 16), static_cast<char>(length >> 24)};
        std::vector<char> opened;
        const std::string message = errorOf([&] { pair.server->open(header.data(), header.size(), opened); });
        EXPECT_NE(message.find(std::to_string(length)), std::string::npos) << message;
        EXPECT_NE(message.find("limit of " + std::to_string(max)), std::string::npos) << message;
        EXPECT_EQ(opened.capacity(), 0u);
    }
}

TEST_F(koNetCipherTest, EveryTruncatedPrefixAsksForMore)
{
    const std::vector<char> first = sealed(*pair.client, koTest::patternBytes(100, 1));
    const std::vector<char> second = sealed(*pair.client, koTest::patternBytes(5, 2));
    std::vector<char> stream = first;
    stream.insert(stream.end(), second.begin(), second.end());

    std::vector<char> opened;
    for (std::size_t prefix = 0; prefix < first.size(); ++prefix)
        ASSERT_EQ(pair.server->open(stream.data(), prefix, opened), 0u) << "prefix " << prefix;
    EXPECT_TRUE(opened.empty());
    // A whole frame followed by part of the next opens the whole one only.
    ASSERT_EQ(pair.server->open(stream.data(), stream.size() - 1, opened), first.size());
    EXPECT_EQ(opened, koTest::patternBytes(100, 1));
    const char* rest = stream.data() + first.size();
    for (std::size_t prefix = 0; prefix < second.size(); ++prefix)
        ASSERT_EQ(pair.server->open(rest, prefix, opened), 0u) << "prefix " << prefix;
    ASSERT_EQ(pair.server->open(rest, second.size(), opened), second.size());
    EXPECT_EQ(opened.size(), 105u);
}

// X25519 public keys of small order: each gives an all-zero shared secret,
// which a man in the middle knows without any private key.
TEST(koNetCipherHandshake, LowOrderPeerKeyIsRefused)
{
    const std::vector<std::string> keys = {
        "0000000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
        "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    };
    for (const std::string& hex : keys) {
        SCOPED_TRACE(hex);
        std::array<unsigned char, 32> key{};
        for (std::size_t i = 0; i < key.size(); ++i)
            key[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        for (bool realIsClient : {true, false}) {
            auto links = koSocketLink::createPair();
            links.first->setRecvTimeout(10.0);
            links.second->setRecvTimeout(10.0);
            koNetStream realStream(links.first);
            koNetStream fakeStream(links.second);
            std::unique_ptr<koNetCipher> cipher;
            const std::string message = errorOf([&] {
                koTest::runBothEnds([&] { cipher.reset(new koNetCipher(realIsClient, realStream)); },
                                    [&] {
                                        std::array<unsigned char, 32> theirs{};
                                        fakeStream.putBytes(key.data(), key.size());
                                        fakeStream.flush();
                                        fakeStream.getBytes(theirs.data(), theirs.size());
                                    });
            });
            EXPECT_NE(message.find("all-zero"), std::string::npos) << message;
            EXPECT_FALSE(cipher);
        }
    }
}

TEST(koNetCipherHandshake, PeerThatLeavesMidwayFailsTheHandshake)
{
    auto links = koSocketLink::createPair();
    links.first->setRecvTimeout(10.0);
    koNetStream stream(links.first);
    {
        // The peer sends half a key and goes away.
        koNetStream fake(links.second);
        const std::array<char, 16> half{};
        fake.putBytes(half.data(), half.size());
        fake.flush();
    }
    links.second.reset(); // the last share: the connection closes
    EXPECT_THROW(koNetCipher(true, stream), koNetError);
}

} // namespace
