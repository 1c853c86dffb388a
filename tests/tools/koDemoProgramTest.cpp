// `make demo` runs kosession-demo: it must finish a whole session within a
// minute and say that everything arrived.
#include "koToolsTestKit.h"

namespace koToolsTest {
namespace {

using DemoProgramTest = ProgramTest;

TEST_F(DemoProgramTest, WholeSessionRunsAndEverythingArrives)
{
    koChildProcess demo(QStringLiteral("demo"));
    ASSERT_TRUE(demo.start(QStringLiteral(KO_DEMO_PROGRAM), QStringList()));
    const auto started = koChildProcess::Clock::now();
    ASSERT_TRUE(demo.waitForExit(90s)) << demo.getText().toStdString();
    EXPECT_LT(koChildProcess::Clock::now() - started, 60s);
    EXPECT_EQ(demo.getExitCode(), 0) << demo.getText().toStdString();
    EXPECT_FALSE(printed(demo, QStringLiteral("\\[FAILED\\]")));
    for (const char* line : {"^Result: everything arrived\\.$", "^   participants: +4 \\(Alice, Bob, Carol, Dave\\)",
                             "^   main link latency: +median [\\d.]+ ms, 99th percentile [\\d.]+ ms over \\d+ deliveries",
                             "^   second link latency: +median [\\d.]+ ms, 99th percentile [\\d.]+ ms over \\d+ deliveries",
                             "^   scene transfer: +16\\.0 MiB, uploaded at [\\d.]+ MiB/s, downloaded at [\\d.]+ MiB/s"})
        EXPECT_TRUE(printed(demo, QString::fromUtf8(line))) << line;
}

} // namespace
} // namespace koToolsTest
