#include "koSessionChangeList.h"

#include "koSessionChange.h"
#include "koSessionChangeReader.h"
#include "koSessionMutex.h"

#include "koCoarseClock.h"
#include "koLog.h"

#include <algorithm>
#include <limits>

namespace {

// A list at its byte cap drops changes on every push; one line in this
// interval says so.
constexpr std::chrono::seconds CapLogInterval(10);

} // namespace

class koSessionChangeList::Guard
{
public:
    koSessionMutex mutex{koSessionLockRank::ChangeList, "koSessionChangeList::mutex"};
};

koSessionChangeList::koSessionChangeList()
    : guard(std::make_unique<Guard>())
{
}

koSessionChangeList::~koSessionChangeList() = default;

void koSessionChangeList::push(const koSessionCommand& command)
{
    push(std::make_shared<koSessionChange>(command, 0));
}

void koSessionChangeList::push(const ChangePtr& change)
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    pushNoLock(change);
}

void koSessionChangeList::push(std::vector<ChangePtr>&& changes)
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    for (ChangePtr& change : changes)
        pushNoLock(std::move(change));
}

void koSessionChangeList::pushNoLock(ChangePtr change)
{
    // A scene load makes everything before it meaningless; the merge then finds
    // nothing left to replace.
    if (change->isLoadScene())
        clearNoLock();
    if (change->isStateMergable())
        mergeState(change->getStateId());
    ++held;
    heldBytes += change->getByteSize();
    entries.push_back(Entry{nextIndex, std::move(change), koCoarseClock::now()});
    ++nextIndex;
    if (maxHeldBytes > 0 && heldBytes > maxHeldBytes)
        capHeldBytes();
    dropVacant();
}

void koSessionChangeList::setMaxHeldBytes(std::uint64_t bytes)
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    maxHeldBytes = bytes;
}

void koSessionChangeList::removeState(const QByteArray& stateId)
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    const auto found = stateIndices.find(stateId);
    if (found == stateIndices.end())
        return;
    const auto position = std::lower_bound(entries.begin(), entries.end(), found->second,
                                           [](const Entry& entry, std::uint64_t index) { return entry.index < index; });
    stateIndices.erase(found);
    if (position != entries.end() && position->change && position->change->getStateId() == stateId)
        vacate(static_cast<std::size_t>(position - entries.begin()));
    dropVacant();
}

// Oldest first, and only what every registered reader has either obtained or
// found held when it came: the cap shortens a newcomer's replay, never what
// a participant has yet to receive of what was sent while it was there.
void koSessionChangeList::capHeldBytes()
{
    std::uint64_t passed = std::numeric_limits<std::uint64_t>::max();
    for (const koSessionChangeReader* reader : readers)
        passed = std::min(passed, std::max(reader->currentIndex, reader->registeredAfter));
    const std::uint64_t before = heldBytes;
    std::size_t dropped = 0;
    for (std::size_t position = 0; position < entries.size() && heldBytes > maxHeldBytes; ++position) {
        const Entry& entry = entries[position];
        if (entry.index > passed)
            break;
        if (!entry.change || entry.change->isLoadScene())
            continue;
        eraseNoLock(position);
        ++dropped;
    }
    const auto now = std::chrono::steady_clock::now();
    if (dropped > 0 && now - lastCapLog >= CapLogInterval) {
        lastCapLog = now;
        koLog::warning("Held changes exceeded %llu bytes: the %zu oldest (%llu bytes) were dropped",
                       static_cast<unsigned long long>(maxHeldBytes), dropped,
                       static_cast<unsigned long long>(before - heldBytes));
    }
}

bool koSessionChangeList::tryPop(ChangePtr& out)
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    if (held == 0)
        return false;
    out = eraseNoLock(0);
    dropVacant();
    return true;
}

std::vector<koSessionChangeList::ChangePtr> koSessionChangeList::popAll()
{
    std::vector<ChangePtr> popped;
    popSome(popped, std::numeric_limits<std::size_t>::max());
    return popped;
}

bool koSessionChangeList::empty() const
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    return held == 0;
}

std::uint64_t koSessionChangeList::size() const
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    return held;
}

bool koSessionChangeList::containsLoadScene() const
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    return std::any_of(entries.begin(), entries.end(),
                       [](const Entry& entry) { return entry.change && entry.change->isLoadScene(); });
}

void koSessionChangeList::clear()
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    clearNoLock();
}

std::shared_ptr<koSessionChangeReader> koSessionChangeList::getReader(bool indexed)
{
    // Made before the lock is taken: if the holder cannot be made, the reader's
    // destructor runs (and unregisters nothing) without finding the lock held.
    auto reader = std::make_shared<koSessionChangeReader>(this, indexed);
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    readers.push_back(reader.get());
    reader->registeredAfter = nextIndex - 1;
    return reader;
}

void koSessionChangeList::clearNoLock()
{
    entries.clear();
    held = 0;
    heldBytes = 0;
    stateIndices.clear();
}

void koSessionChangeList::mergeState(const QByteArray& stateId)
{
    const auto found = stateIndices.find(stateId);
    if (found == stateIndices.end()) {
        stateIndices.emplace(stateId, nextIndex);
        return;
    }
    // The replaced change is still held: find its entry by its index.
    const auto position = std::lower_bound(entries.begin(), entries.end(), found->second,
                                           [](const Entry& entry, std::uint64_t index) { return entry.index < index; });
    if (position != entries.end() && position->index == found->second && position->change)
        vacate(static_cast<std::size_t>(position - entries.begin()));
    found->second = nextIndex;
}

// Removes a held change and, for a state-mergable one, its state entry. The
// entry stays (positions remain valid) until the caller's dropVacant().
koSessionChangeList::ChangePtr koSessionChangeList::eraseNoLock(std::size_t position)
{
    const ChangePtr& change = entries[position].change;
    if (change->isStateMergable())
        stateIndices.erase(change->getStateId());
    return vacate(position);
}

// Empties the entry and hands out the list's share of its change, which the
// caller may keep instead of copying it first.
koSessionChangeList::ChangePtr koSessionChangeList::vacate(std::size_t position)
{
    heldBytes -= entries[position].change->getByteSize();
    --held;
    return std::move(entries[position].change);
}

// Emptied entries at the front go at once; the rest when they are more than
// the held changes, so a long-held change in front of many merges cannot let
// the list grow without bound. Positions found before this call are void.
void koSessionChangeList::dropVacant()
{
    while (!entries.empty() && !entries.front().change)
        entries.pop_front();
    if (entries.size() > 2 * held + 64)
        entries.erase(std::remove_if(entries.begin(), entries.end(), [](const Entry& entry) { return !entry.change; }),
                     entries.end());
}

std::size_t koSessionChangeList::nextHeld(std::uint64_t index) const
{
    const auto position = std::upper_bound(entries.begin(), entries.end(), index,
                                           [](std::uint64_t value, const Entry& entry) { return value < entry.index; });
    return skipVacant(static_cast<std::size_t>(position - entries.begin()));
}

std::size_t koSessionChangeList::skipVacant(std::size_t position) const
{
    while (position < entries.size() && !entries[position].change)
        ++position;
    return position;
}

bool koSessionChangeList::tryGetNext(ChangePtr& out, std::uint64_t& index)
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    const std::size_t next = nextHeld(index);
    if (next == entries.size())
        return false;
    index = entries[next].index;
    out = entries[next].change;
    // A transient change stays until the slowest registered reader has it.
    if (out->isTransient() && getMinReadIndex() == index) {
        eraseNoLock(next);
        dropVacant();
    }
    return true;
}

// One lock for up to `limit` changes: a relaying thread takes what is waiting
// in one go instead of contending with the pushing thread once per change. The
// outcome is that of as many tryGetNext calls in a row.
std::size_t koSessionChangeList::getNextSome(std::vector<ChangePtr>& out, std::uint64_t& index,
                                             std::size_t limit)
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    // Only the calling reader's cursor moves meanwhile, so the others' minimum
    // holds for the whole batch; it is needed only once a transient shows up.
    std::uint64_t othersMinimum = 0;
    bool ownRegistered = false;
    bool minimumKnown = false;
    bool vacated = false;
    std::size_t taken = 0;
    for (std::size_t next = nextHeld(index); taken < limit && next < entries.size(); ++taken) {
        Entry& entry = entries[next];
        index = entry.index;
        out.push_back(entry.change);
        if (entry.change->isTransient()) {
            if (!minimumKnown) {
                othersMinimum = getMinReadIndexOfOthers(&index, ownRegistered);
                minimumKnown = true;
            }
            const std::uint64_t minimum = ownRegistered ? std::min(othersMinimum, index) : othersMinimum;
            if (minimum == index) {
                eraseNoLock(next);
                vacated = true;
            }
        }
        next = skipVacant(next + 1);
    }
    // Positions stay valid through the loop; the emptied entries go afterwards.
    if (vacated)
        dropVacant();
    return taken;
}

std::size_t koSessionChangeList::popSome(std::vector<ChangePtr>& out, std::size_t limit)
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    std::size_t taken = 0;
    for (; taken < limit && held > 0; ++taken) {
        // The front is held: dropVacant leaves no empty entry there.
        out.push_back(eraseNoLock(0));
        dropVacant();
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
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    return nextHeld(index) != entries.size();
}

void koSessionChangeList::subReader(koSessionChangeReader* reader)
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    readers.erase(std::remove(readers.begin(), readers.end(), reader), readers.end());
    dropPassedTransients();
}

// A transient change goes when the last reader that needed it reads it; when
// that reader goes away instead, nobody else would ever take it out, and the
// next newcomer would receive it.
void koSessionChangeList::dropPassedTransients()
{
    const std::uint64_t passed = getMinReadIndex();
    bool vacated = false;
    for (std::size_t position = 0; position < entries.size() && entries[position].index <= passed; ++position) {
        if (entries[position].change && entries[position].change->isTransient()) {
            eraseNoLock(position);
            vacated = true;
        }
    }
    if (vacated)
        dropVacant();
}

koSessionChangeList::Backlog koSessionChangeList::getBacklog(std::uint64_t after) const
{
    std::lock_guard<koSessionMutex> lock(guard->mutex);
    Backlog backlog;
    std::size_t position = nextHeld(after);
    if (position < entries.size())
        backlog.age = std::chrono::steady_clock::now() - entries[position].pushed;
    for (; position < entries.size(); position = skipVacant(position + 1))
        backlog.bytes += entries[position].change->getByteSize();
    return backlog;
}
