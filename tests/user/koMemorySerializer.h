#pragma once

#include "koNetError.h"
#include "koNetSerializer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace koTest {

// A serializer over a byte vector: writes append, reads consume from the
// front and throw koNetError when fewer bytes remain than asked for, as a
// closed link would.
class MemorySerializer : public koNetSerializer
{
public:
    MemorySerializer() = default;
    explicit MemorySerializer(std::vector<char> bytes)
        : bytes(std::move(bytes))
    {
    }

    void putBytes(const void* data, std::size_t size) override
    {
        const char* begin = static_cast<const char*>(data);
        bytes.insert(bytes.end(), begin, begin + size);
    }

    void getBytes(void* data, std::size_t size) override
    {
        ++reads;
        if (size > bytes.size() - position)
            throw koNetError("Memory serializer: " + std::to_string(size) + " bytes asked, "
                             + std::to_string(bytes.size() - position) + " left");
        if (size == 0)
            return;
        std::memcpy(data, bytes.data() + position, size);
        position += size;
    }

    std::vector<char> bytes;
    std::size_t position = 0;
    int reads = 0;
};

} // namespace koTest
