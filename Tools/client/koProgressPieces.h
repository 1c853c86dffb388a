#pragma once

#include <cstddef>
#include <functional>

// Works through a large scene a piece at a time under the library's progress,
// so that the bar moves and Ctrl-C (which the progress bar turns into an
// abort request) stops the work within one piece. Main thread.
class koProgressPieces
{
public:
    // Does `work(offset, length)` for consecutive pieces of `size` bytes
    // under progress `text`. True when all were done; false when `work`
    // answered false or the user aborted (koNetProgress::isAborting()).
    static bool run(const char* text, std::size_t size, const std::function<bool(std::size_t, std::size_t)>& work);
};
