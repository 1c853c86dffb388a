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
// several frames, yet little enough to stay in the cache until opened.
constexpr std::size_t kReadAhead = 256 * 1024;
// Reads at least this large go straight into the caller's memory (no cipher).
constexpr std::size_t kDirectRead = 64 * 1024;
// Plain bytes sealed and sent in one go by write().
constexpr std::size_t kSealChunk = 256 * 1024;
// Room beyond the cipher's largest plain frame for its header and tag.
constexpr std::size_t kFrameSlack = koNetCipherBase::FrameSlack;

// Bytes that arrived but were not consumed yet: [begin, end) of `bytes`.
struct RawBuffer
{
    std::vector<char> bytes;
    std::size_t begin = 0;
    std::size_t end = 0;

    std::size_t available() const { return end - begin; }

    std::size_t take(char* out, std::size_t size)
    {
        const std::size_t n = std::min(size, available());
        if (n == 0)
            return 0;
        std::memcpy(out, bytes.data() + begin, n);
        begin += n;
        if (begin == end)
            begin = end = 0;
        return n;
    }

    // Makes the buffer at least `capacity` long and, when the tail has less
    // than `minRoom` free, moves the unread bytes to the front (rarely, since
    // the capacity is a multiple of what a receive needs).
    void makeRoom(std::size_t capacity, std::size_t minRoom)
    {
        if (bytes.size() < capacity)
            bytes.resize(capacity);
        if (bytes.size() - end < minRoom && begin > 0) {
            std::memmove(bytes.data(), bytes.data() + begin, available());
            end -= begin;
            begin = 0;
        }
    }
};

} // namespace

struct koNetLink::State
{
    // Guards `sealed` and the sealing direction of the cipher. Taken by write()
    // for the whole call, so writers never interleave their bytes.
    std::mutex sendMutex;
    std::vector<char> sealed; // sized once, then reused: no zero-fill per send

    // Guards `raw`, `plain`, `plainPos` and the opening direction of the
    // cipher. Taken by read() and readRaw() for the whole call.
    std::mutex recvMutex;
    RawBuffer raw;
    std::vector<char> plain; // opened bytes; [plainPos, size) not read yet
    std::size_t plainPos = 0;

    // Written by setCipher under both locks, so either lock suffices to read it.
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
    std::scoped_lock lock(state->sendMutex, state->recvMutex);
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
    std::vector<char>& sealed = state->sealed;
    if (sealed.size() < chunk + frames * kFrameSlack)
        sealed.resize(chunk + frames * kFrameSlack);
    while (size > 0) {
        const std::size_t n = std::min(size, chunk);
        std::size_t length = 0;
        try {
            length = cipher.sealInto(bytes, n, sealed.data(), sealed.size());
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

void koNetLink::read(void* data, std::size_t size)
{
    std::lock_guard<std::mutex> lock(state->recvMutex);
    if (isShutdown())
        throw koNetError("Link to " + getPeerName() + " has been shut down");
    char* out = static_cast<char*>(data);
    if (!state->cipher) {
        readBuffered(out, size);
        return;
    }
    const std::size_t direct = std::max<std::size_t>(1, state->cipher->getMaxFrameSize());
    while (size > 0) {
        if (state->plainPos < state->plain.size()) {
            const std::size_t n = std::min(size, state->plain.size() - state->plainPos);
            std::memcpy(out, state->plain.data() + state->plainPos, n);
            state->plainPos += n;
            out += n;
            size -= n;
            continue;
        }
        state->plain.clear();
        state->plainPos = 0;
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
    std::lock_guard<std::mutex> lock(state->recvMutex);
    if (isShutdown())
        throw koNetError("Link to " + getPeerName() + " has been shut down");
    readBuffered(data, size);
}

// Buffered bytes first, then the transport. Caller holds recvMutex.
void koNetLink::readBuffered(char* out, std::size_t size)
{
    RawBuffer& raw = state->raw;
    while (size > 0) {
        std::size_t n = raw.take(out, size);
        if (n == 0 && size >= kDirectRead) {
            n = rawRecv(out, size);
        } else if (n == 0) {
            raw.makeRoom(kReadAhead, kReadAhead);
            raw.end += rawRecv(raw.bytes.data() + raw.end, raw.bytes.size() - raw.end);
            continue;
        }
        out += n;
        size -= n;
    }
}

// Opens the next frame(s) into `plain`. Caller holds recvMutex.
void koNetLink::openFrame()
{
    std::vector<char>& plain = state->plain;
    openWith([&plain](koNetCipherBase& cipher, const char* raw, std::size_t size, std::size_t& opened) {
        const std::size_t before = plain.size();
        const std::size_t used = cipher.open(raw, size, plain);
        opened = plain.size() - before;
        return used;
    });
}

// Opens whole frames straight into `out`, all of which must fit in `room`
// (room is at least the cipher's largest frame). Returns the plain bytes
// written. Caller holds recvMutex.
std::size_t koNetLink::openInto(char* out, std::size_t room)
{
    return openWith([out, room](koNetCipherBase& cipher, const char* raw, std::size_t size, std::size_t& opened) {
        return cipher.openInto(raw, size, out, room, opened);
    });
}

// Receives raw bytes until `open` takes at least one whole frame from the
// receive buffer; returns the plain bytes it gave. A frame that fails ends
// the link. Caller holds recvMutex.
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
            used = open(cipher, raw.bytes.data() + raw.begin, raw.available(), opened);
        } catch (const koNetError&) {
            shutdown();
            throw;
        }
        if (used > 0) {
            raw.begin += used;
            if (raw.begin == raw.end)
                raw.begin = raw.end = 0;
            return opened;
        }
        raw.makeRoom(capacity, frame);
        if (raw.end == raw.bytes.size()) {
            const std::string message = "Frame from " + getPeerName() + " does not fit in the receive buffer of "
                + std::to_string(capacity) + " bytes";
            koLog::warning("%s", message.c_str());
            shutdown();
            throw koNetError(message);
        }
        raw.end += rawRecv(raw.bytes.data() + raw.end, raw.bytes.size() - raw.end);
    }
}
