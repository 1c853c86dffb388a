#pragma once

// Helpers of the network tests: a framing cipher for tests, a serializer over
// memory, connected link pairs of every transport, and running both ends of
// an exchange on two threads.

#include "koNetCipherBase.h"
#include "koNetSerializer.h"
#include "koSocketLink.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace koNetTest {

// Frames of [4-byte little-endian length][payload XOR key][CRC-16 of the
// payload]: enough to tell a mis-framed or mis-buffered byte from a good one.
// Not a cipher in any cryptographic sense.
class FrameCipher : public koNetCipherBase
{
public:
    explicit FrameCipher(std::size_t maxFrame, unsigned char key = 0x5a);

    std::size_t getMaxFrameSize() const override;
    void seal(const char* plain, std::size_t size, std::vector<char>& out) override;
    std::size_t sealInto(const char* plain, std::size_t size, char* out, std::size_t room) override;
    std::size_t open(const char* raw, std::size_t size, std::vector<char>& plain) override;
    // Opens one frame per call, so the link's loops see every frame apart.
    std::size_t openInto(const char* raw, std::size_t size, char* out, std::size_t room,
                         std::size_t& opened) override;

private:
    std::size_t maxFrame;
    unsigned char key;
};

// A serializer whose bytes are exactly what was put.
class MemorySerializer : public koNetSerializer
{
public:
    MemorySerializer() = default;
    explicit MemorySerializer(std::vector<unsigned char> bytes);

    void putBytes(const void* data, std::size_t size) override;
    void getBytes(void* data, std::size_t size) override; // koNetError past the end

    std::vector<unsigned char> bytes;
    std::size_t readPos = 0;
};

using LinkPair = std::pair<std::shared_ptr<koSocketLink>, std::shared_ptr<koSocketLink>>;

enum class Transport { Pair, Tcp, Pipe };
std::string transportName(Transport transport);
// first: the connecting end, second: the accepting end.
LinkPair connectedPair(Transport transport);
// A pipe name no other test process uses.
std::string uniquePipeName(const std::string& stem);

// Bytes that differ from position to position and from seed to seed.
std::vector<char> pattern(std::size_t size, unsigned seed);

// Runs every job on a thread of its own, joins all, rethrows the first failure.
void runConcurrently(const std::vector<std::function<void()>>& jobs);

// How a job ended: the error it threw, if any, and how long it took.
struct Outcome
{
    bool threw = false;
    bool closed = false; // the error was koConnectionClosed
    std::string message;
    double seconds = 0.0;
};
// Runs `job` on this thread and catches what it throws.
Outcome outcomeOf(const std::function<void()>& job);

} // namespace koNetTest
