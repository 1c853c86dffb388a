#pragma once

#include "koSessionDoorLog.h"
#include "koSessionExport.h"
#include "koSessionHandshakeGate.h"
#include "koSessionMutex.h"
#include "koSessionSceneWire.h"
#include "koSessionSecondLinkTickets.h"
#include "koSessionServerParticipant.h"
#include "koSessionServerStatistics.h"
#include "koSessionTransferGate.h"

#include "koNetActionManager.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class koBoundSocketLink;
class koNetLink;
class koNetStream;
class koSessionChangeList;
class koSessionSceneBuffer;
class koSessionServerPeer;
class koSessionStateDirectory;
class koSessionStateRecorder;
class koSocketLink;
class koSocketPipe;

// The relay every participant connects to. It accepts connections on a thread
// of its own (one request per connection: join, scene transfer, stop, second
// link), admits participants as koSessionServerPeer objects, which relay
// their changes through two shared change lists, and broadcasts the roster.
// It stops when asked, on a stop request, when nobody connects within a
// minute, or when the last participant has left.
//
// Use: construct; start; stop (or let it stop by itself); wait; then destroy
// it or start again. Its lock comes before a peer's and a change list's
// (koSessionLockOrder.h).
class KOSESSION_EXPORT koSessionServer
{
public:
    // Limits of the door, so that no stalled or hostile connections can hold
    // it shut for everybody (the tunnel header's length bound is
    // koSessionWire::MaxTunnelHeaderBytes). Each new connection is handled by
    // a handshake job of its own; a connection over a bound is closed at
    // once. A job has HandshakeTimeoutSeconds in all for everything before
    // admission (tunnel header, key exchange, request, version, record).
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
    static constexpr double EndNoticeSeconds = 1.0;
    // Joins the accept thread, then the handshake jobs (each ends within its
    // deadline), then waits for every job; then the state directory, if any,
    // gets the last changes (or is cleared, after a stop request). Not from
    // the accept thread (std::system_error) nor from a job.
    void wait();
    // The listening TCP port; 0 without a listening socket. Host thread.
    int getPort();
    // Has stopped peers removed by a job and returns at once. Peers' threads.
    void checkClients();
    // Pushes the roster (records with spectator counts) into the shared list.
    // Any thread; takes the server's mutex, then each peer's own mutex briefly.
    void sendUpdatedUsers();
    // The process-wide server: the last one constructed. Valid while it lives.
    koSessionServer& the();

    // Admits only connections whose tunnel line carries this session's hash;
    // any other connection is closed right after its tunnel line, whatever it
    // would have asked. Empty (the default) admits any session. Any thread;
    // applies to connections whose tunnel line is read afterwards.
    void setSessionId(const QString& sessionId);

    // Keeps the session in `directory` (locked by the caller): each start
    // restores the scene and the retained changes found there, and the
    // changes and completed uploads of the run are written to it. A stop
    // request from a participant ends the session for good and clears it;
    // any other stop keeps it. Null (the default): nothing is kept. Host
    // thread, before start; start throws std::runtime_error when the
    // directory cannot be read or written.
    void setStateDirectory(std::shared_ptr<koSessionStateDirectory> directory);

    // Whether the server stops by itself when nobody joins within
    // EmptySessionSeconds of its start and when the last participant leaves
    // (the default). Host thread, before start.
    void setStopsWhenEmpty(bool stops);

    // The counters of this run, and the roster with where and when each
    // participant came in. Any thread; take the server's mutex, the roster
    // also each peer's own mutex briefly.
    koSessionServerStatistics getStatistics();
    std::vector<koSessionServerParticipant> getParticipants();
    // Counts a change that a peer passed from its participant into a shared
    // list. Peers' receiving threads; takes no lock.
    void countRelayed(std::size_t bytes);

    // Test hook: sets the process-wide counter that user identifiers are
    // taken from, so that a test can reach its wrap without 65,535 joins.
    static void setNextUserId(int value);

    // Bounds the scene size that an upload may announce; a larger one is
    // refused (and logged) before anything is allocated. Any thread; applies
    // to the uploads that read their size afterwards. Default:
    // koSessionSceneWire::DefaultMaxSceneBytes.
    void setMaxSceneSize(std::uint64_t bytes);
    std::uint64_t getMaxSceneSize() const;

    // Default cap on the bytes of the changes the server holds for
    // newcomers, per shared list.
    static constexpr std::uint64_t DefaultMaxRetainedBytes = std::uint64_t(256) << 20;
    // Sets that cap (0: none); past it the oldest changes that every
    // participant has received are dropped, and that is logged. Any thread.
    void setMaxRetainedBytes(std::uint64_t bytes);

private:
    // The hold of `mutex` that the operations below which need it are given:
    // the mutex is plain, so whatever runs under it takes the caller's hold
    // instead of locking again.
    using Lock = std::unique_lock<koSessionMutex>;
    using Peers = std::vector<std::shared_ptr<koSessionServerPeer>>;

    // An identifier and a colour index held by an admission in progress.
    struct Admission
    {
        unsigned short userId;
        int colorIndex;
    };

    void accept();
    // False when the line names another session than the one set.
    bool processHttpHeader(koSocketLink* link);
    bool checkVersion(koNetStream& stream);
    void waitForFirstClient(int seconds);

    void acceptClient(std::shared_ptr<koNetLink> link, const std::string& address);
    void acceptAsyncStream(std::shared_ptr<koNetLink> link, const std::string& address);
    // Ends the client's admission and enters it into the roster, in one hold.
    void addClient(const std::shared_ptr<koSessionServerPeer>& client, const std::string& address);
    // Logs a connection closed before admission, and counts it.
    void refuse(koLog::Level level, const std::string& address, const std::string& line);
    void removeStoppedClients();
    // stop() and sendUpdatedUsers() within the caller's hold. The peers that
    // stop drops are moved to `dropped`, for the caller to release unlocked.
    void stop(const Lock& held, Peers& dropped);
    void sendUpdatedUsers(const Lock& held);
    // Restores the kept session into the empty lists and starts recording.
    void restoreState();
    // Writes the scene of upload `generation` to the state directory.
    void keepScene(std::uint64_t generation, const std::string& name, const koSessionSceneBuffer& data);
    // Stops recording; clears the directory after a stop request.
    void finishState();
    // Removes the pose of a participant that left from the shared lists, so
    // that no newcomer is shown where it stood.
    void forgetPose(unsigned short userId);
    int getNewUserId(const Lock& held);
    int getNewColorIndex(const Lock& held);
    bool isUserIdTaken(const Lock& held, unsigned short userId);
    bool isAdmitting(const Lock& held, unsigned short userId);
    Admission reserveAdmission(const std::string& address);
    // The peers with `userId`; waits while its admission is still under way.
    Peers findAdmitted(unsigned short userId);
    void releaseAdmission(unsigned short userId);
    void releaseAdmission(const Lock& held, unsigned short userId);
    // Debug builds: stops the process when `held` is not a hold of `mutex`.
    void checkHeld(const Lock& held) const;

    // Scene store. uploadScene and downloadScene (a handshake job) have the
    // transfer admitted by `transferGate` (or refuse it at once), replace the
    // handshake time limit with the transfer's stall limit and submit
    // receiveScene or sendScene, which own the link and the ticket, as a job;
    // they return at once.
    koSessionTransferGate::Ticket enterTransfer(koNetLink& link, bool upload);
    void uploadScene(std::shared_ptr<koNetLink> link);
    void downloadScene(std::shared_ptr<koNetLink> link);
    void receiveScene(std::shared_ptr<koNetLink> link, koSessionTransferGate::Ticket ticket);
    void sendScene(std::shared_ptr<koNetLink> link, koSessionTransferGate::Ticket ticket);
    void addTransfer(const std::shared_ptr<koNetLink>& link);
    void cutTransfers();

    std::shared_ptr<koSocketLink> acceptConnection();
    void handleConnection(const std::shared_ptr<koSocketLink>& link);
    // The handshake job of one connection, up to its admission.
    void handshake(const std::shared_ptr<koSocketLink>& link, const std::string& address, bool tunnel);
    void handleRequest(const std::shared_ptr<koNetLink>& link, const std::string& address);

    // Shared by every peer's main link; the server pushes its roster here.
    std::shared_ptr<koSessionChangeList> changeList;
    // Shared by every peer's second link.
    std::shared_ptr<koSessionChangeList> asyncChangeList;
    // True tells the accept loop to end; the loop sets it when it ends.
    std::atomic<bool> stopping{false};
    // True from start until stop has done its work.
    std::atomic<bool> running{false};
    // Set by start, cleared once a participant has been admitted.
    std::atomic<bool> waitingForFirstClient{false};
    // Runs the watchdog, the removal of stopped peers and the scene transfers.
    koNetActionManager actionManager{0};
    // The roster of admitted peers in order of admission; the server holds one share each.
    std::vector<std::shared_ptr<koSessionServerPeer>> clients;
    // Guards clients, arrivals, started, admissions, secondLinks, sessionHash, sceneData,
    // sceneName, transfers, transfersCut and the transports while stop shuts
    // them, and every change of `stopping`, `running` and
    // `waitingForFirstClient` once start has launched the accept thread, so
    // that the waits on `rosterChanged` miss none.
    // Taken by the host (stop), handshake jobs (admission, colours,
    // pairing), jobs (removal; scene jobs only to swap or share the store,
    // never across a transfer) and peers' receiving threads
    // (sendUpdatedUsers). Its holder never destroys a peer: peers are
    // released only after unlocking, since a peer's destructor joins threads
    // that may be waiting for this mutex.
    koSessionMutex mutex{koSessionLockRank::Server, "koSessionServer::mutex"};
    // Wakes the waits on `mutex`: a second link waiting for its admission,
    // the watchdog and endSession. Notified when an admission ends, the
    // roster changes, a stop begins or the accept loop ends.
    std::condition_variable_any rosterChanged;
    // Where and when each admitted peer came in, by user identifier.
    struct Arrival
    {
        std::string address;
        std::chrono::system_clock::time_point joined;
    };
    std::map<unsigned short, Arrival> arrivals;
    // When this run started.
    std::chrono::steady_clock::time_point started;
    // Counters of this run (see koSessionServerStatistics); atomics, so
    // that counting takes no lock.
    std::atomic<std::uint64_t> joins{0};
    std::atomic<std::uint64_t> leaves{0};
    std::atomic<std::uint64_t> refusedConnections{0};
    std::atomic<std::uint64_t> changesRelayed{0};
    std::atomic<std::uint64_t> bytesRelayed{0};
    std::atomic<std::uint64_t> sceneBytes{0};
    std::atomic<bool> stopsWhenEmpty{true};
    // Runs accept(); joinable from start until wait.
    std::thread acceptThread;
    // The listening TCP socket; null until a start in TCP mode.
    std::unique_ptr<koBoundSocketLink> boundLink;
    // The local pipe; null until a start in pipe mode.
    std::unique_ptr<koSocketPipe> pipe;
    // The stored scene; null until the first complete upload.
    std::shared_ptr<koSessionSceneBuffer> sceneData;
    // The stored scene's name, UTF-8.
    std::string sceneName;
    // Identifiers and colours held by admissions between their version check
    // and their entry into the roster, so that no two get the same.
    std::vector<Admission> admissions;
    // Second links that recently admitted participants may attach.
    koSessionSecondLinkTickets secondLinks{std::chrono::seconds(SecondLinkSeconds)};
    // The tunnel line's session field that connections must carry; empty: any.
    std::string sessionHash;
    // Refused and failed connections, rate-limited per peer address.
    koSessionDoorLog doorLog{std::chrono::seconds(DoorLogSeconds), DoorLogAddresses};
    // Runs the handshake of each connection off the accept thread.
    koSessionHandshakeGate handshakes{
        MaxHandshakes, MaxHandshakesPerAddress,
        std::chrono::duration_cast<koSessionHandshakeGate::Clock::duration>(
            std::chrono::duration<double>(HandshakeTimeoutSeconds))};
    // The connections of running scene transfers, so that a server going away
    // cuts them short instead of waiting for a peer that stopped moving bytes.
    std::vector<std::weak_ptr<koNetLink>> transfers;
    // Set by the destructor: a transfer that starts afterwards is cut at once.
    bool transfersCut = false;
    // Bounds the transfers at once and orders downloads after uploads.
    koSessionTransferGate transferGate;
    // Where the session is kept; null: nowhere. Set before start.
    std::shared_ptr<koSessionStateDirectory> stateDirectory;
    // Follows changeList into the directory from start to wait; host thread.
    std::unique_ptr<koSessionStateRecorder> stateRecorder;
    // Authors and addressees of restored changes: a newcomer with one of
    // these identifiers would never get the changes made under it. Under mutex.
    std::set<unsigned short> keptUserIds;
    // Counts completed uploads, so the directory keeps the newest. Under mutex.
    std::uint64_t sceneGeneration = 0;
    // Set by a participant's stop request: the kept session goes.
    std::atomic<bool> endedForGood{false};
    // Largest scene size an upload may announce.
    std::atomic<std::uint64_t> maxSceneSize{koSessionSceneWire::DefaultMaxSceneBytes};

    static koSessionServer* s_the;
};
