#pragma once

#include "koSessionExport.h"

#include <cstddef>

// Scene bytes that grow without being zero-filled: what is about to be
// overwritten is never cleared first. The bytes live in one block of the
// system's pages (large pages where it offers them), which grows by moving
// pages, not bytes. The server stores scenes in it; a host downloads into one
// (koSession::downloadScene) and keeps it for the next download, which then
// writes into pages it already has. Same growing interface as
// std::vector<char>, for koSessionSceneWire::getData.
//
// Threads: none of its own; one thread at a time, or shared read-only.
// Failures: std::bad_alloc when memory cannot be had; the bytes held stay.
class KOSESSION_EXPORT koSessionSceneBuffer
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
    // Empties it; the memory stays for the next fill.
    void clear();
    void reserve(std::size_t bytes);
    // New bytes are uninitialised.
    void resize(std::size_t bytes);

private:
    char* bytes = nullptr;
    std::size_t length = 0;
    std::size_t room = 0;
};
