#include "koCrypt.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <stdexcept>

// The keystream is ChaCha20 under SHA-256 of the key bytes with a zero IV
// (block counter and nonce). The key is hashed with OpenSSL rather than Qt so
// that every copy of it can be erased.
struct koCrypt::State
{
    EVP_CIPHER_CTX* context = nullptr;
    std::array<unsigned char, 256> keystream{};
    std::size_t used = 0; // bytes of `keystream` already combined

    ~State()
    {
        EVP_CIPHER_CTX_free(context);
        OPENSSL_cleanse(keystream.data(), keystream.size());
    }

    void refill()
    {
        static const std::array<unsigned char, 256> zeros{};
        int length = 0;
        if (EVP_EncryptUpdate(context, keystream.data(), &length, zeros.data(),
                              static_cast<int>(zeros.size())) != 1
            || length != static_cast<int>(keystream.size()))
            throw std::runtime_error("koCrypt: ChaCha20 keystream generation failed");
        used = 0;
    }
};

koCrypt::koCrypt(const std::vector<unsigned char>& key)
    : state(new State)
{
    std::array<unsigned char, 32> digest{};
    unsigned int digestSize = 0;
    const std::array<unsigned char, 16> iv{};
    state->context = EVP_CIPHER_CTX_new();
    const bool ok = state->context
        && EVP_Digest(key.data(), key.size(), digest.data(), &digestSize, EVP_sha256(), nullptr) == 1
        && EVP_EncryptInit_ex(state->context, EVP_chacha20(), nullptr, digest.data(), iv.data()) == 1;
    OPENSSL_cleanse(digest.data(), digest.size());
    if (!ok)
        throw std::runtime_error("koCrypt: cannot set up ChaCha20");
    state->used = state->keystream.size();
}

koCrypt::~koCrypt() = default;

unsigned char koCrypt::code(unsigned char byte)
{
    if (state->used == state->keystream.size())
        state->refill();
    return static_cast<unsigned char>(byte ^ state->keystream[state->used++]);
}
