#pragma once

#include <QByteArray>

#include <cstddef>

// The SHA-256 digest of a scene, with OpenSSL's streaming digest: several
// times faster than Qt's on large scenes, which a user otherwise waits for
// after the transfer's bar has reached 100 %.
class koSceneChecksum
{
public:
    // The 32 digest bytes of `size` bytes at `data`; empty when OpenSSL fails
    // (out of memory), which no announced checksum matches.
    static QByteArray of(const char* data, std::size_t size);
};
