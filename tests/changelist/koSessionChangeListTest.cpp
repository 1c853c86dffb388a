#include "koSessionChangeList.h"

#include "koSessionChangeReader.h"
#include "koTestChangeCommands.h"

#include <gtest/gtest.h>

#include <vector>

using koTest::ChangePtr;
using koTest::loadSceneChange;
using koTest::plainChange;
using koTest::stateChange;
using koTest::tagOf;
using koTest::transientChange;

namespace {

std::vector<int> tagsOf(const std::vector<ChangePtr>& changes)
{
    std::vector<int> tags;
    for (const ChangePtr& change : changes)
        tags.push_back(tagOf(*change));
    return tags;
}

// Reads through an indexed reader until the end; returns (tag, index) pairs.
std::vector<std::pair<int, std::uint64_t>> readAll(koSessionChangeReader& reader)
{
    std::vector<std::pair<int, std::uint64_t>> read;
    ChangePtr change;
    while (reader.tryPop(change))
        read.emplace_back(tagOf(*change), reader.getCurrentIndex());
    return read;
}

using Read = std::vector<std::pair<int, std::uint64_t>>;

} // namespace

TEST(koSessionChangeList, IndicesStartAtOneAndSurviveClear)
{
    koSessionChangeList list;
    auto reader = list.getReader(true);
    EXPECT_EQ(reader->getCurrentIndex(), 0u);
    EXPECT_TRUE(reader->empty());

    list.push(plainChange(10));
    EXPECT_FALSE(reader->empty());
    EXPECT_EQ(readAll(*reader), (Read{{10, 1}}));

    list.push(plainChange(11));
    list.push(plainChange(12));
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(reader->getCurrentIndex(), 1u);

    list.push(plainChange(13));
    EXPECT_EQ(readAll(*reader), (Read{{13, 4}}));

    // A reader registered now starts from the oldest held change.
    list.push(plainChange(14));
    auto late = list.getReader(true);
    EXPECT_EQ(readAll(*late), (Read{{13, 4}, {14, 5}}));
}

TEST(koSessionChangeList, EndOfListLeavesTheCursorForChangesPushedLater)
{
    koSessionChangeList list;
    auto reader = list.getReader(true);
    list.push(plainChange(1));
    ChangePtr change;
    ASSERT_TRUE(reader->tryPop(change));
    const ChangePtr kept = change;
    EXPECT_FALSE(reader->tryPop(change));
    EXPECT_EQ(change, kept) << "a failed read leaves the output alone";
    EXPECT_EQ(reader->getCurrentIndex(), 1u);
    EXPECT_TRUE(reader->empty());
    list.push(plainChange(2));
    EXPECT_FALSE(reader->empty());
    EXPECT_EQ(readAll(*reader), (Read{{2, 2}}));
}

TEST(koSessionChangeList, SceneLoadDiscardsEverythingBeforeIt)
{
    struct Case
    {
        const char* name;
        bool mergableScene;
        int readBeforeScene; // how far the reader got before the scene load
    };
    const Case cases[] = {{"plain scene, reader at start", false, 0},
                          {"plain scene, reader in the middle", false, 2},
                          {"mergable scene, reader at end", true, 4}};
    for (const Case& c : cases) {
        koSessionChangeList list;
        auto reader = list.getReader(true);
        list.push(stateChange(1, 1));
        list.push(transientChange(2));
        list.push(plainChange(3));
        list.push(stateChange(2, 4));
        for (int i = 0; i < c.readBeforeScene; ++i) {
            ChangePtr change;
            ASSERT_TRUE(reader->tryPop(change));
        }
        EXPECT_FALSE(list.containsLoadScene());
        list.push(loadSceneChange(5, c.mergableScene));
        EXPECT_EQ(list.size(), 1u) << c.name;
        EXPECT_TRUE(list.containsLoadScene());
        EXPECT_EQ(readAll(*reader), (Read{{5, 5}})) << c.name;

        // The state entries went with their changes: a change with an old key
        // now merges with nothing.
        list.push(stateChange(1, 6));
        EXPECT_EQ(list.size(), 2u) << c.name;
        EXPECT_EQ(tagsOf(list.popAll()), (std::vector<int>{5, 6})) << c.name;
    }
}

TEST(koSessionChangeList, ContainsLoadSceneUntilPoppedOrCleared)
{
    enum class Removal { Pop, Clear, ConsumingReader };
    for (Removal removal : {Removal::Pop, Removal::Clear, Removal::ConsumingReader}) {
        koSessionChangeList list;
        EXPECT_FALSE(list.containsLoadScene());
        list.push(loadSceneChange(1, true));
        list.push(plainChange(2));
        auto indexed = list.getReader(true);
        EXPECT_EQ(readAll(*indexed).size(), 2u);
        EXPECT_TRUE(list.containsLoadScene()) << "indexed reading leaves it in place";
        ChangePtr change;
        switch (removal) {
        case Removal::Pop:
            ASSERT_TRUE(list.tryPop(change));
            break;
        case Removal::Clear:
            list.clear();
            break;
        case Removal::ConsumingReader:
            ASSERT_TRUE(list.getReader(false)->tryPop(change));
            break;
        }
        EXPECT_FALSE(list.containsLoadScene()) << static_cast<int>(removal);
        EXPECT_EQ(list.size(), removal == Removal::Clear ? 0u : 1u);
    }
}

TEST(koSessionChangeList, ReplacedSceneLoadLeavesOnlyTheNewOne)
{
    // A scene load is replaced only by a change of its own state, which is a
    // scene load too: that one clears the list and stands alone.
    koSessionChangeList list;
    list.push(loadSceneChange(1, true));
    list.push(plainChange(2));
    list.push(loadSceneChange(3, true));
    EXPECT_EQ(list.size(), 1u);
    list.push(plainChange(4));
    EXPECT_TRUE(list.containsLoadScene());
    EXPECT_EQ(tagsOf(list.popAll()), (std::vector<int>{3, 4}));
    EXPECT_FALSE(list.containsLoadScene());
}

TEST(koSessionChangeList, MergingKeepsOnlyTheNewestChangePerState)
{
    koSessionChangeList list;
    auto ahead = list.getReader(true);
    auto behind = list.getReader(true);
    list.push(stateChange(1, 10));
    list.push(stateChange(2, 20));
    list.push(plainChange(30));
    EXPECT_EQ(readAll(*ahead), (Read{{10, 1}, {20, 2}, {30, 3}}));

    list.push(stateChange(1, 11)); // replaces index 1, lands at 4
    EXPECT_EQ(list.size(), 3u);
    list.push(stateChange(1, 12)); // replaces index 4, lands at 5
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(readAll(*ahead), (Read{{12, 5}})) << "a reader past the old change reads the newest too";
    EXPECT_EQ(readAll(*behind), (Read{{20, 2}, {30, 3}, {12, 5}})) << "never the replaced ones";

    // Popping a mergable change removes its state entry with it.
    koSessionChangeList popped;
    popped.push(stateChange(7, 1));
    ChangePtr change;
    ASSERT_TRUE(popped.tryPop(change));
    popped.push(plainChange(2));
    popped.push(stateChange(7, 3));
    EXPECT_EQ(popped.size(), 2u);
    EXPECT_EQ(tagsOf(popped.popAll()), (std::vector<int>{2, 3}));
}

TEST(koSessionChangeList, PushOfACommandIsMadeByTheServer)
{
    koSessionChangeList list;
    koTestStateCommand command(5, 55);
    command.setChangedBy(321);
    list.push(command);
    list.push(command);
    EXPECT_EQ(list.size(), 1u) << "pushed commands merge like records";
    ChangePtr change;
    ASSERT_TRUE(list.tryPop(change));
    EXPECT_EQ(change->getChangedBy(), 0);
    EXPECT_EQ(tagOf(*change), 55);
}

TEST(koSessionChangeList, TransientChangesGoWhenEveryRegisteredReaderHasThem)
{
    koSessionChangeList list;
    auto first = list.getReader(true);
    auto second = list.getReader(true);
    list.push(transientChange(1));
    list.push(plainChange(2));
    list.push(stateChange(3, 3, true)); // transient and mergable

    EXPECT_EQ(readAll(*first).size(), 3u);
    EXPECT_EQ(list.size(), 3u) << "the second reader has not read them yet";

    ChangePtr change;
    ASSERT_TRUE(second->tryPop(change));
    EXPECT_EQ(list.size(), 2u);
    ASSERT_TRUE(second->tryPop(change));
    EXPECT_EQ(list.size(), 2u) << "a plain change stays";
    ASSERT_TRUE(second->tryPop(change));
    EXPECT_EQ(list.size(), 1u);

    // The transient state change took its state entry along: the same key now
    // merges with nothing.
    list.push(stateChange(3, 4));
    EXPECT_EQ(list.size(), 2u);

    // A reader registered now starts at 0 and pins the held transient changes.
    list.push(transientChange(5));
    auto late = list.getReader(true);
    EXPECT_EQ(readAll(*first).size(), 2u);
    EXPECT_EQ(readAll(*second).size(), 2u);
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(readAll(*late), (Read{{2, 2}, {4, 4}, {5, 5}}));
    EXPECT_EQ(list.size(), 2u);
}

TEST(koSessionChangeList, UnregisteredAndConsumingReadersDoNotDropTransientChanges)
{
    {
        // No registered reader: the minimum is never an index.
        koSessionChangeList list;
        koSessionChangeReader loose(&list, true);
        list.push(transientChange(1));
        EXPECT_EQ(readAll(loose), (Read{{1, 1}}));
        EXPECT_EQ(list.size(), 1u);
    }
    {
        // A consuming reader's cursor stays 0 and holds every transient change.
        koSessionChangeList list;
        auto consuming = list.getReader(false);
        auto indexed = list.getReader(true);
        list.push(transientChange(1));
        list.push(transientChange(2));
        EXPECT_EQ(readAll(*indexed).size(), 2u);
        EXPECT_EQ(list.size(), 2u);
        EXPECT_EQ(consuming->getCurrentIndex(), 0u);
        EXPECT_EQ(tagsOf(consuming->popAll()), (std::vector<int>{1, 2}));
        EXPECT_EQ(consuming->getCurrentIndex(), 0u);
        EXPECT_TRUE(list.empty());
    }
    {
        // A copy of a registered reader is not registered: its reading does not
        // count, and its destruction does not unregister the original.
        koSessionChangeList list;
        auto registered = list.getReader(true);
        list.push(transientChange(1));
        {
            koSessionChangeReader copy(nullptr, false);
            copy = *registered;
            EXPECT_EQ(readAll(copy), (Read{{1, 1}}));
            EXPECT_EQ(list.size(), 1u);
        }
        EXPECT_EQ(registered->getCurrentIndex(), 0u);
        EXPECT_EQ(readAll(*registered), (Read{{1, 1}}));
        EXPECT_EQ(list.size(), 0u) << "the original is still registered, and was the last";
    }
}

TEST(koSessionChangeList, DestroyedReaderIsUnregisteredWithoutRevisitingChanges)
{
    koSessionChangeList list;
    auto stays = list.getReader(true);
    auto leaves = list.getReader(true);
    list.push(transientChange(1));
    EXPECT_EQ(readAll(*stays).size(), 1u);
    leaves.reset();
    EXPECT_EQ(list.size(), 1u) << "what every remaining reader has read is not revisited";

    // From now on the remaining reader alone decides.
    list.push(transientChange(2));
    EXPECT_EQ(readAll(*stays), (Read{{2, 2}}));
    EXPECT_EQ(list.size(), 1u);
    list.clear();
    EXPECT_TRUE(list.empty());
}

TEST(koSessionChangeList, FrontPopsIgnoreIndexedReaders)
{
    koSessionChangeList list;
    auto reader = list.getReader(true);
    list.push(plainChange(1));
    list.push(plainChange(2));
    list.push(plainChange(3));
    ChangePtr change;
    ASSERT_TRUE(list.tryPop(change));
    EXPECT_EQ(tagOf(*change), 1);
    EXPECT_EQ(readAll(*reader), (Read{{2, 2}, {3, 3}})) << "the popped change is never seen";
    EXPECT_EQ(tagsOf(list.popAll()), (std::vector<int>{2, 3}));
    ChangePtr untouched = change;
    EXPECT_FALSE(list.tryPop(change));
    EXPECT_EQ(change, untouched);
    EXPECT_TRUE(list.popAll().empty());
}

TEST(koSessionChangeList, ReaderWithoutAListIsEmptyAndHarmless)
{
    for (bool indexed : {true, false}) {
        koSessionChangeReader reader(nullptr, indexed);
        ChangePtr change = plainChange(1);
        const ChangePtr before = change;
        EXPECT_FALSE(reader.tryPop(change));
        EXPECT_EQ(change, before);
        EXPECT_TRUE(reader.popAll().empty());
        EXPECT_TRUE(reader.empty());
    }
}

TEST(koSessionChangeList, ConsumingReaderEmptiesTheListFromTheFront)
{
    koSessionChangeList list;
    auto consuming = list.getReader(false);
    EXPECT_TRUE(consuming->empty());
    list.push(plainChange(1));
    list.push(stateChange(1, 2));
    EXPECT_FALSE(consuming->empty());
    ChangePtr change;
    ASSERT_TRUE(consuming->tryPop(change));
    EXPECT_EQ(tagOf(*change), 1);
    EXPECT_EQ(tagsOf(consuming->popAll()), (std::vector<int>{2}));
    EXPECT_TRUE(consuming->empty());
    // The popped mergable change left no state entry behind.
    list.push(stateChange(1, 3));
    list.push(stateChange(2, 4));
    EXPECT_EQ(list.size(), 2u);
}

TEST(koSessionChangeList, ListDestroyedAfterItsReadersReleasesItsChanges)
{
    std::weak_ptr<koSessionChange> watched;
    {
        koSessionChangeList list;
        auto reader = list.getReader(true);
        ChangePtr change = plainChange(1);
        watched = change;
        list.push(change);
        change.reset();
        EXPECT_FALSE(watched.expired());
    }
    EXPECT_TRUE(watched.expired());
}
