#include "koNetLink.h"

#include "koLog.h"
#include "koNetError.h"
#include "koNetCipherBase.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace {

// How much a read may take from the transport ahead of what it was asked for:
// several frames, yet little enough to stay in the cache until opened. A link
// starts with kFirstReadAhead and doubles up to this while receives fill it.
constexpr std::size_t kReadAhead = 256 * 1024;
constexpr std::size_t kFirstReadAhead = 16 * 1024;
// Reads at least this large go straight into the caller's memory (no cipher).
constexpr std::size_t kDirectRead = 64 * 1024;
// Plain bytes sealed and sent in one go by write().
constexpr std::size_t kSealChunk = 256 * 1024;
// Room beyond the cipher's largest plain frame for its header and tag.
constexpr std::size_t kFrameSlack = koNetCipherBase::FrameSlack;

// Memory that grows on demand and is never zero-filled: an idle link keeps
// only the pages its bytes actually touched.
struct ByteBlock
{
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;

    char* data() { return bytes.get(); }

    // Makes the block at least `size` long, keeping [from, to) at its front.
    void grow(std::size_t size, std::size_t from = 0, std::size_t to = 0)
    {
        if (size <= capacity)
            return;
        std::unique_ptr<char[]> grown(new char[size]); // default-initialized: no zero-fill
        if (to > from)
            std::memcpy(grown.get(), bytes.get() + from, to - from);
        bytes = std::move(grown);
        capacity = size;
    }
};

// Bytes that arrived but were not consumed yet: [begin, end) of `block`.
struct RawBuffer
{
    ByteBlock block;
    std::size_t begin = 0;
    std::size_t end = 0;

    std::size_t available() const { return end - begin; }
    std::size_t room() const { return block.capacity - end; }
    char* unread() { return block.data() + begin; }
    char* tail() { return block.data() + end; }

    std::size_t take(char* out, std::size_t size)
    {
        const std::size_t n = std::min(size, available());
        if (n == 0)
            return 0;
        std::memcpy(out, unread(), n);
        consume(n);
        return n;
    }

    void consume(std::size_t n)
    {
        begin += n;
        if (begin == end)
            begin = end = 0;
    }

    // At least `capacity` long, the unread bytes moved to the front.
    void grow(std::size_t capacity)
    {
        if (capacity <= block.capacity) {
            compact();
            return;
        }
        block.grow(capacity, begin, end);
        end -= begin;
        begin = 0;
    }

    void compact()
    {
        if (begin == 0)
            return;
        std::memmove(block.data(), unread(), available());
        end -= begin;
        begin = 0;
    }
};

} // namespace

struct koNetLink::State
{
    // Guards `sealed` and the sealing direction of the cipher. Taken by write()
    // for the whole call, so writers never interleave their bytes.
    std::mutex sendMutex;
    ByteBlock sealed; // grows to what the largest write needed, then reused

    // `raw`, `readAhead`, `plain`, `plainPos`, `plainEnd` and the opening direction of the
    // cipher belong to the one thread that reads the link: no lock, as a
    // lock per read cost more than opening the frames.
    RawBuffer raw;
    std::size_t readAhead = kFirstReadAhead; // what the next receive asks for
    ByteBlock plain; // opened bytes; [plainPos, plainEnd) not read yet
    std::size_t plainPos = 0;
    std::size_t plainEnd = 0;

    // Written by setCipher on the reading thread under the send lock: the
    // reader needs no lock to read it, the writer takes the send lock.
    std::shared_ptr<koNetCipherBase> cipher;

    std::atomic<bool> shut{false};
};

koNetLink::koNetLink()
    : state(new State)
{
}

koNetLink::~koNetLink() = default;

bool koNetLink::isShutdown() const
{
    return state->shut.load();
}

void koNetLink::markShutdown()
{
    state->shut.store(true);
}

void koNetLink::setCipher(const std::shared_ptr<koNetCipherBase>& cipher)
{
    std::lock_guard<std::mutex> lock(state->sendMutex);
    state->cipher = cipher;
}

void koNetLink::write(const void* data, std::size_t size)
{
    std::lock_guard<std::mutex> lock(state->sendMutex);
    if (isShutdown())
        throw koNetError("Link to " + getPeerName() + " has been shut down");
    const char* bytes = static_cast<const char*>(data);
    if (!state->cipher) {
        rawSend(bytes, size);
        return;
    }
    // Sealed straight from the caller's bytes, a few frames per send: few
    // system calls, and the sealed copy stays in the cache until it is sent.
    koNetCipherBase& cipher = *state->cipher;
    const std::size_t frame = std::max<std::size_t>(1, cipher.getMaxFrameSize());
    const std::size_t frames = std::max<std::size_t>(1, kSealChunk / frame);
    const std::size_t chunk = frames * frame;
    ByteBlock& sealed = state->sealed;
    // Room for what this write seals at a time (doubling, so a link whose
    // writes grow does not reallocate each time), never more than a chunk's.
    const std::size_t first = std::min(size, chunk);
    const std::size_t need = first + (first + frame - 1) / frame * kFrameSlack;
    if (sealed.capacity < need)
        sealed.grow(std::min(std::max(need, 2 * sealed.capacity), chunk + frames * kFrameSlack));
    while (size > 0) {
        const std::size_t n = std::min(size, chunk);
        std::size_t length = 0;
        try {
            length = cipher.sealInto(bytes, n, sealed.data(), sealed.capacity);
        } catch (const koNetError& error) {
            // A cipher that cannot seal (its counter ran out) must not let
            // anything else through: the link ends here.
            koLog::warning("Link to %s ends: %s", getPeerName().c_str(), error.what());
            shutdown();
            throw;
        }
        rawSend(sealed.data(), length);
        bytes += n;
        size -= n;
    }
}

std::size_t koNetLink::getReadableSize() const
{
    return state->cipher ? state->plainEnd - state->plainPos : state->raw.available();
}

void koNetLink::read(void* data, std::size_t size)
{
    if (isShutdown())
        throw koNetError("Link to " + getPeerName() + " has been shut down");
    char* out = static_cast<char*>(data);
    if (!state->cipher) {
        readBuffered(out, size);
        return;
    }
    const std::size_t direct = std::max<std::size_t>(1, state->cipher->getMaxFrameSize());
    while (size > 0) {
        if (state->plainPos < state->plainEnd) {
            const std::size_t n = std::min(size, state->plainEnd - state->plainPos);
            std::memcpy(out, state->plain.data() + state->plainPos, n);
            state->plainPos += n;
            out += n;
            size -= n;
            continue;
        }
        state->plainPos = state->plainEnd = 0;
        // Any frame fits in what is left to read: open it straight into the
        // caller's memory instead of through `plain`.
        const std::size_t n = size >= direct ? openInto(out, size) : 0;
        if (n == 0) {
            openFrame();
            continue;
        }
        out += n;
        size -= n;
    }
}

void koNetLink::readRaw(char* data, std::size_t size)
{
    if (isShutdown())
        throw koNetError("Link to " + getPeerName() + " has been shut down");
    readBuffered(data, size);
}

// Buffered bytes first, then the transport. Reading thread only.
void koNetLink::readBuffered(char* out, std::size_t size)
{
    RawBuffer& raw = state->raw;
    while (size > 0) {
        std::size_t n = raw.take(out, size);
        if (n == 0 && size >= kDirectRead) {
            n = rawRecv(out, size);
        } else if (n == 0) {
            raw.grow(state->readAhead);
            receiveMore();
            continue;
        }
        out += n;
        size -= n;
    }
}

// Opens the next frame(s) into `plain`, which takes as many frames as the
// receive buffer holds; it is never zero-filled, the cipher writes it.
// Reading thread only.
void koNetLink::openFrame()
{
    const std::size_t frame = state->cipher->getMaxFrameSize() + kFrameSlack;
    state->plain.grow(std::max(kReadAhead, 2 * frame));
    state->plainEnd = openInto(state->plain.data(), state->plain.capacity);
}

// Opens whole frames straight into `out`, all of which must fit in `room`
// (room is at least the cipher's largest frame). Returns the plain bytes
// written. Reading thread only.
std::size_t koNetLink::openInto(char* out, std::size_t room)
{
    return openWith([out, room](koNetCipherBase& cipher, const char* raw, std::size_t size, std::size_t& opened) {
        return cipher.openInto(raw, size, out, room, opened);
    });
}

// Receives raw bytes until `open` takes at least one whole frame from the
// receive buffer; returns the plain bytes it gave. A frame that fails ends
// the link. Reading thread only.
std::size_t koNetLink::openWith(const OpenStep& open)
{
    RawBuffer& raw = state->raw;
    koNetCipherBase& cipher = *state->cipher;
    const std::size_t frame = cipher.getMaxFrameSize() + kFrameSlack;
    const std::size_t capacity = std::max(kReadAhead, 2 * frame);
    for (;;) {
        std::size_t used = 0;
        std::size_t opened = 0;
        try {
            used = open(cipher, raw.unread(), raw.available(), opened);
        } catch (const koNetError&) {
            shutdown();
            throw;
        }
        if (used > 0) {
            raw.consume(used);
            return opened;
        }
        // No whole frame yet. A full buffer holds part of one frame: it grows,
        // up to the bound. Otherwise it grows to the read-ahead, or moves the
        // unread part to the front when the tail cannot take a whole frame.
        if (raw.available() == raw.block.capacity) {
            if (raw.block.capacity >= capacity) {
                const std::string message = "Frame from " + getPeerName()
                    + " does not fit in the receive buffer of " + std::to_string(capacity) + " bytes";
                koLog::warning("%s", message.c_str());
                shutdown();
                throw koNetError(message);
            }
            raw.grow(std::min(capacity, std::max(2 * raw.block.capacity, state->readAhead)));
        } else if (raw.block.capacity < state->readAhead) {
            raw.grow(state->readAhead);
        } else if (raw.room() < frame) {
            raw.compact();
        }
        receiveMore();
    }
}

// One receive into the free tail of the buffer. A receive that fills it
// means the peer sends faster than it is read: the next one asks for more.
// Reading thread only.
void koNetLink::receiveMore()
{
    RawBuffer& raw = state->raw;
    const std::size_t room = raw.room();
    const std::size_t got = rawRecv(raw.tail(), room);
    raw.end += got;
    if (got == room)
        state->readAhead = std::min(kReadAhead, 2 * state->readAhead);
}
