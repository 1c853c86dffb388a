#pragma once

#include <chrono>
#include <map>
#include <string>

// Who may attach the second link of a just admitted participant: only a
// connection from that participant's own peer address, only once, and only
// within a short time after its join. Without this, anyone who guesses the
// next user identifier could take a newcomer's second link.
//
// Not thread-safe: the server uses it under its own mutex.
class koSessionSecondLinkTickets
{
public:
    using Clock = std::chrono::steady_clock;

    explicit koSessionSecondLinkTickets(Clock::duration lifetime);

    // Called when participant `userId` from `address` has been admitted.
    void issue(unsigned short userId, const std::string& address);
    // True, once, when `userId` holds a ticket for `address` that is younger
    // than the lifetime. A request from another address leaves the ticket.
    bool take(unsigned short userId, const std::string& address);
    void clear();

private:
    struct Ticket
    {
        std::string address;
        Clock::time_point issued;
    };

    // Drops expired tickets, so the map only holds recent admissions.
    void prune(Clock::time_point now);

    const Clock::duration lifetime;
    std::map<unsigned short, Ticket> tickets;
};
