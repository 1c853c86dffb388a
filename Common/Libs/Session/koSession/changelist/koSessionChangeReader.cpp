#include "koSessionChangeReader.h"

#include "koSessionChangeList.h"

#include <algorithm>

koSessionChangeReader::koSessionChangeReader(koSessionChangeList* list, bool indexed)
    : list(list)
    , indexed(indexed)
{
}

koSessionChangeReader::koSessionChangeReader(const koSessionChangeReader& other) = default;

koSessionChangeReader& koSessionChangeReader::operator=(const koSessionChangeReader& other) = default;

koSessionChangeReader::~koSessionChangeReader()
{
    if (list)
        list->subReader(this);
}

bool koSessionChangeReader::tryPop(ChangePtr& out)
{
    if (!list)
        return false;
    if (indexed)
        return list->tryGetNext(out, currentIndex);
    return list->tryPop(out);
}

std::vector<koSessionChangeReader::ChangePtr> koSessionChangeReader::popAll()
{
    std::vector<ChangePtr> popped;
    ChangePtr change;
    while (list && tryPop(change))
        popped.push_back(std::move(change));
    return popped;
}

std::size_t koSessionChangeReader::popSome(std::vector<ChangePtr>& out, std::size_t limit)
{
    if (!list)
        return 0;
    if (indexed)
        return list->getNextSome(out, currentIndex, limit);
    return list->popSome(out, limit);
}

bool koSessionChangeReader::empty() const
{
    if (!list)
        return true;
    if (indexed)
        return !list->hasNext(currentIndex);
    return list->empty();
}

std::uint64_t koSessionChangeReader::getCurrentIndex() const
{
    return currentIndex;
}

koSessionChangeList::Backlog koSessionChangeReader::getBacklog() const
{
    if (!list || !indexed)
        return koSessionChangeList::Backlog();
    return list->getBacklog(std::max(currentIndex, registeredAfter));
}
