#include "koTestAllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> watching{false};
std::atomic<std::size_t> largestRequest{0};

void* allocate(std::size_t size) noexcept
{
    std::size_t seen = largestRequest.load(std::memory_order_relaxed);
    while (watching.load(std::memory_order_relaxed) && size > seen
           && !largestRequest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
    return std::malloc(size ? size : 1);
}

} // namespace

koTest::AllocationProbe::AllocationProbe()
{
    largestRequest = 0;
    watching = true;
}

koTest::AllocationProbe::~AllocationProbe()
{
    watching = false;
}

std::size_t koTest::AllocationProbe::largest() const
{
    return largestRequest.load();
}

// Every form is replaced, so that whatever allocates through one form frees
// through a matching one (malloc and free underneath all of them).
void* operator new(std::size_t size)
{
    if (void* memory = allocate(size))
        return memory;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}
