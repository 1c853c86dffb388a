#pragma once

#include <memory>

#include "koBenchParticipants.h"
#include "koBenchServer.h"

struct koBenchSettings;
class koBenchProxy;

// One scenario's session: a kosession-server child and participants joined
// to it that all know the whole roster. Leaving ends the server. Main thread.
class koBenchSession
{
public:
    // Throws std::runtime_error when the server or a join fails.
    koBenchSession(const koBenchSettings& settings, int participants);
    ~koBenchSession();

    koBenchSession(const koBenchSession&) = delete;
    koBenchSession& operator=(const koBenchSession&) = delete;

    // Every participant leaves; the server then ends by itself.
    void leave();

    // Null unless --via-haproxy; outlives the server, which leaves its map.
    std::unique_ptr<koBenchProxy> proxy;
    koBenchServer server;
    koBenchParticipants people;
};
