#pragma once

#include <cstddef>

// Scene bytes held by the server. Growing leaves the new bytes uninitialised,
// so what is about to be overwritten is never zero-filled first, and the bytes
// live in one malloc block, which the C library can move to a larger size
// without copying them (large blocks are remapped). Same growing interface as
// std::vector<char>, for koSessionSceneWire::getData.
//
// Threads: none of its own; the server shares a complete scene read-only.
class koSessionSceneBuffer
{
public:
    koSessionSceneBuffer() = default;
    koSessionSceneBuffer(const koSessionSceneBuffer&) = delete;
    koSessionSceneBuffer& operator=(const koSessionSceneBuffer&) = delete;
    ~koSessionSceneBuffer();

    char* data();
    const char* data() const;
    std::size_t size() const;
    std::size_t capacity() const;
    void clear();
    // Throws std::bad_alloc when the memory cannot be had; the bytes held stay.
    void reserve(std::size_t bytes);
    // New bytes are uninitialised.
    void resize(std::size_t bytes);

private:
    char* bytes = nullptr;
    std::size_t length = 0;
    std::size_t room = 0;
};
