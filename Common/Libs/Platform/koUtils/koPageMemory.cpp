#include "koPageMemory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Asks for large pages; a system without them (or with them off) keeps small
// ones, which only costs speed.
char* adviseLargePages(void* block, std::size_t bytes)
{
    if (block == MAP_FAILED)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(block, bytes, MADV_HUGEPAGE);
#else
    (void)bytes;
#endif
    return static_cast<char*>(block);
}

} // namespace

char* koPageMemory::allocate(std::size_t bytes)
{
    return adviseLargePages(::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0),
                            bytes);
}

char* koPageMemory::resize(char* block, std::size_t bytes, std::size_t newBytes)
{
#ifdef MREMAP_MAYMOVE
    return adviseLargePages(::mremap(block, bytes, newBytes, MREMAP_MAYMOVE), newBytes);
#else
    // Without a call that moves pages, the bytes are copied once.
    char* moved = allocate(newBytes);
    std::memcpy(moved, block, std::min(bytes, newBytes));
    release(block, bytes);
    return moved;
#endif
}

void koPageMemory::release(char* block, std::size_t bytes)
{
    if (block)
        ::munmap(block, bytes);
}
