#pragma once

#include "koSessionDoorLog.h"
#include "koSessionHandshakeGate.h"
#include "koSessionMutex.h"
#include "koSessionSceneStore.h"
#include "koSessionSecondLinkTickets.h"
#include "koSessionServer.h"
#include "koSessionServerParticipant.h"
#include "koSessionServerStatistics.h"
#include "koSessionStateKeeper.h"

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
class koSessionServerPeer;
class koSessionStateDirectory;
class koSocketLink;
class koSocketPipe;

// The relay every participant connects to, behind koSessionServer, which
// owns one and forwards its public operations here (their documentation is
// there). It accepts connections on a thread of its own (one request per
// connection: join, scene transfer, stop, second link), admits participants
// as koSessionServerPeer objects, which relay their changes through two
// shared change lists, and broadcasts the roster. Its scene store is a
// koSessionSceneStore. It stops when asked, on a stop request, when nobody
// connects within a minute, or when the last participant has left.
//
// Use: construct; start; stop (or let it stop by itself); wait; then destroy
// it or start again. Its lock comes before a peer's and a change list's
// (koSessionLockOrder.h).
class koSessionRelay
{
public:
    koSessionRelay();
    ~koSessionRelay();

    koSessionRelay(const koSessionRelay&) = delete;
    koSessionRelay& operator=(const koSessionRelay&) = delete;

    void start(const QString& pipeName, int port, const QString& listenAddress);
    void stop();
    void endSession(const QString& reason);
    void wait();
    int getPort();
    // Has stopped peers removed by a job and returns at once. Peers' threads.
    void checkClients();
    // Pushes the roster (records with spectator counts) into the shared list.
    // Any thread; takes the relay's mutex, then each peer's own mutex briefly.
    void sendUpdatedUsers();
    void setSessionId(const QString& sessionId);
    // Keeps the session in `directory` (locked by the caller): each start
    // restores the scene and the retained changes found there, and the
    // changes and completed uploads of the run are written to it. A stop
    // request from a participant ends the session for good and clears it;
    // any other stop keeps it. Null (the default): nothing is kept. Host
    // thread, before start; start throws std::runtime_error when the
    // directory cannot be read or written.
    void setStateDirectory(std::shared_ptr<koSessionStateDirectory> directory);
    void setStopsWhenEmpty(bool stops);
    koSessionServerStatistics getStatistics();
    std::vector<koSessionServerParticipant> getParticipants();
    // Counts a change that a peer passed from its participant into a shared
    // list. Peers' receiving threads; takes no lock.
    void countRelayed(std::size_t bytes);
    void setMaxSceneSize(std::uint64_t bytes);
    std::uint64_t getMaxSceneSize() const;
    void setMaxRetainedBytes(std::uint64_t bytes);

    // Test hook: sets the process-wide counter that user identifiers are
    // taken from, so that a test can reach its wrap without 65,535 joins.
    static void setNextUserId(int value);

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
    // Guards clients, arrivals, started, admissions, secondLinks,
    // sessionHash, keptUserIds and the transports while stop shuts them, and
    // every change of `stopping`, `running` and `waitingForFirstClient` once
    // start has launched the accept thread, so that the waits on
    // `rosterChanged` miss none.
    // Taken by the host (stop), handshake jobs (admission, colours,
    // pairing), jobs (removal) and peers' receiving threads
    // (sendUpdatedUsers). Its holder never destroys a peer: peers are
    // released only after unlocking, since a peer's destructor joins threads
    // that may be waiting for this mutex.
    koSessionMutex mutex{koSessionLockRank::Server, "koSessionRelay::mutex"};
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
    std::atomic<bool> stopsWhenEmpty{true};
    // Runs accept(); joinable from start until wait.
    std::thread acceptThread;
    // The listening TCP socket; null until a start in TCP mode.
    std::unique_ptr<koBoundSocketLink> boundLink;
    // The local pipe; null until a start in pipe mode.
    std::unique_ptr<koSocketPipe> pipe;
    // Identifiers and colours held by admissions between their version check
    // and their entry into the roster, so that no two get the same.
    std::vector<Admission> admissions;
    // Second links that recently admitted participants may attach.
    koSessionSecondLinkTickets secondLinks{std::chrono::seconds(koSessionServer::SecondLinkSeconds)};
    // The tunnel line's session field that connections must carry; empty: any.
    std::string sessionHash;
    // Refused and failed connections, rate-limited per peer address.
    koSessionDoorLog doorLog{std::chrono::seconds(koSessionServer::DoorLogSeconds), koSessionServer::DoorLogAddresses};
    // Runs the handshake of each connection off the accept thread.
    koSessionHandshakeGate handshakes{
        koSessionServer::MaxHandshakes, koSessionServer::MaxHandshakesPerAddress,
        std::chrono::duration_cast<koSessionHandshakeGate::Clock::duration>(
            std::chrono::duration<double>(koSessionServer::HandshakeTimeoutSeconds))};
    // The stored scene and its transfers, which run on actionManager.
    koSessionSceneStore scenes{actionManager,
                               [this](koLog::Level level, const std::string& address, const std::string& line) {
                                   refuse(level, address, line);
                               }};
    // The state directory's side of each run: restored at start, recorded
    // until wait.
    koSessionStateKeeper state;
    // Authors and addressees of restored changes: a newcomer with one of
    // these identifiers would never get the changes made under it. Under mutex.
    std::set<unsigned short> keptUserIds;
};
