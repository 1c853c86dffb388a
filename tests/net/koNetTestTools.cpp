#include "koNetTestTools.h"

#include "koBoundSocketLink.h"
#include "koConnectionClosed.h"
#include "koNetError.h"
#include "koSocketPipe.h"

#include <QByteArray>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <future>
#include <mutex>
#include <thread>

namespace koNetTest {

namespace {

constexpr std::size_t kHeader = 4;
constexpr std::size_t kTrailer = 2;

void putLe(char* out, std::uint32_t value, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<char>(value >> (8 * i));
}

std::uint32_t getLe(const char* in, std::size_t bytes)
{
    std::uint32_t value = 0;
    for (std::size_t i = bytes; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(in[i]);
    return value;
}

} // namespace

FrameCipher::FrameCipher(std::size_t maxFrame, unsigned char key)
    : maxFrame(maxFrame)
    , key(key)
{
}

std::size_t FrameCipher::getMaxFrameSize() const
{
    return maxFrame;
}

void FrameCipher::seal(const char* plain, std::size_t size, std::vector<char>& out)
{
    const std::size_t frames = (size + maxFrame - 1) / maxFrame;
    const std::size_t at = out.size();
    out.resize(at + size + frames * (kHeader + kTrailer));
    sealInto(plain, size, out.data() + at, out.size() - at);
}

std::size_t FrameCipher::sealInto(const char* plain, std::size_t size, char* out, std::size_t room)
{
    const std::size_t frames = (size + maxFrame - 1) / maxFrame;
    if (size + frames * (kHeader + kTrailer) > room)
        throw koNetError("Test frames do not fit in " + std::to_string(room) + " bytes");
    char* frame = out;
    while (size > 0) {
        const std::size_t n = std::min(size, maxFrame);
        putLe(frame, static_cast<std::uint32_t>(n), kHeader);
        for (std::size_t i = 0; i < n; ++i)
            frame[kHeader + i] = static_cast<char>(plain[i] ^ key);
        putLe(frame + kHeader + n, qChecksum(plain, static_cast<uint>(n)), kTrailer);
        frame += kHeader + n + kTrailer;
        plain += n;
        size -= n;
    }
    return static_cast<std::size_t>(frame - out);
}

// One frame per call, as a cipher that opens frame by frame would.
std::size_t FrameCipher::open(const char* raw, std::size_t size, std::vector<char>& plain)
{
    if (size < kHeader)
        return 0;
    const std::size_t at = plain.size();
    plain.resize(at + std::min<std::size_t>(getLe(raw, kHeader), maxFrame));
    std::size_t opened = 0;
    try {
        const std::size_t used = openInto(raw, size, plain.data() + at, plain.size() - at, opened);
        plain.resize(at + opened);
        return used;
    } catch (...) {
        plain.resize(at);
        throw;
    }
}

std::size_t FrameCipher::openInto(const char* raw, std::size_t size, char* out, std::size_t room,
                                  std::size_t& opened)
{
    opened = 0;
    if (size < kHeader)
        return 0;
    const std::size_t n = getLe(raw, kHeader);
    if (n > maxFrame)
        throw koNetError("Test frame announces " + std::to_string(n) + " bytes, above " + std::to_string(maxFrame));
    if (size < kHeader + n + kTrailer || n > room)
        return 0;
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>(raw[kHeader + i] ^ key);
    if (qChecksum(out, static_cast<uint>(n)) != getLe(raw + kHeader + n, kTrailer)) {
        std::memset(out, 0, n);
        throw koNetError("Test frame fails its checksum");
    }
    opened = n;
    return kHeader + n + kTrailer;
}

MemorySerializer::MemorySerializer(std::vector<unsigned char> bytes)
    : bytes(std::move(bytes))
{
}

void MemorySerializer::putBytes(const void* data, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), p, p + size);
}

void MemorySerializer::getBytes(void* data, std::size_t size)
{
    if (bytes.size() - readPos < size)
        throw koNetError("Memory serializer: " + std::to_string(size) + " bytes asked, "
                         + std::to_string(bytes.size() - readPos) + " left");
    std::memcpy(data, bytes.data() + readPos, size);
    readPos += size;
}

std::string transportName(Transport transport)
{
    switch (transport) {
    case Transport::Pair:
        return "SocketPair";
    case Transport::Tcp:
        return "Tcp";
    case Transport::Pipe:
        return "Pipe";
    }
    return "Unknown";
}

std::string uniquePipeName(const std::string& stem)
{
    static std::atomic<int> counter{0};
    return "kosession-test-" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

LinkPair connectedPair(Transport transport)
{
    switch (transport) {
    case Transport::Pair:
        return koSocketLink::createPair();
    case Transport::Tcp: {
        koBoundSocketLink bound(0);
        auto accepted = std::async(std::launch::async, [&bound] { return std::make_shared<koSocketLink>(bound); });
        try {
            auto connecting = std::make_shared<koSocketLink>(koSocketAddress("127.0.0.1", bound.getAddress().getPort()), 5.0);
            return {connecting, accepted.get()};
        } catch (...) {
            bound.shutdown(); // ends the accept, so that the future can be dropped
            throw;
        }
    }
    case Transport::Pipe: {
        koSocketPipe pipe(uniquePipeName("pair"));
        auto accepted = std::async(std::launch::async, [&pipe] { return std::make_shared<koSocketLink>(pipe, 5.0); });
        try {
            auto connecting = koSocketLink::connectPipe(pipe.getName(), 5.0);
            return {connecting, accepted.get()};
        } catch (...) {
            pipe.shutdown();
            throw;
        }
    }
    }
    throw koNetError("unknown transport");
}

std::vector<char> pattern(std::size_t size, unsigned seed)
{
    std::vector<char> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

void runConcurrently(const std::vector<std::function<void()>>& jobs)
{
    std::mutex mutex; // guards `failure`; taken by a job thread once, when it fails
    std::exception_ptr failure;
    std::vector<std::thread> threads;
    for (const auto& job : jobs) {
        threads.emplace_back([&mutex, &failure, job] {
            try {
                job();
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!failure)
                    failure = std::current_exception();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);
}

Outcome outcomeOf(const std::function<void()>& job)
{
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    try {
        job();
    } catch (const koConnectionClosed& e) {
        outcome.threw = true;
        outcome.closed = true;
        outcome.message = e.what();
    } catch (const koNetError& e) {
        outcome.threw = true;
        outcome.message = e.what();
    }
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

} // namespace koNetTest
