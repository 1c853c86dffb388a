#pragma once

#include "koSessionCommandContext.h"
#include "koSessionLinkPump.h"
#include "koSessionMutex.h"
#include "koSessionUser.h"

#include <chrono>
#include <memory>
#include <vector>

class koNetLink;
class koSessionChange;
class koSessionChangeList;
class koSessionChangeReader;
class koSessionRelay;

// The server's side of one admitted participant: completes its join, pairs
// its second link and relays its changes. Its sending threads pass the shared
// lists' changes on to the participant (not its own unless they echo, not
// those addressed to another) and drop it when it falls too far behind; its
// receiving threads put what the participant sends into the shared lists,
// execute server commands here and refuse an end notice, which only the
// server may send. It is the context of the server commands it executes: a
// host's own server command gets a null client there.
//
// Made by the server's handshake job, which calls accept(); held by the
// server through std::shared_ptr; the destructor stops and joins the threads,
// so it must not run on one of them. Its lock's place in the order is in
// koSessionLockOrder.h.
class koSessionServerPeer : public koSessionCommandContext, private koSessionLinkPump::Owner
{
public:
    koSessionServerPeer();
    ~koSessionServerPeer() override;

    koSessionServerPeer(const koSessionServerPeer&) = delete;
    koSessionServerPeer& operator=(const koSessionServerPeer&) = delete;

    // Reads the participant's record, settles its identifier and colour,
    // answers and starts the main link's threads on `changes`. Throws
    // koNetError when the link fails or the record is over its limits.
    void accept(koSessionRelay* server, const std::shared_ptr<koSessionChangeList>& changes,
                const std::shared_ptr<koNetLink>& link, unsigned short userId, int colorIndex);
    // Makes `link` the second link and starts its threads on `changes`.
    // Throws koNetError when the link fails or the peer is not waiting for one.
    void acceptAsyncLink(const std::shared_ptr<koSessionChangeList>& changes,
                         const std::shared_ptr<koNetLink>& link);

    // False once any of the peer's threads has ended. Any thread.
    bool isConnected();
    // A copy of the participant's record; any thread.
    koSessionUser copyUser() const;
    int getColorIndex() const;

    // --- Context of the server commands (the receiving threads) ----------

    unsigned short getUserId() const override;
    // Takes the participant's new record and broadcasts the roster; a record
    // above its limits ends the peer's links instead.
    void updateUserInfo(const koSessionUser& info) override;
    // The server keeps no roster or pose of a participant's making: these
    // come only from the server, so a participant's own are ignored here.
    void setUsers(const std::vector<koSessionUser>& users) override;
    void showPose(const koSessionUserPoseCommand& pose) override;
    void endForEverybody(const QString& reason) override;
    koSessionClient* getClient() override;

private:
    // koSessionLinkPump::Owner
    bool passOn(const koSessionChange& change, const koSessionChangeReader& reader,
                koSessionLinkPump::SendState& state) override;
    bool executesAtOnce(const koSessionChange& change) override;
    void relay(std::vector<std::shared_ptr<koSessionChange>>&& changes,
               const std::shared_ptr<koSessionChangeList>& list) override;
    void linkClosed() override;
    void threadEnded() override;

    // Throws koNetError when the participant's backlog (what its reader has
    // not obtained, plus what the sending thread holds unsent) is past its
    // bounds; measures at most once per interval.
    void checkBacklog(const koSessionChangeReader& reader, koSessionLinkPump::SendState& state);

    // Guards `user` against the server's threads. Taken briefly; never held
    // while doing I/O or calling into the server.
    mutable koSessionMutex mutex{koSessionLockRank::Client, "koSessionServerPeer::mutex"};
    koSessionUser user;
    // Set by accept before any thread starts; fixed afterwards.
    unsigned short participant = 0;
    int colorIndex = 0;
    koSessionRelay* server = nullptr;
    std::shared_ptr<koSessionChangeList> mainChanges;
    // Declared last: its threads end before the members they use go.
    koSessionLinkPump pump;
};
