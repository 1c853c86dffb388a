#pragma once

// The order in which the library's locks nest. A thread that holds a lock
// may take only a lock of a later rank; two locks of one rank are never held
// at once (two peers, two lists). Every mutex of the library is a
// koSessionMutex with its rank below. Each entry says who takes which lock
// under it.
//
//   FacadeJoining  koSession: the join in progress; cancelJoin takes that
//                  client's lock under it.
//   Server         koSessionRelay (behind koSessionServer): roster,
//                  admissions and transports; takes the handshake gate
//                  (stop), each peer's lock briefly (its record, its state)
//                  and the shared lists (the roster broadcast, forgetting a
//                  pose) under it. Its second-link tickets have no lock of
//                  their own.
//   HandshakeGate  koSessionHandshakeGate: the handshake jobs; takes nothing
//                  of the library.
//   Client         koSessionClient, koSessionServerPeer: a participant's or a
//                  peer's own record and join state; takes nothing of the
//                  library.
//   LinkPump       koSessionLinkPump: one connection's threads and links;
//                  takes nothing of the library.
//   ChangeList     koSessionChangeList: every list operation, its readers'
//                  cursors included; takes nothing of the library.
//   The rest are leaves that take no other lock of the library: the scene
//   store, the transfer gate, the door log, the state recorder, the state
//   directory's scene file and the scene question.
//
// The platform's locks (log sink, progress, a link's send lock, the worker
// pool) come after all of these: the library logs, shuts links down and
// submits jobs while it holds its own. A log sink runs under the log's lock,
// so a host's sink must not call into the library.
enum class koSessionLockRank : int {
    FacadeJoining = 1,
    Server,
    HandshakeGate,
    Client,
    LinkPump,
    ChangeList,
    SceneStore,
    TransferGate,
    DoorLog,
    StateRecorder,
    StateDirectory,
    SceneQuestion,
};

// Checks the order above on each thread. With the checks on (builds without
// NDEBUG, or configured with KOSESSION_CHECK_LOCK_ORDER), taking a lock that
// is not of a later rank than every lock the thread holds writes both locks'
// names to stderr and aborts: a wrong order is a deadlock waiting for its
// moment, and the process stops at the first take instead. Release builds
// make no call here.
class koSessionLockOrder
{
public:
#if !defined(NDEBUG) || defined(KOSESSION_CHECK_LOCK_ORDER)
    static constexpr bool Checked = true;
#else
    static constexpr bool Checked = false;
#endif
    // Before the thread blocks on the lock, so a wrong order is reported
    // instead of hanging.
    static void checkTake(koSessionLockRank rank, const char* name);
    // Once the lock is held, and before it is released.
    static void taken(koSessionLockRank rank, const char* name);
    static void released(koSessionLockRank rank, const char* name);
};
