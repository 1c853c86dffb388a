// The worker pool: jobs run side by side, waitAll waits for all of them, a
// failing job is logged, and finished threads do not pile up.
#include "koNetActionManager.h"

#include "koLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Threads of this process, from /proc.
int threadCount()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

// Lets `parties` threads wait for each other, at most `limit`.
class Meeting
{
public:
    explicit Meeting(int parties) : parties(parties) {}
    bool arriveAndWait(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (++arrived == parties)
            all.notify_all();
        return all.wait_for(lock, limit, [this] { return arrived >= parties; });
    }

private:
    // Guards `arrived`; taken by every arriving job.
    std::mutex mutex;
    std::condition_variable all;
    int parties;
    int arrived = 0;
};

} // namespace

TEST(koNetActionManager, JobsNeverWaitBehindEachOther)
{
    // Each job waits until all have started: that only ends well when every
    // job runs at the same time as the others, whatever the worker hint.
    constexpr int kJobs = 12;
    koNetActionManager manager(1);
    Meeting meeting(kJobs);
    std::atomic<int> met{0};
    for (int i = 0; i < kJobs; ++i)
        manager.run([&] { met += meeting.arriveAndWait(std::chrono::seconds(10)) ? 1 : 0; });
    manager.waitAll();
    EXPECT_EQ(met.load(), kJobs);
}

TEST(koNetActionManager, WaitAllWaitsForJobsStartedByJobs)
{
    koNetActionManager manager(0);
    std::atomic<int> done{0};
    manager.run([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        manager.run([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            manager.run([&] { ++done; });
            ++done;
        });
        ++done;
    });
    manager.waitAll();
    EXPECT_EQ(done.load(), 3);
}

TEST(koNetActionManager, DestructorWaitsForRunningJobs)
{
    std::atomic<bool> finished{false};
    {
        koNetActionManager manager(0);
        manager.run([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            finished = true;
        });
    }
    EXPECT_TRUE(finished.load());
}

TEST(koNetActionManager, EscapingExceptionIsLoggedAndEndsOnlyItsJob)
{
    std::mutex mutex; // guards `lines`; taken by the sink
    std::vector<std::pair<koLog::Level, std::string>> lines;
    const koLog::Sink previous = koLog::setSink([&](koLog::Level level, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.emplace_back(level, line);
    });
    std::atomic<bool> otherRan{false};
    {
        koNetActionManager manager(0);
        manager.run([] { throw std::runtime_error("disk on fire"); });
        manager.run([] { throw 42; });
        manager.run([&] { otherRan = true; });
        manager.waitAll();
    }
    koLog::setSink(previous);
    EXPECT_TRUE(otherRan.load());
    ASSERT_EQ(lines.size(), 2u);
    int withText = 0;
    for (const auto& line : lines) {
        EXPECT_EQ(line.first, koLog::Level::Error);
        withText += line.second.find("disk on fire") != std::string::npos;
    }
    EXPECT_EQ(withText, 1);
}

TEST(koNetActionManager, FinishedThreadsAreJoined)
{
    koNetActionManager manager(0);
    // One round first: a sanitizer starts a helper thread with the first thread.
    manager.run([] {});
    manager.waitAll();
    const int before = threadCount();
    ASSERT_GT(before, 0);
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 10; ++i)
            manager.run([] {});
        manager.waitAll();
    }
    EXPECT_EQ(threadCount(), before);
}
