#pragma once

#include "koBenchParticipants.h"
#include "koBenchServer.h"

struct koBenchSettings;

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

    koBenchServer server;
    koBenchParticipants people;
};
