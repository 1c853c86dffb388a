#pragma once

#include <cstdint>
#include <string>

// Resource figures of a running process, read from /proc (Linux).
struct koProcessFigures
{
    int threads = -1;             // entries of /proc/<pid>/task
    int descriptors = -1;         // entries of /proc/<pid>/fd
    std::int64_t residentKiB = -1; // VmRSS of /proc/<pid>/status

    bool isValid() const { return threads > 0 && descriptors >= 0 && residentKiB > 0; }
    std::string toString() const;
};

// Reads the figures of one process; any thread. Figures it cannot read stay -1.
class koProcessProbe
{
public:
    explicit koProcessProbe(std::int64_t pid);

    koProcessFigures read() const;

    // The process id of a child of this process that runs `program` (a
    // path); -1 when there is none.
    static std::int64_t findChild(const std::string& program);

private:
    static int countEntries(const std::string& directory);
    std::int64_t readResidentKiB() const;

    std::string root; // "/proc/<pid>"
};
