#include "koProgressPieces.h"

#include "koNetProgress.h"

#include <algorithm>
#include <string>

namespace {

// A few milliseconds of hashing or reading: as often as the transfers
// themselves look at the abort request.
constexpr std::size_t Piece = std::size_t(4) << 20;

} // namespace

bool koProgressPieces::run(const char* text, std::size_t size, const std::function<bool(std::size_t, std::size_t)>& work)
{
    koNetProgress::start(text, static_cast<double>(size));
    bool done = true;
    for (std::size_t offset = 0; done && offset < size; offset += Piece) {
        const std::size_t length = std::min(Piece, size - offset);
        done = !koNetProgress::isAborting() && work(offset, length);
        koNetProgress::add(static_cast<double>(length));
    }
    koNetProgress::start(std::string(), 0.0);
    return done && !koNetProgress::isAborting();
}
