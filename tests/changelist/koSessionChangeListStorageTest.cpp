// Long runs of pushes, merges, transient reads and front pops checked step by
// step against a plain model of the list's rules. Changes that leave the
// middle of the list (merged, read transients) leave gaps that are closed
// later; the runs are long enough for that to happen many times while an
// indexed reader's cursor points into the list.
#include "koSessionChangeList.h"

#include "koSessionChangeReader.h"
#include "koTestChangeCommands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

using koTest::ChangePtr;

namespace {

struct ModelChange
{
    std::uint64_t index;
    int tag;
    int key; // -1: not mergable
    bool transient;
};

// The list's rules for one indexed reader and front pops, nothing else.
struct Model
{
    std::vector<ModelChange> held;
    std::uint64_t nextIndex = 1;
    std::uint64_t cursor = 0;

    void push(int tag, int key, bool transient)
    {
        if (key >= 0)
            held.erase(std::remove_if(held.begin(), held.end(), [key](const ModelChange& c) { return c.key == key; }),
                       held.end());
        held.push_back({nextIndex++, tag, key, transient});
    }

    std::vector<int> popFront()
    {
        if (held.empty())
            return {};
        const int tag = held.front().tag;
        held.erase(held.begin());
        return {tag};
    }

    // The only registered reader: a transient goes as soon as it has read it.
    std::vector<int> read(std::size_t limit)
    {
        std::vector<int> tags;
        for (auto it = held.begin(); it != held.end() && tags.size() < limit;) {
            if (it->index <= cursor) {
                ++it;
                continue;
            }
            cursor = it->index;
            tags.push_back(it->tag);
            it = it->transient ? held.erase(it) : std::next(it);
        }
        return tags;
    }
};

enum Op { PushState, PushPlain, PushTransient, PopFront, ReadOne, ReadBatch };

struct Scenario
{
    const char* name;
    unsigned seed;
    int keys;                // distinct state keys
    std::vector<Op> weights; // drawn uniformly: repeats weigh an operation
};

std::vector<int> tagsOf(const std::vector<ChangePtr>& changes)
{
    std::vector<int> tags;
    for (const ChangePtr& change : changes)
        tags.push_back(koTest::tagOf(*change));
    return tags;
}

TEST(koSessionChangeListStorage, LongRunsMatchTheModel)
{
    const std::vector<Scenario> runs = {
        {"merges behind a change that stays", 1, 3, {PushState, PushState, PushState, PushState, ReadBatch}},
        {"transients read in the middle", 2, 50, {PushTransient, PushTransient, PushPlain, PushState, ReadBatch, ReadOne}},
        {"front pops and merges", 3, 8, {PushState, PushState, PushPlain, PopFront, ReadOne}},
        {"everything", 4, 16, {PushState, PushPlain, PushTransient, PopFront, ReadOne, ReadBatch}},
    };
    for (const Scenario& run : runs) {
        SCOPED_TRACE(run.name);
        koSessionChangeList list;
        auto reader = list.getReader(true);
        Model model;
        unsigned value = run.seed;
        const auto draw = [&value](unsigned range) {
            value = value * 1103515245u + 12345u;
            return (value >> 16) % range;
        };
        for (int step = 0; step < 4000; ++step) {
            const Op op = run.weights[draw(static_cast<unsigned>(run.weights.size()))];
            std::vector<int> got, expected;
            switch (op) {
            case PushState: {
                const int key = static_cast<int>(draw(static_cast<unsigned>(run.keys)));
                list.push(koTest::stateChange(key, step));
                model.push(step, key, false);
                break;
            }
            case PushPlain:
                list.push(koTest::plainChange(step));
                model.push(step, -1, false);
                break;
            case PushTransient:
                list.push(koTest::transientChange(step));
                model.push(step, -1, true);
                break;
            case PopFront: {
                ChangePtr change;
                if (list.tryPop(change))
                    got.push_back(koTest::tagOf(*change));
                expected = model.popFront();
                break;
            }
            case ReadOne: {
                ChangePtr change;
                if (reader->tryPop(change))
                    got.push_back(koTest::tagOf(*change));
                expected = model.read(1);
                break;
            }
            case ReadBatch: {
                const std::size_t limit = 1 + draw(6);
                std::vector<ChangePtr> batch;
                reader->popSome(batch, limit);
                got = tagsOf(batch);
                expected = model.read(limit);
                break;
            }
            }
            ASSERT_EQ(got, expected) << "step " << step;
            ASSERT_EQ(list.size(), model.held.size()) << "step " << step;
            ASSERT_EQ(reader->getCurrentIndex(), model.cursor) << "step " << step;
        }
        // What is left, in order, through a fresh reader and then the front.
        std::vector<int> rest;
        for (const ModelChange& change : model.held)
            rest.push_back(change.tag);
        auto late = list.getReader(true);
        EXPECT_EQ(tagsOf(late->popAll()), rest);
        EXPECT_EQ(tagsOf(list.popAll()), rest);
        EXPECT_TRUE(list.empty());
    }
}

} // namespace
