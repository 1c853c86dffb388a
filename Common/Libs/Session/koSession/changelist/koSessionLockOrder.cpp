#include "koSessionLockOrder.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

struct HeldLock
{
    koSessionLockRank rank;
    const char* name;
};

// The library nests two locks at most; a thread past this bound has lost
// track of what it holds.
constexpr int MaxHeld = 16;

// The locks this thread holds, in the order taken. Plain data, so a thread
// pays nothing to set it up or tear it down.
struct HeldLocks
{
    HeldLock locks[MaxHeld];
    int count = 0;
};

thread_local HeldLocks held;

[[noreturn]] void fail(const char* format, ...)
{
    std::fputs("Lock order broken: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputs("; the order is written in koSessionLockOrder.h\n", stderr);
    std::abort();
}

} // namespace

void koSessionLockOrder::checkTake(koSessionLockRank rank, const char* name)
{
    for (int i = 0; i < held.count; ++i) {
        if (held.locks[i].rank >= rank)
            fail("taking \"%s\" while holding \"%s\"", name, held.locks[i].name);
    }
}

void koSessionLockOrder::taken(koSessionLockRank rank, const char* name)
{
    if (held.count == MaxHeld)
        fail("taking \"%s\" while holding %d locks", name, MaxHeld);
    held.locks[held.count++] = {rank, name};
}

// Locks may be released out of the order they were taken in (a unique_lock
// let go early), so the entry is looked for rather than assumed on top.
void koSessionLockOrder::released(koSessionLockRank rank, const char* name)
{
    for (int i = held.count - 1; i >= 0; --i) {
        if (held.locks[i].rank != rank)
            continue;
        for (int j = i + 1; j < held.count; ++j)
            held.locks[j - 1] = held.locks[j];
        --held.count;
        return;
    }
    fail("releasing \"%s\", which this thread does not hold", name);
}
