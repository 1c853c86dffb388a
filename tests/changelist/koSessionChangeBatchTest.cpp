// Batched reading (popSome) must hand out, keep and drop exactly what the
// same number of single reads would.
#include "koSessionChangeList.h"

#include "koSessionChangeReader.h"
#include "koTestChangeCommands.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using koTest::ChangePtr;

namespace {

// What one read step showed: the tags handed out, the reader's cursor after
// it and how many changes the list still held.
struct Step
{
    std::vector<int> tags;
    std::uint64_t cursor;
    std::uint64_t held;
    bool operator==(const Step& other) const
    {
        return tags == other.tags && cursor == other.cursor && held == other.held;
    }
};

std::ostream& operator<<(std::ostream& out, const Step& step)
{
    out << "{tags";
    for (int tag : step.tags)
        out << ' ' << tag;
    return out << ", cursor " << step.cursor << ", held " << step.held << '}';
}

using Pusher = std::function<void(koSessionChangeList&)>;

struct Case
{
    const char* name;
    Pusher push;
};

// Up to `limit` changes through single reads.
Step readSingly(koSessionChangeList& list, koSessionChangeReader& reader, std::size_t limit)
{
    Step step{{}, 0, 0};
    ChangePtr change;
    while (step.tags.size() < limit && reader.tryPop(change))
        step.tags.push_back(koTest::tagOf(*change));
    step.cursor = reader.getCurrentIndex();
    step.held = list.size();
    return step;
}

Step readBatch(koSessionChangeList& list, koSessionChangeReader& reader, std::size_t limit)
{
    std::vector<ChangePtr> batch{koTest::plainChange(-1)}; // popSome appends
    const std::size_t taken = reader.popSome(batch, limit);
    EXPECT_EQ(taken, batch.size() - 1);
    Step step{{}, reader.getCurrentIndex(), list.size()};
    for (std::size_t i = 1; i < batch.size(); ++i)
        step.tags.push_back(koTest::tagOf(*batch[i]));
    return step;
}

const std::vector<Case>& cases()
{
    static const std::vector<Case> table = {
        {"plain", [](koSessionChangeList& list) {
             for (int i = 1; i <= 7; ++i)
                 list.push(koTest::plainChange(i));
         }},
        {"transient", [](koSessionChangeList& list) {
             for (int i = 1; i <= 7; ++i)
                 list.push(koTest::transientChange(i));
         }},
        {"mixed", [](koSessionChangeList& list) {
             list.push(koTest::plainChange(1));
             list.push(koTest::transientChange(2));
             list.push(koTest::stateChange(5, 3));
             list.push(koTest::transientChange(4));
             list.push(koTest::stateChange(5, 5));
             list.push(koTest::stateChange(6, 6, true));
             list.push(koTest::plainChange(7));
         }},
        {"scene load", [](koSessionChangeList& list) {
             list.push(koTest::transientChange(1));
             list.push(koTest::plainChange(2));
             list.push(koTest::loadSceneChange(3));
             list.push(koTest::transientChange(4));
         }},
    };
    return table;
}

} // namespace

// Two registered indexed readers that take turns, plus one reader that was
// never registered: every read step of every reader, and the list's size
// after it, matches the single-read run, whatever the batch size.
TEST(koSessionChangeListBatch, IndexedBatchesMatchSingleReads)
{
    for (const Case& scenario : cases()) {
        for (std::size_t limit : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(100)}) {
            SCOPED_TRACE(std::string(scenario.name) + ", batches of " + std::to_string(limit));
            koSessionChangeList single;
            koSessionChangeList batched;
            auto singleFirst = single.getReader(true);
            auto singleSecond = single.getReader(true);
            auto batchedFirst = batched.getReader(true);
            auto batchedSecond = batched.getReader(true);
            koSessionChangeReader singleLoose(&single, true);
            koSessionChangeReader batchedLoose(&batched, true);
            scenario.push(single);
            scenario.push(batched);
            for (int round = 0; round < 8; ++round) {
                EXPECT_EQ(readBatch(batched, *batchedFirst, limit), readSingly(single, *singleFirst, limit));
                EXPECT_EQ(readBatch(batched, batchedLoose, limit), readSingly(single, singleLoose, limit));
                if (round % 2 == 1) {
                    EXPECT_EQ(readBatch(batched, *batchedSecond, limit), readSingly(single, *singleSecond, limit));
                }
            }
            EXPECT_EQ(batched.size(), single.size());
        }
    }
}

TEST(koSessionChangeListBatch, ConsumingBatchesPopTheFrontInOrder)
{
    for (const Case& scenario : cases()) {
        for (std::size_t limit : {std::size_t(1), std::size_t(3), std::size_t(100)}) {
            SCOPED_TRACE(std::string(scenario.name) + ", batches of " + std::to_string(limit));
            koSessionChangeList single;
            koSessionChangeList batched;
            auto singleReader = single.getReader(false);
            auto batchedReader = batched.getReader(false);
            scenario.push(single);
            scenario.push(batched);
            for (int round = 0; round < 8; ++round)
                EXPECT_EQ(readBatch(batched, *batchedReader, limit), readSingly(single, *singleReader, limit));
            EXPECT_TRUE(batched.empty());
            EXPECT_EQ(batchedReader->getCurrentIndex(), 0u);
            // A later state change still merges: the popped one left no state entry behind.
            batched.push(koTest::stateChange(5, 50));
            batched.push(koTest::stateChange(5, 51));
            EXPECT_EQ(batched.size(), 1u);
        }
    }
}

TEST(koSessionChangeListBatch, ReaderWithoutListTakesNothing)
{
    koSessionChangeReader reader;
    std::vector<ChangePtr> batch;
    EXPECT_EQ(reader.popSome(batch, 10), 0u);
    EXPECT_TRUE(batch.empty());
}
