#include "koLog.h"

#include <QtGlobal>
#include <QString>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Entry
{
    koLog::Level level;
    std::string text;
    bool operator==(const Entry& other) const { return level == other.level && text == other.text; }
};

// Installs a capturing sink for one test and puts the previous one back.
class koLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        previous = koLog::setSink([this](koLog::Level level, const std::string& text) {
            entries.push_back({level, text}); // koLog calls one sink at a time
        });
    }
    void TearDown() override { koLog::setSink(previous); }

    koLog::Sink previous;
    std::vector<Entry> entries;
};

TEST_F(koLogTest, FormatsOneEntryPerCallAtItsLevel)
{
    koLog::info("Stopping empty session");
    koLog::warning("Download aborted by user");
    koLog::error("Unable to handle request:%s", "Connection reset");
    koLog::info("%d peers, %u bytes, %.1f s, %s", -3, 42u, 1.25, "");
    const std::vector<Entry> expected = {
        {koLog::Level::Info, "Stopping empty session"},
        {koLog::Level::Warning, "Download aborted by user"},
        {koLog::Level::Error, "Unable to handle request:Connection reset"},
        {koLog::Level::Info, "-3 peers, 42 bytes, 1.2 s, "},
    };
    EXPECT_EQ(entries, expected);
}

TEST_F(koLogTest, DropsOnlyTheFormatsTrailingNewline)
{
    const std::string longText(5000, 'x');
    koLog::info("line\n");
    koLog::info("line");
    koLog::info("two\n\n");
    koLog::warning("%s", "argument ends a line\n");
    koLog::error("%s\n", longText.c_str());
    koLog::info("\n");
    const std::vector<Entry> expected = {
        {koLog::Level::Info, "line"},
        {koLog::Level::Info, "line"},
        {koLog::Level::Info, "two\n"},
        {koLog::Level::Warning, "argument ends a line\n"},
        {koLog::Level::Error, longText},
        {koLog::Level::Info, ""},
    };
    EXPECT_EQ(entries, expected);
}

TEST_F(koLogTest, ConcurrentCallsReachTheSinkWholeAndOneAtATime)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                koLog::info("thread %d line %d", t, i);
        });
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const Entry& entry : entries) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(entry.text.c_str(), "thread %d line %d", &t, &i), 2) << entry.text;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++);
    }
}

TEST_F(koLogTest, ThrowingSinkDoesNotReachTheCaller)
{
    koLog::setSink([](koLog::Level, const std::string&) { throw std::runtime_error("sink down"); });
    EXPECT_NO_THROW(koLog::error("Unable to handle request:%s", "boom"));
}

// The default sink: the Qt category "kosession", at the matching Qt level.
struct QtMessage
{
    QtMsgType type;
    std::string category;
    std::string text;
};
std::vector<QtMessage> qtMessages;

void captureQt(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    qtMessages.push_back({type, context.category ? context.category : "", text.toStdString()});
}

TEST(koLogDefaultSink, WritesToTheKosessionCategory)
{
    koLog::setSink(nullptr);
    qtMessages.clear();
    const QtMessageHandler before = qInstallMessageHandler(captureQt);
    koLog::info("info %d", 1);
    koLog::warning("warning %d\n", 2);
    koLog::error("error %d", 3);
    qInstallMessageHandler(before);

    ASSERT_EQ(qtMessages.size(), 3u);
    const QtMsgType types[] = {QtInfoMsg, QtWarningMsg, QtCriticalMsg};
    const char* texts[] = {"info 1", "warning 2", "error 3"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(qtMessages[i].type, types[i]);
        EXPECT_EQ(qtMessages[i].category, "kosession");
        EXPECT_EQ(qtMessages[i].text, texts[i]);
    }
}

} // namespace
