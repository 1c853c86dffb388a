#pragma once

#include "koSessionExport.h"
#include "koSessionChangeList.h"

#include <cstdint>
#include <memory>
#include <vector>

class koSessionChange;

// A cursor over a change list. Indexed: walks the list by index and leaves the
// changes in place, so several readers see the same sequence. Not indexed
// (consuming): pops the list's front, and its cursor stays 0.
//
// Threads: one thread at a time per reader; different readers of one list may
// run on different threads. Holds a plain pointer: the list must outlive it.
class KOSESSION_EXPORT koSessionChangeReader
{
public:
    using ChangePtr = std::shared_ptr<koSessionChange>;

    // Not registered with the list: only koSessionChangeList::getReader does that.
    explicit koSessionChangeReader(koSessionChangeList* list = nullptr, bool indexed = true);
    koSessionChangeReader(const koSessionChangeReader& other);
    // Copies list, cursor and mode; the copy is not registered.
    koSessionChangeReader& operator=(const koSessionChangeReader& other);
    // Unregisters the reader from its list, if it has one.
    ~koSessionChangeReader();

    // The next change; false at the end or without a list.
    bool tryPop(ChangePtr& out);
    std::vector<ChangePtr> popAll();
    // Appends up to `limit` next changes to `out` under one lock of the list,
    // exactly as that many tryPop calls would; answers how many. For threads
    // that relay whatever is waiting (the sending threads of a connection).
    std::size_t popSome(std::vector<ChangePtr>& out, std::size_t limit);
    bool empty() const;
    // Index of the last change obtained in indexed mode (0: none). Read without
    // the list's lock, so only the thread that uses this reader may call it.
    std::uint64_t getCurrentIndex() const;
    // What this indexed reader has not yet obtained of the changes pushed
    // since it was registered (what was held before does not count). Only the
    // thread that uses this reader may call it.
    koSessionChangeList::Backlog getBacklog() const;

private:
    // The list moves the cursor and reads it for the minimum over readers,
    // always under its own mutex.
    friend class koSessionChangeList;

    koSessionChangeList* list;
    std::uint64_t currentIndex = 0;
    // The list's last index when the reader was registered.
    std::uint64_t registeredAfter = 0;
    bool indexed;
};
