#include "koSessionChangeList.h"

#include "koSessionChange.h"
#include "koSessionChangeReader.h"

#include <algorithm>
#include <iterator>
#include <limits>

koSessionChangeList::koSessionChangeList() = default;

koSessionChangeList::~koSessionChangeList() = default;

void koSessionChangeList::push(const koSessionCommand& command)
{
    push(std::make_shared<koSessionChange>(command, 0));
}

void koSessionChangeList::push(const ChangePtr& change)
{
    std::lock_guard<std::mutex> lock(mutex);
    pushNoLock(change);
}

void koSessionChangeList::pushNoLock(const ChangePtr& change)
{
    // A scene load makes everything before it meaningless; the merge then finds
    // nothing left to replace.
    if (change->isLoadScene())
        clearNoLock();
    if (change->isStateMergable())
        mergeState(change->getStateId());
    changes.emplace_hint(changes.end(), nextIndex, change);
    ++nextIndex;
}

bool koSessionChangeList::tryPop(ChangePtr& out)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (changes.empty())
        return false;
    const auto front = changes.begin();
    out = front->second;
    eraseNoLock(front);
    return true;
}

std::vector<koSessionChangeList::ChangePtr> koSessionChangeList::popAll()
{
    std::vector<ChangePtr> popped;
    ChangePtr change;
    while (tryPop(change))
        popped.push_back(std::move(change));
    return popped;
}

bool koSessionChangeList::empty() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return changes.empty();
}

std::uint64_t koSessionChangeList::size() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return changes.size();
}

bool koSessionChangeList::containsLoadScene() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::any_of(changes.begin(), changes.end(),
                       [](const auto& entry) { return entry.second->isLoadScene(); });
}

void koSessionChangeList::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    clearNoLock();
}

std::shared_ptr<koSessionChangeReader> koSessionChangeList::getReader(bool indexed)
{
    // Made before the lock is taken: if the holder cannot be made, the reader's
    // destructor runs (and unregisters nothing) without finding the lock held.
    auto reader = std::make_shared<koSessionChangeReader>(this, indexed);
    std::lock_guard<std::mutex> lock(mutex);
    readers.push_back(reader.get());
    return reader;
}

void koSessionChangeList::clearNoLock()
{
    changes.clear();
    stateIndices.clear();
}

void koSessionChangeList::mergeState(const QByteArray& stateId)
{
    const auto found = stateIndices.find(stateId);
    if (found == stateIndices.end()) {
        stateIndices.emplace(stateId, nextIndex);
        return;
    }
    changes.erase(found->second);
    found->second = nextIndex;
}

// Removes a held change and, for a state-mergable one, its state entry.
void koSessionChangeList::eraseNoLock(std::map<std::uint64_t, ChangePtr>::iterator position)
{
    if (position->second->isStateMergable())
        stateIndices.erase(position->second->getStateId());
    changes.erase(position);
}

bool koSessionChangeList::tryGetNext(ChangePtr& out, std::uint64_t& index)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto next = changes.upper_bound(index);
    if (next == changes.end())
        return false;
    index = next->first;
    out = next->second;
    // A transient change stays until the slowest registered reader has it.
    if (out->isTransient() && getMinReadIndex() == index)
        eraseNoLock(next);
    return true;
}

// One lock for up to `limit` changes: a relaying thread takes what is waiting
// in one go instead of contending with the pushing thread once per change. The
// outcome is that of as many tryGetNext calls in a row.
std::size_t koSessionChangeList::getNextSome(std::vector<ChangePtr>& out, std::uint64_t& index,
                                             std::size_t limit)
{
    std::lock_guard<std::mutex> lock(mutex);
    // Only the calling reader's cursor moves meanwhile, so the others' minimum
    // holds for the whole batch; it is needed only once a transient shows up.
    std::uint64_t othersMinimum = 0;
    bool ownRegistered = false;
    bool minimumKnown = false;
    std::size_t taken = 0;
    for (auto next = changes.upper_bound(index); taken < limit && next != changes.end(); ++taken) {
        const auto following = std::next(next);
        index = next->first;
        out.push_back(next->second);
        if (next->second->isTransient()) {
            if (!minimumKnown) {
                othersMinimum = getMinReadIndexOfOthers(&index, ownRegistered);
                minimumKnown = true;
            }
            const std::uint64_t minimum = ownRegistered ? std::min(othersMinimum, index) : othersMinimum;
            if (minimum == index)
                eraseNoLock(next);
        }
        next = following;
    }
    return taken;
}

std::size_t koSessionChangeList::popSome(std::vector<ChangePtr>& out, std::size_t limit)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t taken = 0;
    for (; taken < limit && !changes.empty(); ++taken) {
        const auto front = changes.begin();
        out.push_back(front->second);
        eraseNoLock(front);
    }
    return taken;
}

std::uint64_t koSessionChangeList::getMinReadIndexOfOthers(const std::uint64_t* own, bool& ownRegistered) const
{
    std::uint64_t minimum = std::numeric_limits<std::uint64_t>::max();
    ownRegistered = false;
    for (const koSessionChangeReader* reader : readers) {
        if (&reader->currentIndex == own)
            ownRegistered = true;
        else
            minimum = std::min(minimum, reader->currentIndex);
    }
    return minimum;
}

std::uint64_t koSessionChangeList::getMinReadIndex() const
{
    std::uint64_t minimum = std::numeric_limits<std::uint64_t>::max();
    for (const koSessionChangeReader* reader : readers)
        minimum = std::min(minimum, reader->currentIndex);
    return minimum;
}

bool koSessionChangeList::hasNext(const std::uint64_t& index) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return changes.upper_bound(index) != changes.end();
}

void koSessionChangeList::subReader(koSessionChangeReader* reader)
{
    std::lock_guard<std::mutex> lock(mutex);
    readers.erase(std::remove(readers.begin(), readers.end(), reader), readers.end());
}
