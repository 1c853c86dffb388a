#pragma once

// A hook for tests only, not installed with the interface headers: starts a
// cipher's frame counters where a test wants them, so that it can prove the
// link ends before a nonce could repeat without sealing 2^64 frames first.
// Call it before the cipher seals or opens anything, from the thread that
// made the cipher. Both ends of a link must agree: the peer's receiving
// counter must equal this end's sending counter, or the next frame fails.

#include <cstdint>

class koNetCipher;

class koNetCipherCounters
{
public:
    static void start(koNetCipher& cipher, std::uint64_t sending, std::uint64_t receiving);
};
