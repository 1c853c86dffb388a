// kosession-server left alone: nobody joins, so the session stops itself after a
// minute and the program exits with status 0, saying why; --keep-running stays.
#include "koToolsTestKit.h"

namespace koToolsTest {
namespace {

using ServerWatchdogProgramTest = ProgramTest;

TEST_F(ServerWatchdogProgramTest, SessionThatNobodyJoinsEndsAfterAMinute)
{
    koChildProcess kept(QStringLiteral("kept"));
    ASSERT_TRUE(kept.start(QStringLiteral(KO_SERVER_PROGRAM), {QStringLiteral("--port=0"), QStringLiteral("--keep-running")}));
    startServer();
    ASSERT_FALSE(link.isEmpty());
    // The watchdog gives up after more than 60 whole seconds.
    EXPECT_TRUE(server->waitForExit(90s)) << server->getText().toStdString();
    EXPECT_EQ(server->getExitCode(), 0);
    EXPECT_TRUE(printed(*server, QStringLiteral("info: Stopping empty session$")));
    EXPECT_TRUE(printed(*server, QStringLiteral("^Session ended: nobody joined within 60 seconds\\.$")))
        << server->getText().toStdString();
    EXPECT_TRUE(kept.isRunning()) << kept.getText().toStdString();
    kept.interrupt();
    EXPECT_EQ(exitCodeOf(kept), 0);
}

} // namespace
} // namespace koToolsTest
