#pragma once

#include "koSessionExport.h"
#include "koSessionServerParticipant.h"
#include "koSessionServerStatistics.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class koSessionRelay;

// The relay server that every participant connects to, as a host application
// runs it in its own process. It accepts connections on a thread of its own,
// admits participants, relays their changes to each other, broadcasts the
// roster and stores the session's scene. It stops when asked, on a
// participant's stop request, when nobody connects within
// EmptySessionSeconds, or when the last participant has left.
//
// Use: construct; start; stop (or let it stop by itself); wait; then destroy
// it or start again. The work is done by an internal relay that this object
// owns; the operations below are its whole public face.
class KOSESSION_EXPORT koSessionServer
{
public:
    // Limits of the door, so that no stalled or hostile connections can hold
    // it shut for everybody. Each new connection is handled by a handshake
    // job of its own; a connection over a bound is closed at once. A job has
    // HandshakeTimeoutSeconds in all for everything before admission (tunnel
    // header, key exchange, request, version, record).
    static constexpr double HandshakeTimeoutSeconds = 10.0;
    static constexpr std::size_t MaxHandshakes = 256;
    static constexpr std::size_t MaxHandshakesPerAddress = 16;
    // A second link is paired only within this time after its join.
    static constexpr int SecondLinkSeconds = 10;
    // Refused and failed connections: one log line per address in this time,
    // remembering at most this many addresses at once.
    static constexpr int DoorLogSeconds = 10;
    static constexpr std::size_t DoorLogAddresses = 4096;
    static constexpr int EmptySessionSeconds = 60;
    // How long endSession gives the participants to leave.
    static constexpr double EndNoticeSeconds = 1.0;
    // Default cap on the bytes of the changes the server holds for
    // newcomers, per shared list.
    static constexpr std::uint64_t DefaultMaxRetainedBytes = std::uint64_t(256) << 20;

    // Makes the process-wide server point at this object. Host thread.
    koSessionServer();
    // stop(), then wait(); nothing escapes. Must not run on a thread of this server.
    ~koSessionServer();

    koSessionServer(const koSessionServer&) = delete;
    koSessionServer& operator=(const koSessionServer&) = delete;

    // Listens on `pipeName` when it is not empty, else on TCP `port` (0 takes a
    // free one) of the interface `listenAddress` (empty: every interface) and
    // starts the accept thread and the empty-session watchdog.
    // Host thread; needs a wait() after any earlier run. Throws koNetError when
    // the transport cannot be made (std::logic_error without the wait()).
    void start(const QString& pipeName, int port, const QString& listenAddress = QString());
    // Stops accepting and drops every peer. Safe to call more than once, from
    // the host, the accept thread or a job; never from a peer's own threads.
    void stop();
    // Ends the session for everybody: sends the participants the end notice
    // with `reason` on their second links, so that they close instead of
    // taking the end for a lost server, gives them up to EndNoticeSeconds
    // to leave, then stop(). Returns at once when not running; the wait ends
    // early when another stop comes. Any thread stop() may run on.
    void endSession(const QString& reason);
    // Joins the accept thread, then the handshake jobs (each ends within its
    // deadline), then waits for every job; then a kept session, if any, gets
    // the last changes (or is cleared, after a stop request). Not from the
    // accept thread (std::system_error) nor from a job.
    void wait();
    // The listening TCP port; 0 without a listening socket. Host thread.
    int getPort();
    // Has stopped peers removed by a job and returns at once.
    void checkClients();
    // Pushes the roster (records with spectator counts) to the participants.
    // Any thread.
    void sendUpdatedUsers();
    // The process-wide server: the last one constructed. Valid while it
    // lives; for code that cannot be handed the server it runs under.
    koSessionServer& the();

    // Admits only connections whose tunnel line carries this session's hash;
    // any other connection is closed right after its tunnel line, whatever it
    // would have asked. Empty (the default) admits any session. Any thread;
    // applies to connections whose tunnel line is read afterwards.
    void setSessionId(const QString& sessionId);
    // Whether the server stops by itself when nobody joins within
    // EmptySessionSeconds of its start and when the last participant leaves
    // (the default). Host thread, before start.
    void setStopsWhenEmpty(bool stops);

    // The counters of this run, and the roster with where and when each
    // participant came in. Any thread.
    koSessionServerStatistics getStatistics();
    std::vector<koSessionServerParticipant> getParticipants();

    // Bounds the scene size that an upload may announce; a larger one is
    // refused (and logged) before anything is allocated. Any thread; applies
    // to the uploads that read their size afterwards. Default: 16 GiB.
    void setMaxSceneSize(std::uint64_t bytes);
    std::uint64_t getMaxSceneSize() const;
    // Caps the bytes of the changes held for newcomers, per shared list (0:
    // none); past it the oldest changes that every participant has received
    // are dropped, and that is logged. Any thread.
    void setMaxRetainedBytes(std::uint64_t bytes);

private:
    // The programs of this project reach the relay's further settings (the
    // state directory) through koSessionServerAccess.
    friend class koSessionServerAccess;

    std::unique_ptr<koSessionRelay> relay;

    static koSessionServer* s_the;
};
