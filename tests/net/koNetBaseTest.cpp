// The network library's parts without a link: address texts and the worker
// pool.
#include "koNetActionManager.h"
#include "koNetError.h"
#include "koSocketAddress.h"
#include "koTestLogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

// Address texts as users type them into a session link; a refused text is
// named in the message.
TEST(koSocketAddress, ParsesHostAndPortFormsAndRefusesBadPorts)
{
    const struct {
        const char* text;
        int defaultPort;
        const char* shown; // nullptr: refused
    } table[] = {
        {"example.org", 8889, "example.org:8889"},  {"example.org:1234", 8889, "example.org:1234"},
        {"127.0.0.1:0", 8889, "127.0.0.1:0"},        {"10.1.2.3:65535", 1, "10.1.2.3:65535"},
        {"[::1]:8890", 8889, "[::1]:8890"},          {"[::1]", 8889, "[::1]:8889"},
        {"::1", 8889, "[::1]:8889"},                 {"fe80::1:2", 7, "[fe80::1:2]:7"},
        {"host:", 8889, nullptr},                    {"host:http", 8889, nullptr},
        {"host:65536", 8889, nullptr},               {"host:-1", 8889, nullptr},
        {"[::1]:x", 8889, nullptr},                  {"[::1", 8889, nullptr},
        {"[::1]x", 8889, nullptr},                   {"host", 70000, nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.text);
        try {
            const koSocketAddress address(row.text, row.defaultPort);
            ASSERT_TRUE(row.shown) << "accepted";
            EXPECT_EQ(address.toString(), row.shown);
            const std::string shown = row.shown;
            EXPECT_EQ(address.getPort(), std::stoi(shown.substr(shown.rfind(':') + 1)));
        } catch (const koNetError& e) {
            EXPECT_FALSE(row.shown) << e.what();
            EXPECT_NE(std::string(e.what()).find(row.text), std::string::npos) << e.what();
        }
    }
}

// Each job waits until all have started, which only ends well when no job
// waits behind another, whatever the worker count given. Jobs may start jobs;
// waitAll waits for those too; a job that throws is logged and ends only
// itself.
TEST(koNetActionManager, AJobNeverWaitsBehindAnother)
{
    koTest::LogCapture log;
    koNetActionManager manager(1);
    constexpr int kJobs = 12;
    std::mutex mutex; // guards `arrived`; taken by every job
    std::condition_variable allArrived;
    int arrived = 0;
    std::atomic<int> met{0};
    for (int i = 0; i < kJobs; ++i) {
        manager.run([&] {
            std::unique_lock<std::mutex> lock(mutex);
            if (++arrived == kJobs)
                allArrived.notify_all();
            if (allArrived.wait_for(lock, std::chrono::seconds(10), [&] { return arrived == kJobs; })) {
                manager.run([&] { ++met; });
                throw std::runtime_error("disk on fire");
            }
        });
    }
    manager.waitAll();
    EXPECT_EQ(met.load(), kJobs);
    EXPECT_EQ(log.lines(koLog::Level::Error).size(), static_cast<std::size_t>(kJobs));
    EXPECT_EQ(log.count("disk on fire"), kJobs);
}

} // namespace
