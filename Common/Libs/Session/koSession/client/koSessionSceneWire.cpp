#include "koSessionSceneWire.h"

#include "koMemoryPages.h"
#include "koNetError.h"
#include "koNetSerializer.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// Scenes from this size on have their memory readied ahead of the bytes
// (koMemoryPages), by at most this many bytes.
constexpr std::size_t ReadyPagesFrom = 8 * 1024 * 1024;
constexpr std::size_t ReadyPagesAhead = 16 * 1024 * 1024;

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

std::size_t koSessionSceneWire::getData(koNetSerializer& serializer, std::vector<char>& data, std::size_t size,
                                        const PieceHook& hook)
{
    data.clear();
    data.reserve(size);
    // The fresh memory of a big scene costs the receiving thread more than
    // its decryption when it faults the pages in itself: they are readied
    // beside it instead, a few pieces ahead of the bytes that arrived.
    std::unique_ptr<koMemoryPages> pages;
    if (size >= ReadyPagesFrom)
        pages = std::make_unique<koMemoryPages>(data.data(), size, ReadyPagesAhead);
    std::size_t offset = 0;
    while (offset < size) {
        const std::size_t piece = std::min(size - offset, PieceBytes);
        if (hook && !hook(piece))
            break;
        data.resize(offset + piece);
        serializer.getBytes(data.data() + offset, piece);
        offset += piece;
        if (pages)
            pages->filled(offset);
    }
    return offset;
}
