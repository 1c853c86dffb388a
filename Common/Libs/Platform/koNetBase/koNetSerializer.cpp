#include "koNetSerializer.h"

#include "koNetError.h"

#include <cstdint>
#include <limits>
#include <string>

koNetSerializer::~koNetSerializer() = default;

// A byte count always travels as 8 bytes so that both ends agree whatever
// their own size_t is.
void koNetSerializer::putValueSize(const std::size_t& size)
{
    putValue(static_cast<std::uint64_t>(size));
}

void koNetSerializer::getValueSize(std::size_t& size)
{
    const auto value = getValue<std::uint64_t>();
    if (value > std::numeric_limits<std::size_t>::max())
        throw koNetError("Byte count " + std::to_string(value) + " does not fit in this process");
    size = static_cast<std::size_t>(value);
}

std::size_t koNetSerializer::getValueSize()
{
    std::size_t size = 0;
    getValueSize(size);
    return size;
}
