#pragma once

#include "koNetCipherBase.h"

#include <memory>

class koNetStream;

// The link cipher: an ephemeral X25519 key exchange over `stream` in the
// constructor (client and server roles differ only in which key comes first),
// HKDF-SHA256 giving a key and nonce base per direction, then AEAD frames with
// counter nonces. A frame that fails authentication, is replayed or reordered,
// or is longer than the bound ends the link with koNetError; a counter never
// wraps. Keys are erased when the cipher is destroyed.
class koNetCipher : public koNetCipherBase
{
public:
    koNetCipher(bool client, koNetStream& stream);
    ~koNetCipher() override;

    // The primitives in use, for people reading a log or a report
    // ("X25519, HKDF-SHA256, AES-256-GCM"). Any thread.
    static const char* getSuiteName();

    std::size_t getMaxFrameSize() const override;
    void seal(const char* plain, std::size_t size, std::vector<char>& out) override;
    std::size_t sealInto(const char* plain, std::size_t size, char* out, std::size_t room) override;
    std::size_t open(const char* raw, std::size_t size, std::vector<char>& plain) override;
    std::size_t openInto(const char* raw, std::size_t size, char* out, std::size_t room,
                         std::size_t& opened) override;

private:
    // Lets tests start the frame counters near their end (not installed).
    friend class koNetCipherCounters;

    struct State;
    std::unique_ptr<State> state;
};
