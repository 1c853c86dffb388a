// koMemoryPages readies the pages of a buffer ahead of the thread that fills
// it: never further than it was told, never touching a byte, and it stops
// at once when it is destroyed, whether the buffer was filled or not.
#include "koMemoryPages.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// A fresh anonymous mapping: no page of it is resident before it is touched.
class Mapping
{
public:
    explicit Mapping(std::size_t size)
        : size(size)
        , data(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))
    {
    }
    ~Mapping()
    {
        if (data != MAP_FAILED)
            ::munmap(data, size);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    bool ok() const { return data != MAP_FAILED; }
    char* bytes() const { return static_cast<char*>(data); }

    // Offset just past the last resident page, 0 when none is.
    std::size_t residentEnd() const
    {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        std::vector<unsigned char> map((size + page - 1) / page);
        if (::mincore(data, size, map.data()) != 0)
            return size;
        for (std::size_t i = map.size(); i-- > 0;) {
            if (map[i] & 1)
                return (i + 1) * page;
        }
        return 0;
    }

    // Waits (at most 10 s) until the pages up to `offset` are resident.
    bool waitResident(std::size_t offset) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (residentEnd() < offset) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    const std::size_t size;

private:
    void* data;
};

TEST(koMemoryPages, ReadiesPagesOnlyUpToItsMarginAheadOfTheFiller)
{
    Mapping buffer(64 * kMiB);
    ASSERT_TRUE(buffer.ok());
    const std::size_t ahead = 8 * kMiB;
    // A large page may round what is resident up to its next 2 MiB boundary.
    const std::size_t slack = 2 * kMiB;
    koMemoryPages pages(buffer.bytes(), buffer.size, ahead);
    // reached -> what must become resident, and the bound it may not pass
    for (std::size_t reached : {std::size_t(0), 16 * kMiB, 40 * kMiB}) {
        SCOPED_TRACE("filled " + std::to_string(reached / kMiB) + " MiB");
        pages.filled(reached);
        ASSERT_TRUE(buffer.waitResident(reached + ahead - slack));
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // give it the chance to overrun
        EXPECT_LE(buffer.residentEnd(), reached + ahead + slack);
    }
}

TEST(koMemoryPages, NeverChangesTheBytesTheFillerWrites)
{
    const std::size_t size = 48 * kMiB + 123;
    std::vector<char> expected(size);
    for (std::size_t i = 0; i < size; ++i)
        expected[i] = static_cast<char>(i * 131 + (i >> 20));
    std::vector<char> data;
    data.reserve(size);
    {
        koMemoryPages pages(data.data(), size, 4 * kMiB);
        for (std::size_t offset = 0; offset < size;) {
            const std::size_t piece = std::min(size - offset, kMiB + 7);
            data.insert(data.end(), expected.begin() + static_cast<std::ptrdiff_t>(offset),
                        expected.begin() + static_cast<std::ptrdiff_t>(offset + piece));
            offset += piece;
            pages.filled(offset);
        }
    }
    EXPECT_TRUE(data == expected);
}

TEST(koMemoryPages, StopsWhenDestroyedBeforeTheBufferIsFull)
{
    Mapping buffer(32 * kMiB);
    ASSERT_TRUE(buffer.ok());
    {
        koMemoryPages pages(buffer.bytes(), buffer.size, 2 * kMiB);
        pages.filled(0);
    }
    // Within its margin (and one large page) when it was stopped.
    EXPECT_LE(buffer.residentEnd(), 4 * kMiB);

    // Destroying it in every other state returns too (a hung join would run
    // into the time limit): part filled, all filled, nothing to do at all.
    for (std::size_t reached : {5 * kMiB, 32 * kMiB}) {
        koMemoryPages pages(buffer.bytes(), buffer.size, 2 * kMiB);
        pages.filled(reached);
    }
    koMemoryPages empty(nullptr, 0, kMiB);
    empty.filled(10);
}

} // namespace
