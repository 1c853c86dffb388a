#include "koSessionSceneWire.h"

#include "koSessionSceneBuffer.h"

#include "koNetError.h"
#include "koNetSerializer.h"

#include <algorithm>
#include <cstring>

namespace {

// The name as the wire carries it: up to its first zero byte.
std::size_t nameLength(const std::string& name)
{
    return std::min(name.size(), std::strlen(name.c_str()));
}

// Not logged here: the server's job logs its failure with this text, and the
// client's caller receives it; one line per refusal.
[[noreturn]] void refuse(const std::string& message)
{
    throw koNetError(message);
}

} // namespace

void koSessionSceneWire::checkName(const std::string& name, const char* what)
{
    const std::size_t count = nameLength(name) + 1;
    if (count > MaxNameBytes)
        throw koNetError(std::string(what) + " of " + std::to_string(count - 1)
                         + " bytes exceeds the limit of " + std::to_string(MaxNameBytes - 1) + " bytes");
}

void koSessionSceneWire::putName(koNetSerializer& serializer, const std::string& name)
{
    checkName(name, "Scene name");
    const std::size_t length = nameLength(name);
    serializer.putValue(static_cast<std::uint32_t>(length + 1));
    serializer.putBytes(name.data(), length);
    const char zero = 0;
    serializer.putBytes(&zero, 1);
}

std::string koSessionSceneWire::getName(koNetSerializer& serializer, const std::string& from)
{
    const auto count = serializer.getValue<std::uint32_t>();
    if (count > MaxNameBytes)
        refuse("Scene name field of " + std::to_string(count) + " bytes from " + from
               + " exceeds the limit of " + std::to_string(MaxNameBytes) + " bytes");
    if (count == 0)
        return std::string();
    std::string name(count, '\0');
    serializer.getBytes(&name[0], count);
    name.pop_back();
    return name;
}

std::uint64_t koSessionSceneWire::getSize(koNetSerializer& serializer, std::uint64_t maxBytes,
                                          const std::string& from)
{
    const auto size = serializer.getValue<std::uint64_t>();
    if (size > maxBytes)
        refuse("Scene size of " + std::to_string(size) + " bytes announced by " + from
               + " exceeds the maximum of " + std::to_string(maxBytes) + " bytes");
    return size;
}

std::size_t koSessionSceneWire::putData(koNetSerializer& serializer, const char* data, std::size_t size,
                                        const PieceHook& hook)
{
    std::size_t offset = 0;
    while (offset < size) {
        const std::size_t piece = std::min(size - offset, PieceBytes);
        if (hook && !hook(piece))
            break;
        serializer.putBytes(data + offset, piece);
        offset += piece;
    }
    return offset;
}

namespace {

// Growth when the next piece does not fit. Doubling with the bytes that
// arrived, never ahead of them to the announced size: a peer that announces
// gigabytes and sends nothing costs one piece. `wholeOnceReal` takes the whole
// announced size once a first piece has arrived instead, so the buffer is
// never moved again: for a std::vector, whose regrowth copies every byte.
std::size_t nextCapacity(std::size_t needed, std::size_t capacity, std::size_t size, bool wholeOnceReal)
{
    if (wholeOnceReal && capacity > 0)
        return size;
    return std::min(size, std::max(needed, 2 * capacity));
}

template <class Buffer>
std::size_t getPieces(koNetSerializer& serializer, Buffer& data, std::size_t size,
                      const koSessionSceneWire::PieceHook& hook, bool wholeOnceReal)
{
    data.clear();
    std::size_t offset = 0;
    while (offset < size) {
        const std::size_t piece = std::min(size - offset, koSessionSceneWire::PieceBytes);
        if (hook && !hook(piece))
            break;
        if (offset + piece > data.capacity())
            data.reserve(nextCapacity(offset + piece, offset == 0 ? 0 : data.capacity(), size, wholeOnceReal));
        data.resize(offset + piece);
        serializer.getBytes(data.data() + offset, piece);
        offset += piece;
    }
    return offset;
}

} // namespace

std::size_t koSessionSceneWire::getData(koNetSerializer& serializer, std::vector<char>& data, std::size_t size,
                                        const PieceHook& hook)
{
    // A std::vector cannot grow without zero-filling: each piece is cleared
    // just before the link overwrites it, while it is still in the cache.
    return getPieces(serializer, data, size, hook, true);
}

std::size_t koSessionSceneWire::getData(koNetSerializer& serializer, koSessionSceneBuffer& data, std::size_t size,
                                        const PieceHook& hook)
{
    // A scene buffer grows by moving pages, not by copying bytes: it keeps
    // doubling.
    return getPieces(serializer, data, size, hook, false);
}
