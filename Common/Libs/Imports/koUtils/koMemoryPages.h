#pragma once

#include <cstddef>
#include <memory>

// Gets a large buffer's memory ready while one thread fills it front to back
// (a scene arriving over a link): asks the system for large pages, and faults
// the pages in on a thread of its own, so that the kernel clears fresh pages
// beside the filling thread instead of inside it. That thread stays at most
// `ahead` bytes beyond what filled() reported, so memory grows only with the
// bytes really written plus that margin. Only a hint: where the system offers
// neither, nothing happens. It never reads or writes the buffer's bytes.
//
// Threads: construct, call filled() and destroy from the filling thread. The
// buffer must stay allocated (and not move) until the destructor returned.
class koMemoryPages
{
public:
    koMemoryPages(void* data, std::size_t size, std::size_t ahead);
    // Stops and joins the faulting thread. Throws nothing.
    ~koMemoryPages();

    koMemoryPages(const koMemoryPages&) = delete;
    koMemoryPages& operator=(const koMemoryPages&) = delete;

    // The filler has written the first `bytes` bytes. Throws nothing.
    void filled(std::size_t bytes) noexcept;

private:
    struct State;
    std::unique_ptr<State> state;
};
