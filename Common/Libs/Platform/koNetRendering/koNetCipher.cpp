#include "koNetCipher.h"
#include "koNetCipherCounters.h"

#include "koNetError.h"
#include "koNetStream.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

// Wire form of one frame:
//   4 bytes   plain length L, unsigned little-endian (authenticated as AAD)
//   L bytes   AEAD cipher text
//   16 bytes  AEAD tag
// Each direction has its own key and nonce base; the nonce of frame n is the
// base with n (64 bits, little-endian) XORed into its last eight bytes. The
// receiver only ever tries the next expected n, so a replayed, dropped or
// reordered frame fails authentication like a tampered one.

namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kPublicKeySize = 32;

// Plain bytes in one frame at most, for sealing and as the bound that open()
// checks as soon as a header is read: large enough that the per-frame cost
// (nonce set-up, header, tag, one send) vanishes, small enough that a frame
// stays in the cache between sealing and sending.
constexpr std::size_t kMaxFrameSize = 64 * 1024;

// AES-256-GCM: on this class of machine (AES-NI, PCLMULQDQ) it runs at least
// as fast as ChaCha20-Poly1305.
const EVP_CIPHER* aead()
{
    return EVP_aes_256_gcm();
}

using Bytes32 = std::array<unsigned char, 32>;

// Key material that is erased whenever it goes out of scope, thrown past or not.
template <std::size_t N>
struct Secret
{
    std::array<unsigned char, N> bytes{};
    Secret() = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

[[noreturn]] void fail(const std::string& what)
{
    throw koNetError("Cipher: " + what);
}

struct PkeyDeleter { void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); } };
struct PkeyCtxDeleter { void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

Pkey generateKey()
{
    PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_X25519, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1)
        fail("cannot generate an X25519 key");
    return Pkey(key);
}

Bytes32 publicKeyOf(EVP_PKEY* key)
{
    Bytes32 bytes{};
    std::size_t size = bytes.size();
    if (EVP_PKEY_get_raw_public_key(key, bytes.data(), &size) != 1 || size != bytes.size())
        fail("cannot read the X25519 public key");
    return bytes;
}

// Refuses a peer key of low order: it would give an all-zero secret that an
// attacker in the middle knows without any private key.
void agree(EVP_PKEY* own, const Bytes32& peerPublic, Secret<32>& secret)
{
    Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublic.data(), peerPublic.size()));
    PkeyCtx ctx(EVP_PKEY_CTX_new(own, nullptr));
    std::size_t size = secret.bytes.size();
    const bool derived = peer && ctx && EVP_PKEY_derive_init(ctx.get()) == 1
        && EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) == 1
        && EVP_PKEY_derive(ctx.get(), secret.bytes.data(), &size) == 1 && size == secret.bytes.size();
    static const Bytes32 zeros{};
    if (!derived || CRYPTO_memcmp(secret.bytes.data(), zeros.data(), zeros.size()) == 0)
        fail("key exchange refused the peer's public key (it gives an all-zero shared secret)");
}

// HKDF-SHA256 with both public keys as salt and the direction as info.
void expand(const Secret<32>& secret, const std::array<unsigned char, 2 * kPublicKeySize>& salt,
            const std::string& info, unsigned char* out, std::size_t size)
{
    PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
    std::size_t length = size;
    const bool ok = ctx && EVP_PKEY_derive_init(ctx.get()) == 1
        && EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) == 1
        && EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), salt.data(), static_cast<int>(salt.size())) == 1
        && EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), secret.bytes.data(), static_cast<int>(secret.bytes.size())) == 1
        && EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), reinterpret_cast<const unsigned char*>(info.data()),
                                       static_cast<int>(info.size())) == 1
        && EVP_PKEY_derive(ctx.get(), out, &length) == 1 && length == size;
    if (!ok)
        fail("HKDF-SHA256 key derivation failed");
}

void putLength(unsigned char* header, std::uint32_t length)
{
    for (std::size_t i = 0; i < kHeaderSize; ++i)
        header[i] = static_cast<unsigned char>(length >> (8 * i));
}

std::uint32_t getLength(const unsigned char* header)
{
    std::uint32_t length = 0;
    for (std::size_t i = kHeaderSize; i-- > 0;)
        length = (length << 8) | header[i];
    return length;
}

constexpr std::size_t kFrameOverhead = kHeaderSize + kTagSize;
static_assert(kFrameOverhead <= koNetCipherBase::FrameSlack, "a frame must fit in the room the link gives");

// Sentinel of frameLength(): the header is not whole yet.
constexpr std::size_t kNoHeader = std::numeric_limits<std::size_t>::max();

// The plain length the frame at `raw` announces, checked against the bound as
// soon as the header is there and before anything is buffered or opened.
std::size_t frameLength(const unsigned char* raw, std::size_t size)
{
    if (size < kHeaderSize)
        return kNoHeader;
    const std::size_t length = getLength(raw);
    if (length > kMaxFrameSize)
        fail("incoming frame announces " + std::to_string(length) + " bytes, above the limit of "
             + std::to_string(kMaxFrameSize));
    return length;
}

// One direction of the link: its key schedule, nonce base and frame counter.
// The context is keyed once; each frame only sets a new nonce.
class Direction
{
public:
    Direction() : context(EVP_CIPHER_CTX_new()) {}
    ~Direction()
    {
        EVP_CIPHER_CTX_free(context); // clears the key schedule
        OPENSSL_cleanse(nonceBase.data(), nonceBase.size());
    }
    Direction(const Direction&) = delete;
    Direction& operator=(const Direction&) = delete;

    void init(bool encrypt, const unsigned char* keyAndNonce)
    {
        std::memcpy(nonceBase.data(), keyAndNonce + kKeySize, kNonceSize);
        if (!context || EVP_CipherInit_ex(context, aead(), nullptr, keyAndNonce, nullptr, encrypt ? 1 : 0) != 1)
            fail("cannot set up the AEAD cipher");
    }

    // Seals `length` plain bytes as one frame at `frame`, which has room for
    // length + kFrameOverhead bytes.
    void sealFrame(const char* plain, std::size_t length, unsigned char* frame)
    {
        putLength(frame, static_cast<std::uint32_t>(length));
        startFrame();
        int written = 0;
        int finalWritten = 0;
        const bool ok = EVP_EncryptUpdate(context, nullptr, &written, frame, kHeaderSize) == 1
            && EVP_EncryptUpdate(context, frame + kHeaderSize, &written,
                                 reinterpret_cast<const unsigned char*>(plain), static_cast<int>(length)) == 1
            && EVP_EncryptFinal_ex(context, frame + kHeaderSize + written, &finalWritten) == 1
            && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, kTagSize, frame + kHeaderSize + length) == 1;
        if (!ok)
            fail("sealing a frame failed");
        ++counter;
    }

    // Opens the whole frame at `raw`, whose plain `length` frameLength() gave,
    // into `out`. A frame that fails leaves nothing readable in `out`, and the
    // counter stays where it was.
    void openFrame(const unsigned char* raw, std::size_t length, unsigned char* out)
    {
        startFrame();
        int written = 0;
        int finalWritten = 0;
        const bool ok = EVP_DecryptUpdate(context, nullptr, &written, raw, kHeaderSize) == 1
            && EVP_DecryptUpdate(context, out, &written, raw + kHeaderSize, static_cast<int>(length)) == 1
            && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, kTagSize,
                                   const_cast<unsigned char*>(raw + kHeaderSize + length)) == 1
            && EVP_DecryptFinal_ex(context, out + written, &finalWritten) > 0;
        if (!ok) {
            OPENSSL_cleanse(out, length);
            fail("frame failed authentication (tampered, replayed or out of order)");
        }
        ++counter;
    }

    void setCounter(std::uint64_t value) { counter = value; }

private:
    // Sets the nonce for the next frame; refuses to go past the last counter,
    // since a repeated nonce would give the key away.
    void startFrame()
    {
        if (counter == std::numeric_limits<std::uint64_t>::max())
            fail("frame counter exhausted; the link must be opened again");
        std::array<unsigned char, kNonceSize> nonce = nonceBase;
        for (std::size_t i = 0; i < 8; ++i)
            nonce[kNonceSize - 8 + i] ^= static_cast<unsigned char>(counter >> (8 * i));
        if (EVP_CipherInit_ex(context, nullptr, nullptr, nullptr, nonce.data(), -1) != 1)
            fail("cannot set the frame nonce");
    }

    EVP_CIPHER_CTX* context;
    std::array<unsigned char, kNonceSize> nonceBase{};
    std::uint64_t counter = 0;
};

// Where openFrames() puts plain text: fits(length) says whether a frame of
// that length may be opened now, at(length) gives the room for it, and
// keep(length) or drop(length) follows once the frame did or did not open.
struct VectorSink
{
    std::vector<char>& plain;
    bool fits(std::size_t) const { return true; }
    unsigned char* at(std::size_t length)
    {
        plain.resize(plain.size() + length);
        return reinterpret_cast<unsigned char*>(plain.data() + plain.size() - length);
    }
    void keep(std::size_t) {}
    void drop(std::size_t length) { plain.resize(plain.size() - length); }
};

struct MemorySink
{
    char* out;
    std::size_t room;
    std::size_t& opened;
    bool fits(std::size_t length) const { return length <= room - opened; }
    unsigned char* at(std::size_t) { return reinterpret_cast<unsigned char*>(out + opened); }
    void keep(std::size_t length) { opened += length; }
    void drop(std::size_t) {}
};

// Opens whole frames from `raw` while the sink takes them. A bad frame after
// good ones is left for the next call, so the reader gets every byte that did
// authenticate before the link ends. Returns the raw bytes used.
template <class Sink>
std::size_t openFrames(Direction& direction, const char* raw, std::size_t size, Sink sink)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw);
    std::size_t used = 0;
    for (;;) {
        std::size_t length = kNoHeader;
        try {
            length = frameLength(bytes + used, size - used);
            if (length == kNoHeader || size - used < length + kFrameOverhead || !sink.fits(length))
                return used;
            unsigned char* target = sink.at(length);
            try {
                direction.openFrame(bytes + used, length, target);
            } catch (...) {
                sink.drop(length);
                throw;
            }
            sink.keep(length);
            used += length + kFrameOverhead;
        } catch (const koNetError&) {
            if (used > 0)
                return used;
            throw;
        }
    }
}

} // namespace

// `sending` is touched only by seal(), `receiving` only by open(): the link
// runs one sender and one receiver at a time, so the two need no lock.
struct koNetCipher::State
{
    Direction sending;
    Direction receiving;
};

koNetCipher::koNetCipher(bool client, koNetStream& stream)
    : state(new State)
{
    // Both ends send their key before reading the peer's: the 32 bytes fit in
    // any socket buffer, so neither end waits for the other to read.
    const Pkey own = generateKey();
    const Bytes32 ownPublic = publicKeyOf(own.get());
    stream.putBytes(ownPublic.data(), ownPublic.size());
    stream.flush();
    Bytes32 peerPublic{};
    stream.getBytes(peerPublic.data(), peerPublic.size());

    Secret<32> secret;
    agree(own.get(), peerPublic, secret);
    std::array<unsigned char, 2 * kPublicKeySize> salt{};
    const Bytes32& clientPublic = client ? ownPublic : peerPublic;
    const Bytes32& serverPublic = client ? peerPublic : ownPublic;
    std::memcpy(salt.data(), clientPublic.data(), kPublicKeySize);
    std::memcpy(salt.data() + kPublicKeySize, serverPublic.data(), kPublicKeySize);

    Secret<kKeySize + kNonceSize> toServer;
    Secret<kKeySize + kNonceSize> toClient;
    expand(secret, salt, "koNetCipher client to server", toServer.bytes.data(), toServer.bytes.size());
    expand(secret, salt, "koNetCipher server to client", toClient.bytes.data(), toClient.bytes.size());
    state->sending.init(true, (client ? toServer : toClient).bytes.data());
    state->receiving.init(false, (client ? toClient : toServer).bytes.data());
}

koNetCipher::~koNetCipher() = default;

const char* koNetCipher::getSuiteName()
{
    return "X25519, HKDF-SHA256, AES-256-GCM";
}

std::size_t koNetCipher::getMaxFrameSize() const
{
    return kMaxFrameSize;
}

void koNetCipher::seal(const char* plain, std::size_t size, std::vector<char>& out)
{
    const std::size_t frames = (size + kMaxFrameSize - 1) / kMaxFrameSize;
    const std::size_t start = out.size();
    out.resize(start + size + frames * kFrameOverhead);
    try {
        sealInto(plain, size, out.data() + start, out.size() - start);
    } catch (...) {
        out.resize(start);
        throw;
    }
}

std::size_t koNetCipher::sealInto(const char* plain, std::size_t size, char* out, std::size_t room)
{
    const std::size_t frames = (size + kMaxFrameSize - 1) / kMaxFrameSize;
    const std::size_t total = size + frames * kFrameOverhead;
    if (total > room)
        fail("sealing " + std::to_string(size) + " bytes needs " + std::to_string(total) + " bytes of room, "
             + std::to_string(room) + " given");
    auto* frame = reinterpret_cast<unsigned char*>(out);
    while (size > 0) {
        const std::size_t length = size < kMaxFrameSize ? size : kMaxFrameSize;
        state->sending.sealFrame(plain, length, frame);
        frame += length + kFrameOverhead;
        plain += length;
        size -= length;
    }
    return total;
}

std::size_t koNetCipher::open(const char* raw, std::size_t size, std::vector<char>& plain)
{
    return openFrames(state->receiving, raw, size, VectorSink{plain});
}

std::size_t koNetCipher::openInto(const char* raw, std::size_t size, char* out, std::size_t room,
                                  std::size_t& opened)
{
    opened = 0;
    return openFrames(state->receiving, raw, size, MemorySink{out, room, opened});
}

// The test hook declared as a friend in koNetCipher.h (see koNetCipherCounters.h).
void koNetCipherCounters::start(koNetCipher& cipher, std::uint64_t sending, std::uint64_t receiving)
{
    cipher.state->sending.setCounter(sending);
    cipher.state->receiving.setCounter(receiving);
}
