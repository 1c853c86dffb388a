// The frame counters at their end: a cipher refuses to seal or open a frame
// once its counter is used up, so no nonce is ever used twice, and a link whose
// cipher runs out ends with koNetError instead of wrapping. The counters are
// started near their end through the test hook; both ends of a direction must
// start at the same value.
#include "koCipherTestPair.h"
#include "koNetCipherCounters.h"

#include "koNetError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();

// Both ends' counters for the client-to-server direction start at `start`;
// the other direction starts at zero.
koTest::CipherPair pairStartingAt(std::uint64_t start)
{
    koTest::CipherPair pair = koTest::makeCipherPair();
    koNetCipherCounters::start(*pair.client, start, 0);
    koNetCipherCounters::start(*pair.server, 0, start);
    return pair;
}

bool mentionsExhaustion(const koNetError& error)
{
    return std::string(error.what()).find("counter exhausted") != std::string::npos;
}

TEST(koNetCipherCounter, SealsUpToTheLastCounterThenRefusesForGood)
{
    // start value -> frames that may still be sealed (the last counter value is never used)
    const struct { std::uint64_t start; std::uint64_t frames; } cases[] = {
        {kLast - 3, 3}, {kLast - 1, 1}, {kLast, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("counter starts at max - " + std::to_string(kLast - c.start));
        koTest::CipherPair pair = pairStartingAt(c.start);
        const std::vector<char> plain = koTest::patternBytes(100, 7);
        for (std::uint64_t i = 0; i < c.frames; ++i) {
            std::vector<char> frame;
            pair.client->seal(plain.data(), plain.size(), frame);
            std::vector<char> opened;
            ASSERT_EQ(pair.server->open(frame.data(), frame.size(), opened), frame.size());
            EXPECT_EQ(opened, plain);
        }
        // Every later attempt fails the same way and leaves nothing behind:
        // the counter neither wraps to zero nor moves on.
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::vector<char> out(5, 'x');
            try {
                pair.client->seal(plain.data(), plain.size(), out);
                ADD_FAILURE() << "sealing past the last counter succeeded";
            } catch (const koNetError& error) {
                EXPECT_TRUE(mentionsExhaustion(error)) << error.what();
            }
            EXPECT_EQ(out, std::vector<char>(5, 'x'));
        }
    }
}

TEST(koNetCipherCounter, ReceiverAtTheLastCounterRefusesEvenAGenuineFrame)
{
    koTest::CipherPair pair = koTest::makeCipherPair();
    koNetCipherCounters::start(*pair.client, kLast - 1, 0);
    koNetCipherCounters::start(*pair.server, 0, kLast);
    const std::vector<char> plain = koTest::patternBytes(64, 3);
    std::vector<char> frame;
    pair.client->seal(plain.data(), plain.size(), frame);
    std::vector<char> opened;
    try {
        pair.server->open(frame.data(), frame.size(), opened);
        ADD_FAILURE() << "a frame was opened past the last counter";
    } catch (const koNetError& error) {
        EXPECT_TRUE(mentionsExhaustion(error)) << error.what();
    }
    EXPECT_TRUE(opened.empty());
}

// On links: the writer whose cipher runs out ends its link with koNetError;
// the bytes sealed before arrive whole, nothing after them does.
TEST(koNetCipherCounter, WriterEndsTheLinkWhenItsCounterRunsOut)
{
    const std::size_t frame = 64 * 1024;
    // counter start, bytes of each write; the last write crosses the end
    const struct { std::uint64_t start; std::vector<std::size_t> writes; } cases[] = {
        {kLast - 2, {100, 200, 300}},            // one frame per write
        {kLast - 3, {2 * frame, 2 * frame}},     // the second write needs frames 3 and 4
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("counter starts at max - " + std::to_string(kLast - c.start));
        koTest::CipherPair pair = pairStartingAt(c.start);
        pair.clientLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.client)));
        pair.serverLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.server)));
        const std::size_t last = c.writes.size() - 1;
        for (std::size_t i = 0; i < last; ++i) {
            const std::vector<char> bytes = koTest::patternBytes(c.writes[i], static_cast<unsigned>(i));
            pair.clientLink->write(bytes.data(), bytes.size());
            std::vector<char> received(bytes.size());
            pair.serverLink->read(received.data(), received.size());
            EXPECT_EQ(received, bytes);
        }
        const std::vector<char> bytes = koTest::patternBytes(c.writes[last], 99);
        try {
            pair.clientLink->write(bytes.data(), bytes.size());
            ADD_FAILURE() << "a write past the last counter succeeded";
        } catch (const koNetError& error) {
            EXPECT_TRUE(mentionsExhaustion(error)) << error.what();
        }
        EXPECT_TRUE(pair.clientLink->isShutdown());
        EXPECT_THROW(pair.clientLink->write(bytes.data(), 1), koNetError);
        // The peer sees the link end without a byte of the refused write.
        char byte = 0;
        EXPECT_THROW(pair.serverLink->read(&byte, 1), koNetError);
    }
}

TEST(koNetCipherCounter, ReaderEndsTheLinkWhenItsCounterRunsOut)
{
    koTest::CipherPair pair = koTest::makeCipherPair();
    koNetCipherCounters::start(*pair.client, kLast - 1, 0);
    koNetCipherCounters::start(*pair.server, 0, kLast);
    pair.clientLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.client)));
    pair.serverLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.server)));
    const std::vector<char> bytes = koTest::patternBytes(300, 5);
    pair.clientLink->write(bytes.data(), bytes.size());
    std::vector<char> received(bytes.size());
    try {
        pair.serverLink->read(received.data(), received.size());
        ADD_FAILURE() << "a frame was read past the last counter";
    } catch (const koNetError& error) {
        EXPECT_TRUE(mentionsExhaustion(error)) << error.what();
    }
    EXPECT_TRUE(pair.serverLink->isShutdown());
    EXPECT_EQ(received, std::vector<char>(bytes.size(), 0));
}

} // namespace
