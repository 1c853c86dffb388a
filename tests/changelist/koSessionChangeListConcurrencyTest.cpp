#include "koSessionChangeList.h"

#include "koSessionChange.h"
#include "koSessionChangeReader.h"
#include "koSessionCommandFactory.h"
#include "koTestCommands.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

static const koSessionCommandFactory::Register<koTestCommand> registerBytes("TestBytes");
static const koSessionCommandFactory::Register<koTestLoadSceneCommand> registerLoadScene("LoadScene");

namespace {

using ChangePtr = std::shared_ptr<koSessionChange>;

constexpr int pushers = 4;
constexpr int perPusher = 1500;

// Change `seq` of pusher `p` is made by "user" p * perPusher + seq. Every
// 400th is a scene load; of the others, seq % 4 picks a change of one of
// the pusher's own two states (transient when 3), a transient or a plain one.
// Slots 0 to 7 are the states, 8 to 11 each pusher's scene loads.
int slotOf(int p, int seq)
{
    if (seq % 400 == 399)
        return 2 * pushers + p;
    return seq % 4 == 0 || seq % 4 == 3 ? p * 2 + (seq / 4) % 2 : -1;
}

ChangePtr changeOf(int p, int seq)
{
    koTestLoadSceneCommand scene;
    koTestCommand plain(slotOf(p, seq));
    koTestCommand& command = seq % 400 == 399 ? static_cast<koTestCommand&>(scene) : plain;
    command.setStateMergable(slotOf(p, seq) >= 0 && seq % 400 != 399);
    command.setTransient(seq % 4 == 1 || seq % 4 == 3);
    return std::make_shared<koSessionChange>(command, static_cast<unsigned short>(p * perPusher + seq));
}

// What the pushers have published, each once its push returned: one past the
// newest seq per slot. A change older than that, of the same slot (or of a pusher
// whose later scene load was published), was gone from the list by then.
struct Shared
{
    std::array<std::atomic<int>, 3 * pushers> newest{};
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::vector<std::string> faults;

    void fault(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (faults.size() < 20)
            faults.push_back(text);
    }
};

// Checks what one reading thread gets, in order.
struct Checker
{
    Shared& shared;
    std::array<int, pushers> last{-1, -1, -1, -1};
    std::size_t received = 0;

    // One call of `take`, checked against what was published before it.
    template <class Take>
    std::size_t takeOnce(Take&& take)
    {
        std::array<int, 3 * pushers> newest;
        for (std::size_t i = 0; i < newest.size(); ++i)
            newest[i] = shared.newest[i];
        const std::vector<ChangePtr> got = take();
        for (const ChangePtr& change : got) {
            const int p = change->getChangedBy() / perPusher;
            const int seq = change->getChangedBy() % perPusher;
            const std::string what = "change " + std::to_string(seq) + " of pusher " + std::to_string(p);
            if (seq <= last[std::size_t(p)])
                shared.fault(what + " after " + std::to_string(last[std::size_t(p)]));
            last[std::size_t(p)] = seq;
            if (slotOf(p, seq) >= 0 && newest[std::size_t(slotOf(p, seq))] > seq + 1)
                shared.fault(what + " read after it was merged away");
            if (newest[std::size_t(2 * pushers + p)] > seq + 1)
                shared.fault(what + " read after a later scene load");
        }
        received += got.size();
        return got.size();
    }
};

} // namespace

// Pushers feed two lists: `main` is read by indexed readers only (their
// cursors alone decide when a transient change goes), `outgoing` also by a
// consuming reader and by readers that come and go.
TEST(koSessionChangeListThreaded, ConcurrentPushesAndReadsKeepTheRules)
{
    koSessionChangeList main;
    koSessionChangeList outgoing;
    Shared shared;
    const std::vector<std::shared_ptr<koSessionChangeReader>> readers = {
        main.getReader(true), main.getReader(true), main.getReader(true), outgoing.getReader(true),
        outgoing.getReader(false)};
    std::vector<Checker> checkers(readers.size(), Checker{shared});
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < readers.size(); ++i)
        threads.emplace_back([&, i] {
            for (bool done = false; !done;) {
                done = shared.done;
                const std::uint64_t index = readers[i]->getCurrentIndex();
                const std::size_t taken = checkers[i].takeOnce([&] {
                    std::vector<ChangePtr> got;
                    readers[i]->popSome(got, i % 2 ? 1 : 7);
                    return got;
                });
                if (i < 4 && taken > 0 && readers[i]->getCurrentIndex() <= index)
                    shared.fault("reader " + std::to_string(i) + ": the index went back");
                done = done && taken == 0;
                std::this_thread::yield();
            }
        });
    threads.emplace_back([&] {
        while (!shared.done) {
            auto reader = outgoing.getReader(true);
            Checker{shared}.takeOnce([&] { return reader->popAll(); });
            // Read-only queries beside the pushes, for the race detector.
            if (outgoing.size() > std::uint64_t(pushers * perPusher) + outgoing.containsLoadScene())
                shared.fault("the list holds more than was ever pushed");
        }
    });
    std::vector<std::thread> pushing;
    for (int p = 0; p < pushers; ++p)
        pushing.emplace_back([&, p] {
            for (int seq = 0; seq < perPusher; ++seq) {
                const ChangePtr change = changeOf(p, seq);
                main.push(change);
                outgoing.push(change);
                if (slotOf(p, seq) >= 0)
                    shared.newest[std::size_t(slotOf(p, seq))] = seq + 1;
            }
        });
    for (std::thread& thread : pushing)
        thread.join();
    shared.done = true;
    for (std::thread& thread : threads)
        thread.join();

    for (const std::string& fault : shared.faults)
        ADD_FAILURE() << fault;
    for (std::size_t i : {0, 1, 2, 4})
        EXPECT_GT(checkers[i].received, 0u) << i;
    for (std::size_t i : {0, 1, 2})
        EXPECT_EQ(readers[i]->getCurrentIndex(), std::uint64_t(pushers * perPusher)) << i;
    for (const ChangePtr& change : main.popAll())
        EXPECT_FALSE(change->isTransient()) << change->getChangedBy();
    EXPECT_TRUE(outgoing.empty()) << "the consuming reader drained it";
}
