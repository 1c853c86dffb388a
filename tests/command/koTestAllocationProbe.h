#pragma once

#include <cstddef>

namespace koTest {

// Watches every operator new of the process while it is alive and keeps the
// largest single request. This test program replaces the global operator new
// and delete for that (koTestAllocationProbe.cpp); one probe at a time.
class AllocationProbe
{
public:
    AllocationProbe();
    ~AllocationProbe();
    AllocationProbe(const AllocationProbe&) = delete;
    AllocationProbe& operator=(const AllocationProbe&) = delete;

    std::size_t largest() const;
};

} // namespace koTest
