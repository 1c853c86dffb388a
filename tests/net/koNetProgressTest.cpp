// The process-wide progress and its abort request.
#include "koNetProgress.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// Every test starts from a fresh progress with no abort request and no observer.
class koNetProgressTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        koNetProgress::setObserver({});
        koNetProgress::start("reset", 0);
        koNetProgress::start("", 0);
    }
    void TearDown() override { koNetProgress::setObserver({}); }
};

} // namespace

TEST_F(koNetProgressTest, AbortRequestOutlivesTheEndOfItsProgressButNotTheNextStart)
{
    koNetProgress::start("Downloading scene", 100);
    EXPECT_FALSE(koNetProgress::isAborting());
    koNetProgress::add(40);
    koNetProgress::requestAbort();
    EXPECT_TRUE(koNetProgress::isAborting());

    koNetProgress::start("", 0); // the transfer ends its progress...
    EXPECT_TRUE(koNetProgress::isAborting()); // ...and can still tell it was aborted
    const koNetProgress::State ended = koNetProgress::getState();
    EXPECT_EQ(ended.text, "");
    EXPECT_TRUE(ended.aborting);

    koNetProgress::start("Uploading scene", 10);
    EXPECT_FALSE(koNetProgress::isAborting());
    const koNetProgress::State fresh = koNetProgress::getState();
    EXPECT_EQ(fresh.text, "Uploading scene");
    EXPECT_EQ(fresh.total, 10.0);
    EXPECT_EQ(fresh.done, 0.0);
}

TEST_F(koNetProgressTest, ObserverSeesEveryChangeAndMayCallBack)
{
    std::vector<koNetProgress::State> seen;
    koNetProgress::setObserver([&](const koNetProgress::State& state) {
        // Called without the lock: reading the state again must not block.
        EXPECT_EQ(koNetProgress::getState().done, state.done);
        seen.push_back(state);
    });
    koNetProgress::start("Work", 4);
    koNetProgress::add(1);
    koNetProgress::add(2.5);
    koNetProgress::requestAbort();
    const koNetProgress::Observer mine = koNetProgress::setObserver({});
    koNetProgress::add(1);
    EXPECT_TRUE(static_cast<bool>(mine));

    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].text, "Work");
    EXPECT_EQ(seen[1].done, 1.0);
    EXPECT_EQ(seen[2].done, 3.5);
    EXPECT_TRUE(seen[3].aborting);
    EXPECT_EQ(koNetProgress::getState().done, 4.5);
}

TEST_F(koNetProgressTest, AddsFromManyThreadsAllCount)
{
    koNetProgress::start("Parallel", 8000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i)
                koNetProgress::add(1);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(koNetProgress::getState().done, 8000.0);
}
