#include "koSessionSecondLinkTickets.h"

koSessionSecondLinkTickets::koSessionSecondLinkTickets(Clock::duration lifetime)
    : lifetime(lifetime)
{
}

void koSessionSecondLinkTickets::issue(unsigned short userId, const std::string& address)
{
    const Clock::time_point now = Clock::now();
    prune(now);
    tickets[userId] = Ticket{address, now};
}

bool koSessionSecondLinkTickets::take(unsigned short userId, const std::string& address)
{
    const auto found = tickets.find(userId);
    if (found == tickets.end())
        return false;
    // A request from another address leaves the ticket to its owner.
    if (found->second.address != address)
        return false;
    const bool fresh = Clock::now() - found->second.issued < lifetime;
    tickets.erase(found);
    return fresh;
}

void koSessionSecondLinkTickets::clear()
{
    tickets.clear();
}

void koSessionSecondLinkTickets::prune(Clock::time_point now)
{
    for (auto it = tickets.begin(); it != tickets.end();) {
        if (now - it->second.issued >= lifetime)
            it = tickets.erase(it);
        else
            ++it;
    }
}
