#include "koSessionChangeList.h"

#include "koSessionChangeReader.h"
#include "koTestChangeCommands.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

using koTest::ChangePtr;

namespace {

constexpr int pusherCount = 4;
constexpr int changesPerPusher = 1500;
constexpr int statesPerPusher = 2;
constexpr int stateCount = pusherCount * statesPerPusher;

// What a test change is, looked up by its address (the table is filled before
// any thread starts and only read afterwards).
struct Meta
{
    int pusher = 0;
    int seq = 0;
    int state = -1; // owned by `pusher` alone
    bool scene = false;
    bool transient = false;
};

struct Plan
{
    std::vector<std::vector<ChangePtr>> changes; // per pusher, in push order
    std::unordered_map<const koSessionChange*, Meta> meta;
};

Plan makePlan()
{
    Plan plan;
    plan.changes.resize(pusherCount);
    for (int p = 0; p < pusherCount; ++p) {
        for (int n = 0; n < changesPerPusher; ++n) {
            Meta meta{p, n, -1, false, false};
            const qint32 tag = p * 100000 + n;
            ChangePtr change;
            if (n % 400 == 399) {
                meta.scene = true;
                change = koTest::loadSceneChange(tag);
            } else if (n % 4 == 0 || n % 4 == 3) {
                meta.state = p * statesPerPusher + (n / 4) % statesPerPusher;
                meta.transient = n % 4 == 3;
                change = koTest::stateChange(meta.state, tag, meta.transient);
            } else if (n % 4 == 1) {
                meta.transient = true;
                change = koTest::transientChange(tag);
            } else {
                change = koTest::plainChange(tag);
            }
            plan.meta.emplace(change.get(), meta);
            plan.changes[static_cast<std::size_t>(p)].push_back(std::move(change));
        }
    }
    return plan;
}

// Published by the pushers after a push has returned: the sequence number of
// the newest change of each state, and of each pusher's newest scene load.
// A reader that sees a value here before it reads knows that the older
// changes were gone from the list by then.
struct Progress
{
    std::array<std::atomic<int>, stateCount> stateDone;
    std::array<std::atomic<int>, pusherCount> sceneDone;
    std::atomic<bool> pushersFinished{false};

    Progress()
    {
        for (auto& value : stateDone)
            value = -1;
        for (auto& value : sceneDone)
            value = -1;
    }
};

struct Snapshot
{
    std::array<int, stateCount> state;
    std::array<int, pusherCount> scene;
};

Snapshot snapshot(const Progress& progress)
{
    Snapshot s;
    for (int i = 0; i < stateCount; ++i)
        s.state[static_cast<std::size_t>(i)] = progress.stateDone[static_cast<std::size_t>(i)].load();
    for (int i = 0; i < pusherCount; ++i)
        s.scene[static_cast<std::size_t>(i)] = progress.sceneDone[static_cast<std::size_t>(i)].load();
    return s;
}

// What one reading thread saw; checked on the test's thread after joining.
struct ReaderLog
{
    std::string name;
    int received = 0;
    std::vector<std::string> faults;

    void fault(const std::string& text)
    {
        if (faults.size() < 8)
            faults.push_back(name + ": " + text);
    }
};

class ReadChecker
{
public:
    ReadChecker(const Plan& plan, ReaderLog& log)
        : plan(plan)
        , log(log)
    {
        lastSeq.fill(-1);
    }

    // `before` was taken before the read that returned `change`.
    void check(const koSessionChange& change, const Snapshot& before)
    {
        const auto found = plan.meta.find(&change);
        if (found == plan.meta.end()) {
            log.fault("a change that nobody pushed");
            return;
        }
        const Meta& m = found->second;
        ++log.received;
        auto& last = lastSeq[static_cast<std::size_t>(m.pusher)];
        if (m.seq <= last)
            log.fault("pusher " + std::to_string(m.pusher) + " out of order: " + std::to_string(m.seq)
                      + " after " + std::to_string(last));
        last = m.seq;
        if (m.state >= 0 && before.state[static_cast<std::size_t>(m.state)] > m.seq)
            log.fault("change " + std::to_string(m.seq) + " of state " + std::to_string(m.state)
                      + " read after it was merged away");
        if (before.scene[static_cast<std::size_t>(m.pusher)] > m.seq)
            log.fault("change " + std::to_string(m.seq) + " read after a later scene load of its pusher");
    }

private:
    const Plan& plan;
    ReaderLog& log;
    std::array<int, pusherCount> lastSeq;
};

// Reads until the pushers are done and nothing is left. The flag is read before
// the attempt, so a failed attempt after it was set means the end.
template <class Read>
void drain(const Progress& progress, Read&& readOne)
{
    for (;;) {
        const bool finished = progress.pushersFinished.load();
        if (!readOne()) {
            if (finished)
                return;
            std::this_thread::yield();
        }
    }
}

void readIndexed(koSessionChangeReader& reader, const Plan& plan, const Progress& progress, ReaderLog& log)
{
    ReadChecker checker(plan, log);
    std::uint64_t lastIndex = 0;
    drain(progress, [&] {
        if (reader.empty())
            return false;
        const Snapshot before = snapshot(progress);
        ChangePtr change;
        if (!reader.tryPop(change))
            return false;
        if (reader.getCurrentIndex() <= lastIndex)
            log.fault("index " + std::to_string(reader.getCurrentIndex()) + " after " + std::to_string(lastIndex));
        lastIndex = reader.getCurrentIndex();
        checker.check(*change, before);
        return true;
    });
}

void readConsuming(koSessionChangeReader& reader, const Plan& plan, const Progress& progress, ReaderLog& log)
{
    ReadChecker checker(plan, log);
    bool useBatch = false;
    drain(progress, [&] {
        const Snapshot before = snapshot(progress);
        useBatch = !useBatch;
        if (useBatch) {
            const auto batch = reader.popAll();
            for (const ChangePtr& change : batch)
                checker.check(*change, before);
            return !batch.empty();
        }
        ChangePtr change;
        if (!reader.tryPop(change))
            return false;
        checker.check(*change, before);
        return true;
    });
    if (reader.getCurrentIndex() != 0)
        log.fault("a consuming reader moved its cursor");
}

// Registers short-lived readers over and over while everything else runs.
void churnReaders(koSessionChangeList& list, const Plan& plan, const Progress& progress, ReaderLog& log)
{
    while (!progress.pushersFinished.load()) {
        auto reader = list.getReader(true);
        ReadChecker checker(plan, log);
        std::uint64_t lastIndex = 0;
        for (int i = 0; i < 50 && !reader->empty(); ++i) {
            const Snapshot before = snapshot(progress);
            ChangePtr change;
            if (!reader->tryPop(change))
                break;
            if (reader->getCurrentIndex() <= lastIndex)
                log.fault("index went backwards in a short-lived reader");
            lastIndex = reader->getCurrentIndex();
            checker.check(*change, before);
        }
        // Read-only queries run beside the pushes, for the race detector.
        if (list.size() > static_cast<std::uint64_t>(pusherCount * changesPerPusher))
            log.fault("the list holds more than was ever pushed");
        static_cast<void>(list.containsLoadScene());
        std::this_thread::yield();
    }
}

void runGuarded(ReaderLog& log, const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& error) {
        log.fault(std::string("exception: ") + error.what());
    } catch (...) {
        log.fault("unknown exception");
    }
}

} // namespace

TEST(koSessionChangeListThreaded, PushersAndReadersKeepOrderMergingAndTransience)
{
    const Plan plan = makePlan();
    Progress progress;

    // `shared` is read by indexed readers only, so their cursors alone decide
    // when a transient change goes; `outgoing` also has a consuming reader and
    // a stream of short-lived readers.
    koSessionChangeList shared;
    koSessionChangeList outgoing;
    std::vector<std::shared_ptr<koSessionChangeReader>> sharedReaders;
    for (int i = 0; i < 3; ++i)
        sharedReaders.push_back(shared.getReader(true));
    auto outgoingIndexed = outgoing.getReader(true);
    auto outgoingConsuming = outgoing.getReader(false);

    std::vector<ReaderLog> logs(7);
    std::vector<std::thread> readers;
    for (std::size_t i = 0; i < sharedReaders.size(); ++i) {
        logs[i].name = "shared reader " + std::to_string(i);
        readers.emplace_back([&, i] {
            runGuarded(logs[i], [&] { readIndexed(*sharedReaders[i], plan, progress, logs[i]); });
        });
    }
    logs[3].name = "outgoing indexed reader";
    readers.emplace_back([&] {
        runGuarded(logs[3], [&] { readIndexed(*outgoingIndexed, plan, progress, logs[3]); });
    });
    logs[4].name = "outgoing consuming reader";
    readers.emplace_back([&] {
        runGuarded(logs[4], [&] { readConsuming(*outgoingConsuming, plan, progress, logs[4]); });
    });
    logs[5].name = "short-lived readers";
    readers.emplace_back([&] { runGuarded(logs[5], [&] { churnReaders(outgoing, plan, progress, logs[5]); }); });
    logs[6].name = "pushers";

    std::vector<std::thread> pushers;
    for (int p = 0; p < pusherCount; ++p) {
        pushers.emplace_back([&, p] {
            runGuarded(logs[6], [&] {
                for (const ChangePtr& change : plan.changes[static_cast<std::size_t>(p)]) {
                    shared.push(change);
                    outgoing.push(change);
                    const Meta& m = plan.meta.at(change.get());
                    if (m.state >= 0)
                        progress.stateDone[static_cast<std::size_t>(m.state)] = m.seq;
                    if (m.scene)
                        progress.sceneDone[static_cast<std::size_t>(p)] = m.seq;
                }
            });
        });
    }
    for (std::thread& pusher : pushers)
        pusher.join();
    progress.pushersFinished = true;
    for (std::thread& reader : readers)
        reader.join();

    for (const ReaderLog& log : logs)
        for (const std::string& fault : log.faults)
            ADD_FAILURE() << fault;
    // The outgoing indexed reader may legitimately find nothing: the consuming
    // reader can pop every change before it gets there.
    for (std::size_t i : {0, 1, 2, 4})
        EXPECT_GT(logs[i].received, 0) << logs[i].name;

    // Every indexed reader of `shared` has passed everything, so no transient
    // change may be left there, and every reader ended on the last index.
    const std::uint64_t end = sharedReaders.front()->getCurrentIndex();
    for (const auto& reader : sharedReaders)
        EXPECT_EQ(reader->getCurrentIndex(), end);
    EXPECT_EQ(end, static_cast<std::uint64_t>(pusherCount * changesPerPusher));
    for (const ChangePtr& change : shared.popAll())
        EXPECT_FALSE(change->isTransient()) << koTest::tagOf(*change);
    EXPECT_TRUE(outgoing.empty()) << "the consuming reader drained it";
}
