#pragma once

#include "koSessionExport.h"

#include <QByteArray>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

class koSessionChange;
class koSessionChangeReader;
class koSessionCommand;

// Thread-safe queue of change records. Every pushed change gets the next
// absolute index (from 1, never reused, never reset). The list is drained by
// popping its front or through readers with their own cursors. A scene-loading
// change discards everything before it; a state-mergable change replaces the
// held change with the same state identifier; a transient change goes once
// every registered reader has read it, or once the readers that had not read
// it are gone. An optional byte cap on the held changes drops the oldest ones
// that every reader has passed.
//
// Threads: every operation may be called from any thread; none blocks waiting
// for data. Held through std::shared_ptr; the list must outlive its readers.
// Its lock comes after the server's and a peer's (koSessionLockOrder.h).
class KOSESSION_EXPORT koSessionChangeList
{
public:
    using ChangePtr = std::shared_ptr<koSessionChange>;

    koSessionChangeList();
    koSessionChangeList(const koSessionChangeList&) = delete;
    koSessionChangeList& operator=(const koSessionChangeList&) = delete;
    // Releases the list's share of every change; leaves its readers as they are.
    ~koSessionChangeList();

    // Freezes `command` with changedBy 0 (the server's own changes) and pushes it.
    void push(const koSessionCommand& command);
    // Appends `change` (must not be empty); the list takes a share of it.
    void push(const ChangePtr& change);
    // Appends every change in order under one lock, moving the shares out
    // of `changes` (left holding empty pointers).
    void push(std::vector<ChangePtr>&& changes);
    // Removes and hands out the change with the lowest index; false, leaving
    // `out` untouched, when empty. Readers' cursors are not consulted.
    bool tryPop(ChangePtr& out);
    // Everything held, in order, taken under one lock.
    std::vector<ChangePtr> popAll();
    bool empty() const;
    std::uint64_t size() const;
    bool containsLoadScene() const;
    // Removes every change; indices and readers' cursors stay as they are.
    void clear();
    // Caps the bytes of the held changes (0, the default: no cap). Past it,
    // each push drops the oldest held changes that every registered reader
    // has passed, a scene load excepted, and logs that it did.
    void setMaxHeldBytes(std::uint64_t bytes);
    // Removes the held change with this state identifier, if there is one.
    void removeState(const QByteArray& stateId);

    // What a reader has not yet obtained of the changes pushed since it was
    // registered: their bytes and how long the oldest of them has waited.
    struct Backlog
    {
        std::uint64_t bytes = 0;
        std::chrono::steady_clock::duration age{};
    };

    // Makes a reader of this list and registers it; the returned pointer is its
    // only owner and the reader unregisters itself when destroyed. Indexed
    // readers walk the list by index; others pop its front.
    std::shared_ptr<koSessionChangeReader> getReader(bool indexed);

private:
    friend class koSessionChangeReader;

    // A held change and its absolute index. Changes leave the middle of the
    // list (merged, transient) by emptying `change`; emptied entries at the front
    // go at once, the others when they outnumber the held changes.
    struct Entry
    {
        std::uint64_t index;
        ChangePtr change;
        std::chrono::steady_clock::time_point pushed;
    };

    void pushNoLock(ChangePtr change);
    void clearNoLock();
    void mergeState(const QByteArray& stateId);
    ChangePtr eraseNoLock(std::size_t position);
    ChangePtr vacate(std::size_t position);
    void dropVacant();
    // The position of the first held change with an index above `index`
    // (entries.size() when there is none).
    std::size_t nextHeld(std::uint64_t index) const;
    std::size_t skipVacant(std::size_t position) const;
    bool tryGetNext(ChangePtr& out, std::uint64_t& index);
    std::size_t getNextSome(std::vector<ChangePtr>& out, std::uint64_t& index, std::size_t limit);
    std::size_t popSome(std::vector<ChangePtr>& out, std::size_t limit);
    std::uint64_t getMinReadIndex() const;
    // The smallest cursor among the registered readers other than the one
    // whose cursor is `own` (all 64 bits set when there is none), and whether
    // that one is registered.
    std::uint64_t getMinReadIndexOfOthers(const std::uint64_t* own, bool& ownRegistered) const;
    bool hasNext(const std::uint64_t& index) const;
    void subReader(koSessionChangeReader* reader);
    Backlog getBacklog(std::uint64_t after) const;
    void dropPassedTransients();
    void capHeldBytes();

    // Ascending by index; a deque so that a push or a pop allocates nothing
    // per change, unlike a tree's nodes.
    std::deque<Entry> entries;
    std::size_t held = 0; // entries whose change is set
    std::uint64_t heldBytes = 0; // their byte sizes, summed
    std::uint64_t maxHeldBytes = 0;
    std::chrono::steady_clock::time_point lastCapLog;
    std::map<QByteArray, std::uint64_t> stateIndices;
    std::uint64_t nextIndex = 1;
    std::vector<koSessionChangeReader*> readers;
    // Guards entries, held, heldBytes, maxHeldBytes, lastCapLog,
    // stateIndices, nextIndex, readers and every registered reader's cursor;
    // taken by every list operation and by readers through it. Defined with
    // the list, which keeps the lock order's types out of this header.
    class Guard;
    const std::unique_ptr<Guard> guard;
};
