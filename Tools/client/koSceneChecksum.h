#pragma once

#include <QByteArray>

#include <cstddef>

// The SHA-256 digest of a scene, with OpenSSL's streaming digest: several
// times faster than Qt's on large scenes. Shown as progress "Checking scene
// ...", so that Ctrl-C stops it as it stops a transfer.
class koSceneChecksum
{
public:
    // The 32 digest bytes of `size` bytes at `data`; empty when the user
    // aborted (koNetProgress::isAborting() then says so) or OpenSSL failed
    // (out of memory), which no announced checksum matches. Main thread.
    static QByteArray of(const char* data, std::size_t size);
};
