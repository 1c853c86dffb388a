// The link cipher, above all what it refuses, and the keyed coder of session
// links.
#include "koCipherTestPair.h"
#include "koNetCipherCounters.h"

#include "koCrypt.h"
#include "koNetError.h"

#include <QByteArray>

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

Bytes hexBytes(const char* hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    return Bytes(bytes.begin(), bytes.end());
}

// What a peer sends in place of honest traffic. A row either answers the key
// exchange with `key` (and goes away), or completes it honestly and then
// writes `frames(f)`, built from three genuine frames f[0..2] of kPlain bytes
// and one f[3] that the end under attack sealed itself, and goes away. The
// end under attack reads `genuine` frames' plain text and then must fail with
// koNetError, saying `says`, its link ended.
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
        {"reflected", {}, [](auto& f) { return f[3]; }, 0, failed},
        {"truncate", {}, [](auto& f) { return Bytes(f[0].begin(), f[0].end() - 1); }, 0, "closed"},
        {"over-long", {}, [](auto&) { return hexBytes("01000100"); }, 0, "above the limit of 65536"},
        {"huge length", {}, [](auto&) { return hexBytes("ffffffff"); }, 0, "4294967295 bytes"},
        {"half a key", Bytes(16, 9), nullptr, 0, ""},
    };
    // Public keys of small order: each gives an all-zero shared secret, which
    // a man in the middle knows without any private key.
    for (const char* key : {"0000000000000000000000000000000000000000000000000000000000000000",
                            "0100000000000000000000000000000000000000000000000000000000000000",
                            "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
                            "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"})
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
    auto peerSide = std::async(std::launch::async, [&] {
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
    });
    try {
        koNetStream stream(victimLink);
        victim = std::make_shared<koNetCipher>(victimIsClient, stream);
    } catch (const koNetError& e) {
        error = e.what();
    }
    peerSide.get();
    if (victim) {
        victimLink->setCipher(victim);
        std::vector<Bytes> genuine;
        for (unsigned i = 0; i < 3; ++i)
            genuine.push_back(sealed(*peer, koTest::patternBytes(kPlain, i)));
        genuine.push_back(sealed(*victim, koTest::patternBytes(kPlain, 0)));
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

// A reader may take what has come in as one batch: the link tells what a read
// takes without waiting, opened bytes with a cipher, received ones without.
TEST(koNetLink, TellsWhatItCanGiveWithoutWaiting)
{
    for (const bool ciphered : {false, true}) {
        koTest::CipherPair pair = koTest::makeCipherPair();
        if (ciphered) {
            pair.clientLink->setCipher(pair.client);
            pair.serverLink->setCipher(pair.server);
        }
        const Bytes sent = koTest::patternBytes(300, 1);
        pair.clientLink->write(sent.data(), sent.size());
        Bytes got(100);
        for (const std::size_t left : {200u, 100u, 0u}) {
            pair.serverLink->read(got.data(), got.size());
            EXPECT_EQ(pair.serverLink->getReadableSize(), left) << "ciphered " << ciphered;
        }
        EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin() + 200));
    }
}

TEST(koNetCipher, EveryTamperingEndsTheLink)
{
    for (const Attack& row : attacks()) {
        for (bool victimIsClient : {false, true}) {
            if (victimIsClient && row.name.compare(0, 4, "bit ") == 0)
                continue; // the many bit flips go against the server only
            SCOPED_TRACE(row.name + (victimIsClient ? ", against the client" : ", against the server"));
            attack(row, victimIsClient);
        }
    }
}

// A counter never wraps, so no nonce is ever used twice: the hook starts the
// client-to-server counters of both ends near their end.
TEST(koNetCipher, CounterAtItsEndRefusesForGood)
{
    constexpr std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
    for (std::uint64_t left : {2, 0}) { // frames that may still be sealed: the last value is never used
        koTest::CipherPair pair = koTest::makeCipherPair();
        koNetCipherCounters::start(*pair.client, last - left, 0);
        koNetCipherCounters::start(*pair.server, 0, last - left);
        pair.clientLink->setCipher(pair.client);
        pair.serverLink->setCipher(pair.server);
        const Bytes plain = koTest::patternBytes(100, 7);
        Bytes got(plain.size());
        for (std::uint64_t i = 0; i < left; ++i) {
            pair.clientLink->write(plain.data(), plain.size());
            pair.serverLink->read(got.data(), got.size());
            EXPECT_EQ(got, plain);
        }
        try {
            pair.clientLink->write(plain.data(), plain.size());
            ADD_FAILURE() << "a frame was sealed past the last counter";
        } catch (const koNetError& e) {
            EXPECT_NE(std::string(e.what()).find("counter exhausted"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(pair.clientLink->isShutdown());
    }
}

// Links coded by one build must decode in another, so the coding is pinned:
// ChaCha20 (zero counter and nonce) under SHA-256 of the key bytes, produced
// independently with
//   openssl enc -chacha20 -K $(printf session | sha256sum) -iv 00..00 < zeros
// and running past a keystream block of 256 bytes.
TEST(koCrypt, KeystreamIsChaCha20UnderTheKeysSha256)
{
    const char* hex =
        "12b1342e8e6d1eb0eb2c6f67a2d022cc5065ae60673d967375b0640070da141053410016072e7f1399e6c8f8a46a9945"
        "fca067e63fb3006b09570beeb40ad141db7e2e00e0c392c96170e79a3817c435af8df5f38297d7d2cee50dec575ebdd7"
        "b95b4af1b81166ff4d11b292a083197d4c8970ef2218023c4af1a9f0fb5a1bb4cdeb6bf011ebf1ca1a7f9dc5238ab129"
        "c92e04ab904041defde6dccb035ba14faf26998f3b65176cb2e007ae29f32cb884459df25f2dc6bc1a7b87c714aca242"
        "49f8458100cf571c044a36ae2c5b2f9656dd7987d5082fa6d1497cede25f91a1cc8ffe998f9214cbdb0fa366c1154499"
        "9e771ff38d2dac2ab384d16c5d13e402815851348a0736bb56d5da0da9b5ce4cecb4249c41bdfeafb5412c95afd320d4";
    koCrypt coder({'s', 'e', 's', 's', 'i', 'o', 'n'});
    Bytes coded;
    for (int i = 0; i < 288; ++i)
        coded.push_back(static_cast<char>(coder.code(0)));
    EXPECT_EQ(coded, hexBytes(hex));
}

} // namespace
