#include "koMemoryPages.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// Pages are faulted in this many bytes at a time: one large page.
constexpr std::size_t kStep = 2 * 1024 * 1024;

// madvise wants whole pages: [begin, end) shrunk to the pages it covers.
bool wholePages(std::uintptr_t& begin, std::uintptr_t& end)
{
#if defined(__linux__)
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pageSize <= 0)
        return false;
    const auto page = static_cast<std::uintptr_t>(pageSize);
    begin = (begin + page - 1) / page * page;
    end = end / page * page;
    return end > begin;
#else
    (void)begin;
    (void)end;
    return false;
#endif
}

void preferLargePages(std::uintptr_t begin, std::uintptr_t end)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (wholePages(begin, end))
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE); // a refusal changes nothing
#else
    (void)begin;
    (void)end;
#endif
}

// Faults in the pages of [begin, end) writable without touching their bytes.
// Returns false when the system cannot, so the caller stops trying.
bool faultIn(std::uintptr_t begin, std::uintptr_t end)
{
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    if (!wholePages(begin, end))
        return true;
    return ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0;
#else
    (void)begin;
    (void)end;
    return false;
#endif
}

} // namespace

struct koMemoryPages::State
{
    std::uintptr_t begin = 0;
    std::size_t size = 0;
    std::size_t ahead = 0;

    // Guards `reached` and `stop`; taken by filled(), the destructor and the
    // faulting thread between two steps.
    std::mutex mutex;
    std::condition_variable wake;
    std::size_t reached = 0;
    bool stop = false;

    std::thread thread;

    // The faulting thread: waits for the filler to move, then faults in up
    // to `ahead` bytes beyond it, a step at a time.
    void run() noexcept
    {
        try {
            std::size_t done = 0;
            for (;;) {
                std::size_t target = 0;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    wake.wait(lock, [&] { return stop || std::min(size, reached + ahead) > done; });
                    if (stop)
                        return;
                    target = std::min(size, reached + ahead);
                    // What the filler already wrote needs no faulting in.
                    done = std::max(done, reached);
                }
                for (; done < target; done = std::min(target, done + kStep)) {
                    if (!faultIn(begin + done, begin + std::min(target, done + kStep)))
                        return;
                    std::lock_guard<std::mutex> lock(mutex);
                    if (stop)
                        return;
                }
            }
        } catch (...) {
            // Only a hint: the filler faults the pages in itself.
        }
    }
};

koMemoryPages::koMemoryPages(void* data, std::size_t size, std::size_t ahead)
    : state(new State)
{
    state->begin = reinterpret_cast<std::uintptr_t>(data);
    state->size = size;
    state->ahead = ahead;
    if (data == nullptr || size == 0)
        return;
    preferLargePages(state->begin, state->begin + size);
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    try {
        state->thread = std::thread([s = state.get()] { s->run(); });
    } catch (...) {
        // No thread: the filler faults the pages in itself.
    }
#endif
}

koMemoryPages::~koMemoryPages()
{
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stop = true;
    }
    state->wake.notify_all();
    if (state->thread.joinable())
        state->thread.join();
}

void koMemoryPages::filled(std::size_t bytes) noexcept
{
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->reached = std::max(state->reached, bytes);
    }
    state->wake.notify_all();
}
