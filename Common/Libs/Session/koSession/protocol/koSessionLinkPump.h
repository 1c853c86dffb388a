#pragma once

#include "koSessionMutex.h"

#include "koNetStream.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

class koNetLink;
class koSessionChange;
class koSessionChangeList;
class koSessionChangeReader;
class koSessionCommandContext;

// The threads of one connection's links (main and second link), for either
// end: a participant or the server's peer of one. Each link runs a sending
// thread, which writes what its reader takes from a change list every cycle
// (40 ms on the main link, 20 ms on the second), and a receiving thread,
// which hands what arrives to a change list in batches or executes it. The
// first failing thread stops all of them and shuts both links; a clean stop
// lets the senders run one last cycle. What differs between the two ends is
// asked of the Owner.
//
// Threads: start, stop and wait from the owner's threads; never wait from one
// of the pump's own threads (it skips itself). The owner stops and waits
// before its own members go: the threads call it until they end.
class koSessionLinkPump
{
public:
    // A sending thread's state between changes: what it has taken from its
    // list but not yet written, and when it last measured the backlog.
    struct SendState
    {
        std::chrono::steady_clock::time_point taken;
        std::uint64_t unsentBytes = 0;
        std::chrono::steady_clock::time_point backlogChecked;
    };

    // What one end adds to the pump. Called on the pump's threads.
    class Owner
    {
    public:
        virtual ~Owner() = default;
        // The participant the connection belongs to, for the log.
        virtual unsigned short getUserId() const = 0;
        // Before a sending thread writes `change`: false leaves it out; an
        // exception ends the connection.
        virtual bool passOn(const koSessionChange& change, const koSessionChangeReader& reader, SendState& state);
        // Whether a received change is executed at once instead of going to
        // the link's list; an exception ends the connection.
        virtual bool executesAtOnce(const koSessionChange& change);
        // Hands a batch of received changes to `list`.
        virtual void relay(std::vector<std::shared_ptr<koSessionChange>>&& changes,
                           const std::shared_ptr<koSessionChangeList>& list);
        // The other end closed a link cleanly.
        virtual void linkClosed();
        // A thread is about to end.
        virtual void threadEnded();
    };

    static constexpr std::chrono::milliseconds MainPeriod{40};
    static constexpr std::chrono::milliseconds SecondPeriod{20};

    koSessionLinkPump(Owner& owner, koSessionCommandContext& context);
    // Only a thread that destroys its own pump is left by now; it is detached.
    ~koSessionLinkPump();

    koSessionLinkPump(const koSessionLinkPump&) = delete;
    koSessionLinkPump& operator=(const koSessionLinkPump&) = delete;

    koNetStream& getMainStream() { return mainStream; }
    koNetStream& getSecondStream() { return secondStream; }
    // Makes `link` the link of `stream` (one of the two above).
    void attach(koNetStream& stream, const std::shared_ptr<koNetLink>& link);
    // Starts the threads of `stream`'s link: the sender takes from `reader`,
    // the receiver hands to `list`, or executes everything when it is null.
    void start(koNetStream& stream, std::shared_ptr<koSessionChangeReader> reader,
               std::shared_ptr<koSessionChangeList> list, std::chrono::nanoseconds period);
    // The links whose threads were started.
    std::size_t getLinkCount() const;

    // Sets the stop flag and shuts both links down. Any thread.
    void stop();
    // The same after the sending threads have sent what was pushed (at most
    // about 1 s); at once on one of the pump's own threads.
    void leave();
    // Joins the threads, but not the calling one.
    void wait();
    // False once stopped or once any thread has ended. Any thread.
    bool isConnected();
    // Waits until every link has ended or a thread failed, at most about
    // 1 s, so that the link whose end arrives first does not cut the other
    // short. A receiving thread.
    void awaitOtherLinkEnd();
    // Stops everything after a failure: logs `what` and `reason` once.
    void fail(const char* what, const char* reason);

private:
    void sendChanges(koNetStream& stream, std::shared_ptr<koSessionChangeReader> reader,
                     std::chrono::nanoseconds period);
    void sendCycle(koNetStream& stream, koSessionChangeReader& reader,
                   std::vector<std::shared_ptr<koSessionChange>>& batch, SendState& state);
    void receiveChanges(koNetStream& stream, std::shared_ptr<koSessionChangeList> list);
    void receiveBatches(koNetStream& stream, const std::shared_ptr<koSessionChangeList>& list);
    void executeReceived(koSessionChange& change);
    void shutdownLinks();
    // Whether the calling thread is one of the pump's; under `mutex`.
    bool isOwnThread() const;

    Owner& owner;
    koSessionCommandContext& context;
    // Guards `threads`, the attaching of links to the streams, and the
    // counters below. Taken briefly; never held while joining a thread, doing
    // I/O or calling the owner.
    mutable koSessionMutex mutex{koSessionLockRank::LinkPump, "koSessionLinkPump::mutex"};
    std::atomic<bool> stopped{false};
    // Set by the first failing thread: no last send cycle on a broken link.
    std::atomic<bool> failed{false};
    // Sending threads still running; leave() waits on `lastCycleDone`.
    int sendersRunning = 0;
    std::condition_variable_any lastCycleDone;
    // Receiving threads whose link the other end closed; each waits on
    // `linkEnded` for the others' end.
    int linksEnded = 0;
    std::condition_variable_any linkEnded;
    std::vector<std::thread> threads;
    koNetStream mainStream;
    koNetStream secondStream;
};
