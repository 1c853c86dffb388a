#include "koSessionObserver.h"

#include <atomic>

namespace {

std::atomic<koSessionObserver*> defaultObserver{nullptr};

} // namespace

koSessionObserver::~koSessionObserver() = default;

void koSessionObserver::setDefault(koSessionObserver* observer)
{
    defaultObserver = observer;
}

koSessionObserver* koSessionObserver::getDefault()
{
    return defaultObserver;
}
