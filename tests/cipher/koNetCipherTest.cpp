// The link cipher: what passes, and above all what it refuses.
#include "koCipherTestPair.h"
#include "koNetCipherCounters.h"

#include "koNetError.h"
#include "koNetStream.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>

namespace {

using Bytes = std::vector<char>;
constexpr std::size_t kOverhead = 4 + 16; // length header and AEAD tag
constexpr std::size_t kPlain = 48;        // plain bytes of each attack frame

Bytes sealed(koNetCipher& cipher, const Bytes& plain)
{
    Bytes out;
    cipher.seal(plain.data(), plain.size(), out);
    return out;
}

Bytes hexBytes(const std::string& hex)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The text of the koNetError that `action` throws; empty when it throws none.
std::string errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const koNetError& e) {
        return e.what();
    }
    return "";
}

TEST(koNetCipher, KeysBelongToOneHandshakeAndOneDirection)
{
    koTest::CipherPair pair = koTest::makeCipherPair();
    koTest::CipherPair other = koTest::makeCipherPair();
    const Bytes plain = koTest::patternBytes(256, 7);
    const Bytes mine = sealed(*pair.client, plain);
    EXPECT_NE(mine, sealed(*other.client, plain));
    Bytes opened;
    EXPECT_THROW(other.server->open(mine.data(), mine.size(), opened), koNetError);
    EXPECT_THROW(pair.client->open(mine.data(), mine.size(), opened), koNetError);
    EXPECT_TRUE(opened.empty());
}

// What a peer sends in place of honest traffic. A row either answers the key
// exchange with `key` (and goes away), or completes it honestly and then
// writes `frames(f)`, built from three genuine frames f[0..2] of kPlain bytes,
// and goes away. The end under attack reads `genuine` frames' plain text and
// then must fail with koNetError, saying `says`, with its link shut down.
struct Attack
{
    std::string name;
    Bytes key;
    std::function<Bytes(const std::vector<Bytes>& f)> frames;
    std::size_t genuine;
    std::string says;
};

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<Attack> attacks()
{
    const std::string failed = "failed authentication";
    std::vector<Attack> table = {
        {"replay", {}, [](auto& f) { return join({f[0], f[0]}); }, 1, failed},
        {"reorder", {}, [](auto& f) { return join({f[1], f[0]}); }, 0, failed},
        {"drop", {}, [](auto& f) { return join({f[0], f[2]}); }, 1, failed},
        {"truncate", {}, [](auto& f) { return Bytes(f[0].begin(), f[0].end() - 1); }, 0, "closed"},
        {"over-long", {}, [](auto&) { return hexBytes("01000100"); }, 0, "above the limit of 65536"},
        {"huge length", {}, [](auto&) { return hexBytes("ffffffff"); }, 0, "4294967295 bytes"},
        {"plain text", {}, [](auto&) { return hexBytes("474554202f20485454502f312e310d0a0d0a"); }, 0, ""},
        {"half a key", Bytes(16, 9), nullptr, 0, ""},
    };
    // Public keys of small order: each gives an all-zero shared secret, which
    // a man in the middle knows without any private key.
    for (const char* key : {"0000000000000000000000000000000000000000000000000000000000000000",
                            "0100000000000000000000000000000000000000000000000000000000000000",
                            "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
                            "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
                            "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                            "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                            "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"})
        table.push_back({std::string("low-order key ") + key, hexBytes(key), nullptr, 0, "all-zero"});
    // Every bit of a frame matters. A flipped length bit may make the frame
    // look longer, so the reader waits until the peer goes away.
    for (std::size_t bit = 0; bit < (kPlain + kOverhead) * 8; ++bit) {
        auto flip = [bit](auto& f) {
            Bytes forged = join({f[0], f[1], f[2]});
            forged[bit / 8] = static_cast<char>(forged[bit / 8] ^ (1 << (bit % 8)));
            return forged;
        };
        table.push_back({"bit " + std::to_string(bit), {}, flip, 0, bit < 32 ? "" : failed});
    }
    return table;
}

void attack(const Attack& row, bool victimIsClient)
{
    std::shared_ptr<koSocketLink> victimLink, peerLink;
    std::tie(victimLink, peerLink) = koSocketLink::createPair();
    victimLink->setRecvTimeout(10.0);
    peerLink->setRecvTimeout(10.0);
    std::shared_ptr<koNetCipher> victim, peer;
    std::string error;
    koTest::runConcurrently({
        [&] {
            koNetStream stream(victimLink);
            try {
                victim = std::make_shared<koNetCipher>(victimIsClient, stream);
            } catch (const koNetError& e) {
                error = e.what();
            }
        },
        [&] {
            koNetStream stream(peerLink);
            if (row.key.empty()) {
                peer = std::make_shared<koNetCipher>(!victimIsClient, stream);
                return;
            }
            stream.putBytes(row.key.data(), row.key.size());
            stream.flush();
            std::array<char, 32> theirs;
            if (row.key.size() == theirs.size()) // a whole key: take the other one, as a peer would
                stream.getBytes(theirs.data(), theirs.size());
            peerLink.reset(); // with the stream's share, the last: the connection closes
        }});
    if (victim) {
        victimLink->setCipher(victim);
        std::vector<Bytes> genuine;
        for (unsigned i = 0; i < 3; ++i)
            genuine.push_back(sealed(*peer, koTest::patternBytes(kPlain, i)));
        const Bytes wire = row.frames(genuine);
        peerLink->write(wire.data(), wire.size());
        peerLink.reset(); // the last share: the connection closes
        Bytes got(kPlain);
        for (unsigned i = 0; i < row.genuine; ++i) {
            victimLink->read(got.data(), got.size());
            EXPECT_EQ(got, koTest::patternBytes(kPlain, i));
        }
        // A read this long opens frames straight into the caller's memory.
        Bytes room(victim->getMaxFrameSize(), 0);
        try {
            victimLink->read(room.data(), room.size());
        } catch (const koNetError& e) {
            error = e.what();
        }
        // A refusal ends the link; a peer that went away has ended it already.
        EXPECT_TRUE(victimLink->isShutdown() || error.find("Connection closed") == 0) << error;
        // Plain text of a refused frame is not left behind for the caller.
        const Bytes refused = koTest::patternBytes(kPlain, static_cast<unsigned>(row.genuine));
        EXPECT_FALSE(std::equal(refused.begin(), refused.begin() + 8, room.begin()));
    }
    EXPECT_FALSE(error.empty()) << "the attack went through";
    EXPECT_NE(error.find(row.says), std::string::npos) << error;
}

TEST(koNetCipher, EveryTamperingEndsTheLink)
{
    for (const Attack& row : attacks()) {
        for (bool victimIsClient : {false, true}) {
            SCOPED_TRACE(row.name + (victimIsClient ? ", against the client" : ", against the server"));
            attack(row, victimIsClient);
        }
    }
}

// A counter never wraps, so no nonce is ever used twice. The hook starts
// both ends' client-to-server counters near their end.
TEST(koNetCipher, CounterAtItsEndRefusesForGood)
{
    constexpr std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
    // start value -> frames that may still be sealed (the last value is never used)
    const struct { std::uint64_t start; std::uint64_t frames; } cases[] = {{last - 3, 3}, {last - 1, 1}, {last, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("counter starts at max - " + std::to_string(last - c.start));
        koTest::CipherPair pair = koTest::makeCipherPair();
        koNetCipherCounters::start(*pair.client, c.start, 0);
        koNetCipherCounters::start(*pair.server, 0, c.start);
        pair.clientLink->setCipher(pair.client);
        pair.serverLink->setCipher(pair.server);
        const Bytes plain = koTest::patternBytes(100, 7);
        Bytes got(plain.size());
        for (std::uint64_t i = 0; i < c.frames; ++i) {
            pair.clientLink->write(plain.data(), plain.size());
            pair.serverLink->read(got.data(), got.size());
            EXPECT_EQ(got, plain);
        }
        const std::string error = errorOf([&] { pair.clientLink->write(plain.data(), plain.size()); });
        EXPECT_NE(error.find("counter exhausted"), std::string::npos) << error;
        EXPECT_TRUE(pair.clientLink->isShutdown());
    }
}

} // namespace
