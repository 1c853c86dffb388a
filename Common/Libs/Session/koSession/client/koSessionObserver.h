#pragma once

#include "koSessionExport.h"

class koSessionUser;
class koSessionUserPoseCommand;

// Hears of a participant's roster and pose events. A participant connection
// (koSessionClient) reports to the observer it was given, or else to the
// process-wide default one, which the facade (koSession) sets to itself.
//
// Threads: called on the thread that executes the change causing the event;
// the pose lives only during the call.
class KOSESSION_EXPORT koSessionObserver
{
public:
    virtual ~koSessionObserver();

    virtual void userAdded(const koSessionUser& user) = 0;
    virtual void userRemoved(unsigned short userId) = 0;
    virtual void userChanged(const koSessionUser& user) = 0;
    virtual void poseChanged(const koSessionUserPoseCommand& pose) = 0;

    // The process-wide default observer; null when none is set. Setting one
    // replaces the previous one. Any thread.
    static void setDefault(koSessionObserver* observer);
    static koSessionObserver* getDefault();
};
