#include "koSessionSceneBuffer.h"

#include <cstdlib>
#include <new>

koSessionSceneBuffer::~koSessionSceneBuffer()
{
    std::free(bytes);
}

char* koSessionSceneBuffer::data()
{
    return bytes;
}

const char* koSessionSceneBuffer::data() const
{
    return bytes;
}

std::size_t koSessionSceneBuffer::size() const
{
    return length;
}

std::size_t koSessionSceneBuffer::capacity() const
{
    return room;
}

void koSessionSceneBuffer::clear()
{
    length = 0;
}

void koSessionSceneBuffer::reserve(std::size_t bytes)
{
    if (bytes <= room)
        return;
    void* grown = std::realloc(this->bytes, bytes);
    if (!grown)
        throw std::bad_alloc();
    this->bytes = static_cast<char*>(grown);
    room = bytes;
}

void koSessionSceneBuffer::resize(std::size_t bytes)
{
    reserve(bytes);
    length = bytes;
}
