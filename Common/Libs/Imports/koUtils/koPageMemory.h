#pragma once

#include <cstddef>

// Blocks taken straight from the system's pages, for buffers of hundreds of
// MiB that are written once, front to back, by a reader of the network. A
// fresh block costs nothing until a byte lands on a page; its pages are then
// handed out in large units where the system offers them, which divides the
// faults of a first transfer by hundreds. Growing moves pages, never bytes.
//
// Threads: none; a block belongs to whoever holds its pointer. Failures are
// std::bad_alloc, and the block given in stays as it was.
class koPageMemory
{
public:
    // A block of `bytes` (more than 0) whose pages read as zero until written.
    static char* allocate(std::size_t bytes);
    // The block `block` of `bytes` (from allocate or resize) made `newBytes`
    // long (more than 0), its contents kept up to the shorter of the two.
    // Returns where it now is.
    static char* resize(char* block, std::size_t bytes, std::size_t newBytes);
    // Returns a block of `bytes` to the system; null is ignored.
    static void release(char* block, std::size_t bytes);
};
