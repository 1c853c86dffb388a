#pragma once

// A TCP relay on loopback that sits between participants and a server and
// misbehaves on request, the way a network or a dying machine does:
//
// - budgets: each connection forwards at most so many bytes towards the
//   server (up) and towards the participant (down), then holds that
//   direction: it stops reading, so the sender's window closes, but keeps
//   the connection open;
// - stall(): every connection holds both directions from then on;
// - a side that closes or fails (a killed process) makes the relay close
//   the other side too, as the killed process's own kernel would have done.
//
// Threads: one accept thread and one thread per connection, all stopped and
// joined by the destructor. The public operations may be called from any thread.

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace koTest {

class FaultProxy
{
public:
    static constexpr std::uint64_t Unlimited = std::numeric_limits<std::uint64_t>::max();

    // Listens on a free loopback port and relays to 127.0.0.1:`serverPort`.
    explicit FaultProxy(int serverPort);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    // `serverLink` (a link to the relayed server, without password) led
    // through the relay: the same session, the relay's port.
    QString link(const QString& serverLink) const;
    // Budgets of the connections accepted from now on.
    void setBudgets(std::uint64_t up, std::uint64_t down);
    // Every connection, present and future, holds both directions.
    void stall();
    // Every connection forwards freely again, without budgets. After a side
    // was killed this lets the bytes its kernel still holds through, and then
    // its end: a killed process's kernel delivers what it had queued before
    // the connection closes, and a held relay would keep that end back.
    void release();

    // Waits until `count` connections have held a direction because its
    // budget ran out; bounded.
    bool waitHeld(int count, double seconds);

private:
    struct Pair;
    void acceptLoop();
    void relay(Pair* pair);
    void notify();

    int listenFd = -1;
    int listenPort = 0;
    int serverPort = 0;
    std::atomic<bool> stopping{false};
    std::atomic<bool> stalled{false};
    std::atomic<bool> released{false};
    std::atomic<std::uint64_t> upBudget{Unlimited};
    std::atomic<std::uint64_t> downBudget{Unlimited};
    std::atomic<int> held{0};
    // Guards pairs (their descriptors too) and threads; taken by the accept
    // thread when it adds a connection, by a relay thread when it connects or
    // closes, and by the destructor when it shuts connections.
    std::mutex mutex;
    std::vector<Pair*> pairs;
    std::vector<std::thread> threads;
    std::thread acceptThread;
    // Wakes waitHeld; guarded by eventMutex, taken by the relay
    // threads when a counter moves and by the waiting test thread.
    std::mutex eventMutex;
    std::condition_variable event;
};

} // namespace koTest
