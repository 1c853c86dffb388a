// The network library's parts without a link: the serializer's byte forms,
// address texts, the worker pool and the process-wide progress.
#include "koNetActionManager.h"
#include "koNetProgress.h"
#include "koSocketAddress.h"
#include "koTestLogCapture.h"
#include "koTestMemorySerializer.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>

namespace {

TEST(koNetSerializer, ValuesTravelAsLittleEndianBytes)
{
    koTest::MemorySerializer out;
    out.putValue<std::uint8_t>(0xab);
    out.putValue<std::int16_t>(-2);
    out.putValue<std::uint32_t>(0x12345678u);
    out.putValue<std::int32_t>(std::numeric_limits<std::int32_t>::min());
    out.putValue<std::uint64_t>(0x0102030405060708ull);
    out.putValue(1.0f);
    out.putValue(-2.0);
    out.putValue(true);
    out.putValueSize(0x1234);
    out.putValueSize(std::numeric_limits<std::size_t>::max());
    const QByteArray wire(out.bytes.data(), static_cast<int>(out.bytes.size()));
    EXPECT_EQ(wire.toHex().toStdString(), "ab" "feff" "78563412" "00000080" "0807060504030201" "0000803f"
                                          "00000000000000c0" "01" "3412000000000000" "ffffffffffffffff");

    koTest::MemorySerializer in(out.bytes);
    EXPECT_EQ(in.getValue<std::uint8_t>(), 0xab);
    EXPECT_EQ(in.getValue<std::int16_t>(), -2);
    in.position = out.bytes.size() - 17; // the bool, then the two sizes
    EXPECT_TRUE(in.getValue<bool>());
    std::size_t size = 0;
    in.getValueSize(size);
    EXPECT_EQ(size, 0x1234u);
    EXPECT_EQ(in.getValueSize(), std::numeric_limits<std::size_t>::max());
    // Any byte but zero reads as true.
    koTest::MemorySerializer flags(std::vector<char>{0, 2, '\x80'});
    EXPECT_FALSE(flags.getValue<bool>());
    EXPECT_TRUE(flags.getValue<bool>());
    EXPECT_TRUE(flags.getValue<bool>());
}

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

// An abort request outlives the end of its progress (so the transfer that
// ended can tell), but not the next start. The observer sees every change.
TEST(koNetProgress, AbortRequestLastsUntilTheNextStart)
{
    std::string seen;
    koNetProgress::setObserver([&](const koNetProgress::State& state) {
        seen += state.text + " " + std::to_string(int(state.done)) + "/" + std::to_string(int(state.total))
            + (state.aborting ? " aborting; " : "; ");
    });
    koNetProgress::start("Downloading", 100);
    koNetProgress::add(40);
    EXPECT_FALSE(koNetProgress::isAborting());
    koNetProgress::requestAbort();
    koNetProgress::start("", 0);
    EXPECT_TRUE(koNetProgress::isAborting());
    koNetProgress::start("Uploading", 10);
    EXPECT_FALSE(koNetProgress::isAborting());
    koNetProgress::add(2);
    koNetProgress::setObserver({});
    EXPECT_EQ(seen, "Downloading 0/100; Downloading 40/100; Downloading 40/100 aborting;  0/0 aborting; "
                    "Uploading 0/10; Uploading 2/10; ");
}

} // namespace
