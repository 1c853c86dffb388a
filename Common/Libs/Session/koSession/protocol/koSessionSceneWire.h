#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class koNetSerializer;
class koSessionSceneBuffer;

// The byte format of the scene transfer streams, written and read by the
// client's uploadScene/downloadScene and by the server's two jobs, kept in one
// place so the ends cannot drift apart. After the request type, a transfer
// carries (integers little-endian):
//
//   name  unsigned 32-bit n, then n bytes: the name's UTF-8 bytes and one zero
//         byte; n = 0 also reads as an empty name
//   size  unsigned 64-bit number of scene bytes (the serializer's value size)
//   data  exactly that many bytes, moved in pieces of at most PieceBytes
//
// Every operation is static and keeps no state; call it from the thread that
// uses the serializer. Failures are koNetError (a length above its limit, a
// failed link) naming what was read, the peer and the limit.
class koSessionSceneWire
{
public:
    // Largest single read or write of scene bytes: bounds the time between
    // two abort checks and keeps every call on the link short.
    static constexpr std::size_t PieceBytes = 1024 * 1024;
    // Largest name field count n (the name's bytes plus the zero byte).
    static constexpr std::uint32_t MaxNameBytes = 64 * 1024;
    // Default bound on an announced scene size, on both ends: 16 GiB. A fixed
    // figure rather than a share of this machine's memory, so that every
    // server and client agree on which scenes may move whatever host they run
    // on; it is far above any scene a participant holds in memory and only
    // stops garbled or hostile announcements. Memory still grows only with the
    // bytes that really arrive (getData), and an upload that does not fit
    // fails with the allocation error instead of taking the host down.
    static constexpr std::uint64_t DefaultMaxSceneBytes = std::uint64_t(16) << 30;

    // Called before each piece with its size; returning false stops the move
    // there (the user aborted).
    using PieceHook = std::function<bool(std::size_t piece)>;

    // Throws koNetError when `name` (up to its first zero byte) does not fit
    // in a name field. `what` names the name in the message.
    static void checkName(const std::string& name, const char* what);

    // Writes the name field from `name` up to its first zero byte. Throws
    // koNetError when it is too long (checkName).
    static void putName(koNetSerializer& serializer, const std::string& name);
    // Reads a name field and returns its n - 1 bytes (the zero byte dropped;
    // interior zero bytes are kept as they came). Checks n against
    // MaxNameBytes before reading the bytes; `from` names the peer.
    static std::string getName(koNetSerializer& serializer, const std::string& from);

    // Reads the size field and checks it against `maxBytes` before anything
    // is allocated; `from` names the peer in the message.
    static std::uint64_t getSize(koNetSerializer& serializer, std::uint64_t maxBytes, const std::string& from);

    // Writes `size` bytes from `data` in pieces of at most PieceBytes, asking
    // `hook` (when given) before each. Returns the number of bytes written.
    // Does not flush.
    static std::size_t putData(koNetSerializer& serializer, const char* data, std::size_t size,
                               const PieceHook& hook = PieceHook());
    // Reads `size` bytes into `data`, which it empties first (its capacity
    // kept, so a vector used again is not allocated again). The vector takes
    // one piece first and the whole `size` once that piece has arrived, so it
    // is never moved while it fills; a peer that announces a big scene and
    // sends little holds one piece of resident memory per piece it sent.
    // Asks `hook` (when given) before each piece and returns the number of
    // bytes read; `data` holds exactly those. std::bad_alloc when the
    // announced size cannot be reserved.
    static std::size_t getData(koNetSerializer& serializer, std::vector<char>& data, std::size_t size,
                               const PieceHook& hook = PieceHook());
    // The same into a scene buffer (the server's store, a host's reused
    // download), without zero-filling it first; its capacity doubles with the
    // bytes that arrived, up to `size`, and is kept when it is larger.
    static std::size_t getData(koNetSerializer& serializer, koSessionSceneBuffer& data, std::size_t size,
                               const PieceHook& hook = PieceHook());
};
