#include "koSessionLinkPump.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"

#include "koCoarseClock.h"
#include "koConnectionClosed.h"
#include "koLog.h"
#include "koNetLinkReceiver.h"
#include "koNetLinkSender.h"

namespace {

// Changes a sending thread takes from its list per lock.
constexpr std::size_t SendBatch = 256;
// Received changes handed to the list at most at a time.
constexpr std::size_t RelayBatch = 256;
// How long leaving may spend sending what was pushed before the links close:
// a peer that reads nothing must not hold the application for longer.
constexpr std::chrono::milliseconds LastCycleLimit(1000);

void waitLoop(std::chrono::steady_clock::time_point start, std::chrono::nanoseconds period)
{
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed < period)
        std::this_thread::sleep_for(period - elapsed);
}

} // namespace

constexpr std::chrono::milliseconds koSessionLinkPump::MainPeriod;
constexpr std::chrono::milliseconds koSessionLinkPump::SecondPeriod;

bool koSessionLinkPump::Owner::passOn(const koSessionChange&, const koSessionChangeReader&, SendState&)
{
    return true;
}

bool koSessionLinkPump::Owner::executesAtOnce(const koSessionChange&)
{
    return false;
}

void koSessionLinkPump::Owner::relay(std::vector<std::shared_ptr<koSessionChange>>&& changes,
                                     const std::shared_ptr<koSessionChangeList>& list)
{
    list->push(std::move(changes));
}

void koSessionLinkPump::Owner::linkClosed()
{
}

void koSessionLinkPump::Owner::threadEnded()
{
}

koSessionLinkPump::koSessionLinkPump(Owner& owner, koSessionCommandContext& context)
    : owner(owner), context(context)
{
}

koSessionLinkPump::~koSessionLinkPump()
{
    wait();
    std::lock_guard<koSessionMutex> lock(mutex);
    for (std::thread& thread : threads) {
        if (thread.joinable()) {
            koLog::error("Session connection destroyed by one of its own threads");
            thread.detach();
        }
    }
}

void koSessionLinkPump::attach(koNetStream& target, const std::shared_ptr<koNetLink>& netLink)
{
    auto sender = koNetLinkSender::create(netLink);
    auto receiver = koNetLinkReceiver::create(netLink);
    std::lock_guard<koSessionMutex> lock(mutex);
    target.setSender(sender);
    target.setReceiver(receiver);
}

void koSessionLinkPump::start(koNetStream& linkStream, std::shared_ptr<koSessionChangeReader> reader,
                              std::shared_ptr<koSessionChangeList> list, std::chrono::nanoseconds period)
{
    std::lock_guard<koSessionMutex> lock(mutex);
    // Only the first pair revives the object: a second link must not hide
    // that the main link has already failed.
    if (threads.empty())
        stopped = false;
    ++sendersRunning;
    threads.emplace_back(&koSessionLinkPump::sendChanges, this, std::ref(linkStream), std::move(reader), period);
    threads.emplace_back(&koSessionLinkPump::receiveChanges, this, std::ref(linkStream), std::move(list));
}

std::size_t koSessionLinkPump::getLinkCount() const
{
    std::lock_guard<koSessionMutex> lock(mutex);
    return threads.size() / 2;
}

// Each cycle writes every waiting change, flushes once and sleeps for the
// rest of the period. The link carries nothing but change records. Once
// stopped without a failure, one last cycle sends what was pushed before.
void koSessionLinkPump::sendChanges(koNetStream& linkStream, std::shared_ptr<koSessionChangeReader> reader,
                                    std::chrono::nanoseconds period)
{
    try {
        // Waiting changes are taken a batch per lock of the list, so a busy
        // list is not fought over once per change by every peer's thread.
        std::vector<std::shared_ptr<koSessionChange>> batch;
        batch.reserve(SendBatch);
        SendState state;
        while (!stopped) {
            const auto start = std::chrono::steady_clock::now();
            sendCycle(linkStream, *reader, batch, state);
            waitLoop(start, period);
        }
        if (!failed)
            sendCycle(linkStream, *reader, batch, state);
    } catch (const std::exception& e) {
        fail("sending", e.what());
    } catch (...) {
        fail("sending", "unknown exception");
    }
    reader.reset();
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        --sendersRunning;
    }
    lastCycleDone.notify_all();
    owner.threadEnded();
}

void koSessionLinkPump::sendCycle(koNetStream& linkStream, koSessionChangeReader& reader,
                                  std::vector<std::shared_ptr<koSessionChange>>& batch, SendState& state)
{
    while (!failed && reader.popSome(batch, SendBatch) > 0) {
        // The batch counts as backlog until it is written: the reader's
        // cursor has already passed it.
        state.taken = koCoarseClock::now();
        state.unsentBytes = 0;
        for (const std::shared_ptr<koSessionChange>& change : batch)
            state.unsentBytes += change->getByteSize();
        for (const std::shared_ptr<koSessionChange>& change : batch) {
            if (owner.passOn(*change, reader, state))
                change->putValue(linkStream);
        }
        batch.clear();
    }
    linkStream.flush();
}

void koSessionLinkPump::receiveChanges(koNetStream& linkStream, std::shared_ptr<koSessionChangeList> list)
{
    try {
        receiveBatches(linkStream, list);
    } catch (const koConnectionClosed& e) {
        owner.linkClosed();
        fail("receiving", e.what());
    } catch (const std::exception& e) {
        fail("receiving", e.what());
    } catch (...) {
        fail("receiving", "unknown exception");
    }
    list.reset();
    owner.threadEnded();
}

// Changes to relay wait while more have already come in, so that the list
// takes them under one lock. A batch holds small changes only, so it is a few
// tens of KiB at most, and ends at a scene load; it goes before anything runs
// here, and what came whole before the link ended still goes.
void koSessionLinkPump::receiveBatches(koNetStream& linkStream, const std::shared_ptr<koSessionChangeList>& list)
{
    std::vector<std::shared_ptr<koSessionChange>> received;
    received.reserve(RelayBatch);
    const auto relayReceived = [&] {
        if (!received.empty())
            owner.relay(std::move(received), list);
        received.clear();
    };
    while (!stopped) {
        auto change = std::make_shared<koSessionChange>();
        bool atOnce = false;
        try {
            change->getValue(linkStream);
            atOnce = !list || owner.executesAtOnce(*change);
        } catch (...) {
            relayReceived();
            throw;
        }
        if (atOnce) {
            relayReceived();
            executeReceived(*change);
            continue;
        }
        const bool last = change->isLoadScene() || change->getByteSize() > koSessionChange::inlineWireSize;
        received.push_back(std::move(change));
        if (last || received.size() >= RelayBatch || !linkStream.hasReadable())
            relayReceived();
    }
    relayReceived();
}

// A command that fails on this side must not end the link.
void koSessionLinkPump::executeReceived(koSessionChange& change)
{
    try {
        change.execute(context);
    } catch (const std::exception& e) {
        koLog::warning("Executing a received change failed: %s", e.what());
    } catch (...) {
        koLog::warning("Executing a received change failed");
    }
}

void koSessionLinkPump::awaitOtherLinkEnd()
{
    std::unique_lock<koSessionMutex> lock(mutex);
    ++linksEnded;
    linkEnded.notify_all();
    const int receivers = static_cast<int>(threads.size() / 2);
    linkEnded.wait_for(lock, LastCycleLimit, [&] { return failed || linksEnded >= receivers; });
}

void koSessionLinkPump::fail(const char* what, const char* reason)
{
    // The first failure stops the whole object and closes both links, so the
    // other threads and the other end notice at once.
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        failed = true;
    }
    linkEnded.notify_all();
    if (!stopped.exchange(true))
        koLog::info("Session connection of user %u ended while %s: %s", unsigned(owner.getUserId()), what, reason);
    try {
        shutdownLinks();
    } catch (...) {
    }
}

void koSessionLinkPump::stop()
{
    stopped = true;
    shutdownLinks();
}

void koSessionLinkPump::leave()
{
    stopped = true;
    {
        // A participant leaving sends what it pushed before the links close.
        std::unique_lock<koSessionMutex> lock(mutex);
        if (!isOwnThread())
            lastCycleDone.wait_for(lock, LastCycleLimit, [this] { return sendersRunning == 0; });
    }
    shutdownLinks();
}

void koSessionLinkPump::shutdownLinks()
{
    std::lock_guard<koSessionMutex> lock(mutex);
    mainStream.shutdown();
    secondStream.shutdown();
}

bool koSessionLinkPump::isOwnThread() const
{
    const std::thread::id self = std::this_thread::get_id();
    for (const std::thread& thread : threads) {
        if (thread.get_id() == self)
            return true;
    }
    return false;
}

void koSessionLinkPump::wait()
{
    // Take the threads out under the lock, join them without it: they take
    // the lock themselves.
    std::vector<std::thread> joining;
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        for (std::thread& thread : threads) {
            if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
                joining.push_back(std::move(thread));
        }
    }
    for (std::thread& thread : joining)
        thread.join();
}

bool koSessionLinkPump::isConnected()
{
    std::lock_guard<koSessionMutex> lock(mutex);
    for (const std::thread& thread : threads) {
        if (!thread.joinable())
            return false;
    }
    return !stopped;
}
