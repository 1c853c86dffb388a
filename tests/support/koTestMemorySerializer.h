#pragma once

// A serializer over a byte vector, for tests, fuzz targets and benchmarks:
// writes append to `bytes`, reads consume from `position` and fail like a link
// that ends: a read beyond the end throws koNetError and consumes nothing.
// Header-only, so that targets without GoogleTest (fuzzers, benchmarks) use it.

#include "koNetError.h"
#include "koNetSerializer.h"

#include <cstring>
#include <string>
#include <vector>

namespace koTest {

class MemorySerializer : public koNetSerializer
{
public:
    MemorySerializer() = default;
    explicit MemorySerializer(std::vector<char> content)
        : bytes(std::move(content))
    {
    }

    void putBytes(const void* data, std::size_t size) override
    {
        if (recordPieces)
            putSizes.push_back(size);
        const char* begin = static_cast<const char*>(data);
        bytes.insert(bytes.end(), begin, begin + size);
    }

    void getBytes(void* data, std::size_t size) override
    {
        ++reads;
        if (recordPieces)
            getSizes.push_back(size);
        const std::size_t available = bytes.size() - position;
        if (size > available)
            throw koNetError("Memory stream ended: " + std::to_string(size) + " bytes asked for at offset "
                             + std::to_string(position) + ", " + std::to_string(available) + " left");
        if (size != 0)
            std::memcpy(data, bytes.data() + position, size);
        position += size;
    }

    // Empties the buffer but keeps its capacity, so a benchmark loop reuses it.
    void reset()
    {
        bytes.clear();
        putSizes.clear();
        getSizes.clear();
        position = 0;
        reads = 0;
    }

    std::vector<char> bytes;
    std::size_t position = 0;
    // Number of getBytes calls, so a test can see that a reader stopped.
    int reads = 0;
    bool recordPieces = true;
    // Size of every putBytes and getBytes call, in order.
    std::vector<std::size_t> putSizes;
    std::vector<std::size_t> getSizes;
};

} // namespace koTest
