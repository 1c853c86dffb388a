#pragma once

#include "koSessionExport.h"

#include <QString>

#include <vector>

class koSessionClient;
class koSessionUser;
class koSessionUserPoseCommand;

// What a received command may do where it is executed: the participant's
// connection (koSessionClient) or the server's peer of one participant. The
// library's commands use nothing else, so they need neither end's classes.
//
// Threads: called on the thread that executes the change (a participant's
// main thread or receiving thread, a peer's receiving thread).
class KOSESSION_EXPORT koSessionCommandContext
{
public:
    virtual ~koSessionCommandContext();

    // The user identifier of the participant this context belongs to.
    virtual unsigned short getUserId() const = 0;
    // Applies a roster the server broadcast.
    virtual void setUsers(const std::vector<koSessionUser>& users) = 0;
    // Takes the participant's own new record.
    virtual void updateUserInfo(const koSessionUser& user) = 0;
    // Reports a participant's pose; the command lives only during the call.
    virtual void showPose(const koSessionUserPoseCommand& pose) = 0;
    // Ends the session for everybody with `reason`.
    virtual void endForEverybody(const QString& reason) = 0;
    // The participant's connection, or null on the server: there a host's own
    // server command is executed with a null client.
    virtual koSessionClient* getClient() = 0;

    // The context of `client`; null for a null client. Defined beside
    // koSessionClient, which is one: a command cannot see that.
    static koSessionCommandContext* of(koSessionClient* client);
};
