// `make demo` runs kosession-demo: it must finish a whole session within a
// minute and say that everything arrived.
#include "koToolsTestKit.h"

namespace koToolsTest {
namespace {

using DemoProgramTest = ProgramTest;

TEST_F(DemoProgramTest, WholeSessionRunsAndEverythingArrives)
{
    koChildProcess demo(QStringLiteral("demo"));
    ASSERT_TRUE(demo.start(demoProgram(), QStringList()));
    const auto started = koChildProcess::Clock::now();
    ASSERT_TRUE(demo.waitForExit(90s)) << demo.getText().toStdString();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(koChildProcess::Clock::now() - started);
    EXPECT_EQ(demo.getExitCode(), 0) << demo.getText().toStdString();
    EXPECT_LT(seconds.count(), 60);
    EXPECT_GE(demo.findLine(pattern(QStringLiteral("^Result: everything arrived\\.$"))), 0);
    EXPECT_LT(demo.findLine(pattern(QStringLiteral("\\[FAILED\\]"))), 0);
    for (const char* figure : {"^   participants: +4 \\(Alice, Bob, Carol, Dave\\)",
                               "^   main link latency: +median [\\d.]+ ms, 99th percentile [\\d.]+ ms over \\d+ deliveries",
                               "^   second link latency: +median [\\d.]+ ms, 99th percentile [\\d.]+ ms over \\d+ deliveries",
                               "^   scene transfer: +16\\.0 MiB, uploaded at [\\d.]+ MiB/s, downloaded at [\\d.]+ MiB/s"})
        EXPECT_GE(demo.findLine(pattern(QString::fromUtf8(figure))), 0) << figure;
}

TEST_F(DemoProgramTest, AnyArgumentGetsTheUsage)
{
    koChildProcess demo(QStringLiteral("demo"));
    ASSERT_TRUE(demo.start(demoProgram(), {QStringLiteral("--help")}));
    ASSERT_TRUE(demo.waitForExit(waitLimit));
    EXPECT_EQ(demo.getExitCode(), 0);
    EXPECT_GE(demo.findLine(pattern(QStringLiteral("^Usage: kosession-demo$"))), 0);
}

} // namespace
} // namespace koToolsTest
