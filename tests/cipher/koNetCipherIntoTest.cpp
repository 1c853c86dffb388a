// Sealing into and opening straight into caller memory: the frames are the
// same bytes as seal() and open() give, a frame only opens where it fits
// whole, and a frame that fails leaves nothing readable behind.
#include "koCipherTestPair.h"

#include "koNetError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kOverhead = 4 + 16; // length header and tag

class koNetCipherIntoTest : public ::testing::Test
{
protected:
    koTest::CipherPair pair = koTest::makeCipherPair();
    const std::size_t max = pair.client->getMaxFrameSize();
};

TEST_F(koNetCipherIntoTest, SealIntoWritesTheFramesThatSealAppends)
{
    // A second pair of ciphers with the same keys is not available, so the
    // frames of sealInto are checked by opening them in order with open().
    const std::size_t sizes[] = {1, max, max + 1, 3 * max + 5};
    unsigned seed = 0;
    for (std::size_t size : sizes) {
        SCOPED_TRACE("plain size " + std::to_string(size));
        const std::vector<char> plain = koTest::patternBytes(size, ++seed);
        const std::size_t frames = (size + max - 1) / max;
        std::vector<char> room(size + frames * koNetCipherBase::FrameSlack, '\x55');
        const std::size_t written = pair.client->sealInto(plain.data(), size, room.data(), room.size());
        EXPECT_EQ(written, size + frames * kOverhead);
        // Nothing beyond what it reports is touched.
        for (std::size_t i = written; i < room.size(); ++i)
            ASSERT_EQ(room[i], '\x55') << "byte " << i;
        std::vector<char> opened;
        EXPECT_EQ(pair.server->open(room.data(), written, opened), written);
        EXPECT_EQ(opened, plain);
    }
}

TEST_F(koNetCipherIntoTest, SealIntoRefusesTooLittleRoomWithoutUsingACounter)
{
    const std::vector<char> plain = koTest::patternBytes(1000, 1);
    std::vector<char> room(plain.size() + kOverhead - 1);
    EXPECT_THROW(pair.client->sealInto(plain.data(), plain.size(), room.data(), room.size()), koNetError);
    // The next frame still carries the counter the receiver expects.
    std::vector<char> frame;
    pair.client->seal(plain.data(), plain.size(), frame);
    std::vector<char> opened;
    EXPECT_EQ(pair.server->open(frame.data(), frame.size(), opened), frame.size());
    EXPECT_EQ(opened, plain);
}

TEST_F(koNetCipherIntoTest, OpenIntoTakesWholeFramesThatFit)
{
    // Three frames of `max`, `max` and 10 bytes; room -> raw bytes used and
    // plain bytes opened in one call.
    const std::vector<char> plain = koTest::patternBytes(2 * max + 10, 4);
    std::vector<char> wire;
    pair.client->seal(plain.data(), plain.size(), wire);
    const std::size_t frameBytes = max + kOverhead;
    const struct { std::size_t rawOffered; std::size_t room; std::size_t used; std::size_t opened; } cases[] = {
        {3, 3 * max, 0, 0},                           // header not whole
        {frameBytes - 1, 3 * max, 0, 0},              // frame not whole
        {frameBytes + 5, 3 * max, frameBytes, max},   // one whole frame and a piece
        {2 * frameBytes, max + 9, frameBytes, max},   // the second does not fit
        {wire.size(), 2 * max + 10, wire.size(), 2 * max + 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("offered " + std::to_string(c.rawOffered) + ", room " + std::to_string(c.room));
        koTest::CipherPair fresh = koTest::makeCipherPair();
        std::vector<char> frames;
        fresh.client->seal(plain.data(), plain.size(), frames);
        std::vector<char> out(c.room, '\x55');
        std::size_t opened = 123;
        EXPECT_EQ(fresh.server->openInto(frames.data(), c.rawOffered, out.data(), out.size(), opened), c.used);
        EXPECT_EQ(opened, c.opened);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(opened), plain.begin()));
        for (std::size_t i = opened; i < out.size(); ++i)
            ASSERT_EQ(out[i], '\x55') << "byte " << i;
    }
}

TEST_F(koNetCipherIntoTest, OpenIntoGivesTheGoodFramesBeforeABadOneAndErasesIt)
{
    const std::vector<char> first = koTest::patternBytes(500, 1);
    const std::vector<char> second = koTest::patternBytes(700, 2);
    std::vector<char> wire;
    pair.client->seal(first.data(), first.size(), wire);
    const std::size_t firstBytes = wire.size();
    pair.client->seal(second.data(), second.size(), wire);
    wire.back() ^= 1; // the second frame's tag

    std::vector<char> out(2 * max, '\x55');
    std::size_t opened = 0;
    EXPECT_EQ(pair.server->openInto(wire.data(), wire.size(), out.data(), out.size(), opened), firstBytes);
    ASSERT_EQ(opened, first.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));

    std::vector<char> rest(max, '\x55');
    EXPECT_THROW(pair.server->openInto(wire.data() + firstBytes, wire.size() - firstBytes, rest.data(), rest.size(),
                                       opened),
                 koNetError);
    EXPECT_EQ(opened, 0u);
    // The forged frame's plain text does not stay readable: no more bytes
    // match it than chance gives (about one in 256).
    std::size_t matching = 0;
    for (std::size_t i = 0; i < second.size(); ++i)
        matching += rest[i] == second[i] ? 1 : 0;
    EXPECT_LT(matching, second.size() / 32);
}

TEST_F(koNetCipherIntoTest, OpenIntoChecksTheAnnouncedLengthFirst)
{
    std::vector<char> header = {'\xff', '\xff', '\xff', '\x7f'};
    std::vector<char> out(max);
    std::size_t opened = 0;
    EXPECT_THROW(pair.server->openInto(header.data(), header.size(), out.data(), out.size(), opened), koNetError);
}

} // namespace
