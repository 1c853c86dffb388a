#pragma once

#include "koSessionUser.h"

#include <chrono>
#include <string>

// One participant in a koSessionServer's roster, as seen by
// koSessionServer::getParticipants: its record, where it connected from and
// when it was admitted.
struct koSessionServerParticipant
{
    koSessionUser user;
    // The peer's host, without port.
    std::string address;
    std::chrono::system_clock::time_point joined;
};
