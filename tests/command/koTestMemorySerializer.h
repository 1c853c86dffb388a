#pragma once

// A serializer over a byte vector: what a writer produces lands in `bytes`, and
// reading takes from `bytes` at `readPosition`. It fails like a link that ends:
// a read beyond the end throws koNetError and consumes nothing.

#include "koNetError.h"
#include "koNetSerializer.h"

#include <cstring>
#include <string>
#include <vector>

class koTestMemorySerializer : public koNetSerializer
{
public:
    koTestMemorySerializer() = default;
    explicit koTestMemorySerializer(std::vector<char> content)
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
        const std::size_t available = bytes.size() - readPosition;
        if (size > available)
            throw koNetError("Memory stream ended: " + std::to_string(size) + " bytes asked for at offset "
                             + std::to_string(readPosition) + ", " + std::to_string(available) + " left");
        std::memcpy(data, bytes.data() + readPosition, size);
        readPosition += size;
    }

    // Empties the buffer but keeps its capacity, so a benchmark loop reuses it.
    void reset()
    {
        bytes.clear();
        putSizes.clear();
        readPosition = 0;
    }

    std::vector<char> bytes;
    std::size_t readPosition = 0;
    bool recordPieces = true;
    // Size of every putBytes call, in order.
    std::vector<std::size_t> putSizes;
};
