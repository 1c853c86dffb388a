// The pieces the demo and these tests stand on: the child process driver
// (lines, channels, exit status, no child left behind), the bounded event
// wait, the latency figures and the log line form.
#include "koToolsTestKit.h"

#include "koEventWait.h"
#include "koLatencyStats.h"
#include "koTerminalLog.h"

#include <QTimer>

#include <cerrno>
#include <csignal>

namespace koToolsTest {
namespace {

using ToolKitTest = ProgramTest;

bool startShell(koChildProcess& child, const QString& script)
{
    return child.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
}

TEST(LatencyStatsTest, MedianAndNearestRankPercentiles)
{
    const struct
    {
        std::vector<double> samples;
        double median;
        double p50;
        double p99;
    } cases[] = {
        {{}, 0.0, 0.0, 0.0},
        {{7.0}, 7.0, 7.0, 7.0},
        {{4.0, 1.0, 3.0, 2.0}, 2.5, 2.0, 4.0},
        {{9.0, 1.0, 5.0}, 5.0, 5.0, 9.0},
        // 1..200: the 99th percentile is the 198th sample.
        {[] {
             std::vector<double> all;
             for (int i = 200; i >= 1; --i)
                 all.push_back(i);
             return all;
         }(),
         100.5, 100.0, 198.0},
    };
    for (const auto& entry : cases) {
        koLatencyStats stats;
        for (double sample : entry.samples)
            stats.add(sample);
        EXPECT_EQ(stats.getCount(), static_cast<int>(entry.samples.size()));
        EXPECT_DOUBLE_EQ(stats.getMedian(), entry.median) << entry.samples.size() << " samples";
        EXPECT_DOUBLE_EQ(stats.getPercentile(50.0), entry.p50) << entry.samples.size() << " samples";
        EXPECT_DOUBLE_EQ(stats.getPercentile(99.0), entry.p99) << entry.samples.size() << " samples";
    }
}

TEST(TerminalLogTest, LineCarriesTimeLevelAndText)
{
    EXPECT_TRUE(pattern(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] warning: Upload failed: gone$"))
                    .match(koTerminalLog::format(koLog::Level::Warning, "Upload failed: gone"))
                    .hasMatch());
    EXPECT_TRUE(koTerminalLog::format(koLog::Level::Info, "x").contains(QLatin1String("] info: x")));
    EXPECT_TRUE(koTerminalLog::format(koLog::Level::Error, "x").contains(QLatin1String("] error: x")));
}

TEST_F(ToolKitTest, LinesOfBothChannelsAreKeptAndTheExitStatusRead)
{
    koChildProcess child(QStringLiteral("sh"));
    std::vector<QString> observed;
    child.setLineObserver([&](const koChildProcess&, const koChildProcess::Line& line) { observed.push_back(line.text); });
    // A progress line redrawn with carriage returns, an error line, and a
    // last line that no newline ends.
    ASSERT_TRUE(startShell(child, QStringLiteral("printf 'first\\n 10%%\\r 50%%\\r100%%\\n'; echo oops >&2; "
                                                 "printf 'partial'; exit 3")));
    ASSERT_TRUE(child.waitForExit(waitLimit));
    EXPECT_EQ(child.getExitCode(), 3);
    std::vector<QString> output;
    std::vector<QString> errors;
    for (const koChildProcess::Line& line : child.getLines())
        (line.fromError ? errors : output).push_back(line.text);
    EXPECT_EQ(output, (std::vector<QString>{QStringLiteral("first"), QStringLiteral("100%"), QStringLiteral("partial")}));
    EXPECT_EQ(errors, std::vector<QString>{QStringLiteral("oops")});
    EXPECT_EQ(observed.size(), child.getLines().size());
    EXPECT_EQ(child.findLine(pattern(QStringLiteral("^100%$"))), child.findLine(pattern(QStringLiteral("%$"))));
    EXPECT_EQ(child.countLines(pattern(QStringLiteral("."))), 4);
}

TEST_F(ToolKitTest, TypedLinesReachTheChildAndClosingTheInputEndsIt)
{
    koChildProcess child(QStringLiteral("sh"));
    ASSERT_TRUE(startShell(child, QStringLiteral("while read line; do echo \"got $line\"; done; echo eof")));
    child.writeLine(QStringLiteral("one"));
    EXPECT_GE(child.waitForLine(pattern(QStringLiteral("^got one$")), waitLimit), 0);
    child.writeLine(QStringLiteral("two words"));
    EXPECT_GE(child.waitForLine(pattern(QStringLiteral("^got two words$")), waitLimit), 0);
    child.closeInput();
    EXPECT_GE(child.waitForLine(pattern(QStringLiteral("^eof$")), waitLimit), 0);
    EXPECT_TRUE(child.waitForExit(waitLimit));
    EXPECT_EQ(child.getExitCode(), 0);
}

TEST_F(ToolKitTest, WaitsEndAtTheirBoundOrWhenTheChildIsGone)
{
    koChildProcess child(QStringLiteral("sh"));
    ASSERT_TRUE(startShell(child, QStringLiteral("echo started; sleep 30")));
    EXPECT_EQ(child.waitForLine(pattern(QStringLiteral("^never$")), 100ms), -1);
    EXPECT_FALSE(child.waitForExit(100ms));
    EXPECT_TRUE(child.isRunning());
    EXPECT_EQ(child.getExitCode(), -1);

    child.kill();
    EXPECT_FALSE(child.isRunning());
    EXPECT_EQ(child.getExitCode(), -1);
    // A child that is gone cannot print the line any more: no need to wait the bound out.
    EXPECT_EQ(child.waitForLine(pattern(QStringLiteral("^never$")), 60s), -1);
    EXPECT_GE(child.findLine(pattern(QStringLiteral("^started$"))), 0);
}

TEST_F(ToolKitTest, InterruptIsCtrlC)
{
    koChildProcess child(QStringLiteral("sh"));
    ASSERT_TRUE(startShell(child, QStringLiteral("trap 'echo caught; exit 0' INT; echo ready; "
                                                 "while :; do sleep 0.02; done")));
    ASSERT_GE(child.waitForLine(pattern(QStringLiteral("^ready$")), waitLimit), 0);
    child.interrupt();
    EXPECT_GE(child.waitForLine(pattern(QStringLiteral("^caught$")), waitLimit), 0);
    EXPECT_TRUE(child.waitForExit(waitLimit));
    EXPECT_EQ(child.getExitCode(), 0);
}

TEST_F(ToolKitTest, NoChildOutlivesItsOwner)
{
    qint64 id = 0;
    {
        koChildProcess child(QStringLiteral("sh"));
        ASSERT_TRUE(startShell(child, QStringLiteral("echo $$; sleep 30")));
        const int index = child.waitForLine(pattern(QStringLiteral("^\\d+$")), waitLimit);
        ASSERT_GE(index, 0);
        id = child.getLines()[static_cast<std::size_t>(index)].text.toLongLong();
        ASSERT_EQ(::kill(static_cast<pid_t>(id), 0), 0);
    }
    // Killed and reaped: not even a zombie is left to signal.
    errno = 0;
    EXPECT_EQ(::kill(static_cast<pid_t>(id), 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ToolKitTest, EventWaitRunsTimersAndKeepsItsBound)
{
    bool fired = false;
    QTimer::singleShot(20, [&] { fired = true; });
    EXPECT_TRUE(koEventWait::until([&] { return fired; }, waitLimit));
    int checks = 0;
    EXPECT_FALSE(koEventWait::until([&] { return ++checks < 0; }, 50ms));
    EXPECT_GT(checks, 1);
}

} // namespace
} // namespace koToolsTest
