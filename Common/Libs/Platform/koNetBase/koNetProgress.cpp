#include "koNetProgress.h"

#include <mutex>

namespace {

struct Shared
{
    // Guards state and observer. Taken by every koNetProgress operation for
    // a moment; never held while the observer runs.
    std::mutex mutex;
    koNetProgress::State state;
    koNetProgress::Observer observer;
};

Shared& shared()
{
    static Shared s;
    return s;
}

// Applies `change` under the lock, then tells the observer without it.
template <class Change>
void update(Change change)
{
    Shared& s = shared();
    koNetProgress::State copy;
    koNetProgress::Observer observer;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        change(s.state);
        copy = s.state;
        observer = s.observer;
    }
    if (observer)
        observer(copy);
}

} // namespace

void koNetProgress::start(const std::string& text, double total)
{
    update([&](State& state) {
        const bool aborting = state.aborting;
        state = State();
        state.text = text;
        if (text.empty()) {
            state.aborting = aborting;
        } else {
            state.total = total;
        }
    });
}

void koNetProgress::add(double amount)
{
    update([&](State& state) { state.done += amount; });
}

bool koNetProgress::isAborting()
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    return shared().state.aborting;
}

void koNetProgress::requestAbort()
{
    update([](State& state) { state.aborting = true; });
}

koNetProgress::State koNetProgress::getState()
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    return shared().state;
}

koNetProgress::Observer koNetProgress::setObserver(Observer observer)
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    Observer previous = std::move(shared().observer);
    shared().observer = std::move(observer);
    return previous;
}
