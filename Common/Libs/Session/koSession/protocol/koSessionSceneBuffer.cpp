#include "koSessionSceneBuffer.h"

#include "koPageMemory.h"

koSessionSceneBuffer::~koSessionSceneBuffer()
{
    koPageMemory::release(bytes, room);
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
    this->bytes = room == 0 ? koPageMemory::allocate(bytes) : koPageMemory::resize(this->bytes, room, bytes);
    room = bytes;
}

void koSessionSceneBuffer::resize(std::size_t bytes)
{
    reserve(bytes);
    length = bytes;
}
