// kosession-server as a user runs it: options, the link it prints, the ways
// a session ends and the status it exits with.
#include "koToolsTestKit.h"

#include <QCoreApplication>
#include <QSysInfo>

namespace koToolsTest {
namespace {

using ServerProgramTest = ProgramTest;

// Runs the server with `arguments` to its end; answers its exit status.
int runServer(koChildProcess& server, const QStringList& arguments)
{
    EXPECT_TRUE(server.start(serverProgram(), arguments));
    server.waitForExit(waitLimit);
    return server.getExitCode();
}

TEST_F(ServerProgramTest, HelpExplainsEveryOptionButTheHiddenOne)
{
    koChildProcess server(QStringLiteral("server"));
    ASSERT_EQ(runServer(server, {QStringLiteral("--help")}), 0);
    const QString text = server.getText();
    for (const char* option : {"--port", "--pipe", "--address", "--password", "--help"})
        EXPECT_TRUE(text.contains(QLatin1String(option))) << option << "\n" << text.toStdString();
    EXPECT_TRUE(text.contains(QLatin1String("8889")));
    EXPECT_FALSE(text.contains(QLatin1String("--version-text")));
}

TEST_F(ServerProgramTest, BadOptionsExitWithStatusTwoAndSayWhy)
{
    const struct
    {
        QStringList arguments;
        const char* expected;
    } cases[] = {
        {{QStringLiteral("--port"), QStringLiteral("70000")}, "--port needs a number from 0 to 65535"},
        {{QStringLiteral("--port"), QStringLiteral("http")}, "--port needs a number"},
        {{QStringLiteral("--address"), QStringLiteral("a/b")}, "must not be empty nor contain '/'"},
        {{QStringLiteral("--no-such-option")}, "Unknown option"},
        {{QStringLiteral("stray")}, "unexpected argument 'stray'"},
    };
    for (const auto& entry : cases) {
        koChildProcess server(QStringLiteral("server"));
        EXPECT_EQ(runServer(server, entry.arguments), 2) << entry.expected;
        EXPECT_TRUE(server.getText().contains(QLatin1String(entry.expected))) << server.getText().toStdString();
    }
}

TEST_F(ServerProgramTest, LinkNamesTheAddressAndPortAndCarriesThePassword)
{
    const struct
    {
        QStringList extra;
        int digits; // hexadecimal digits of the identifier field
    } cases[] = {
        {{}, 10},
        {{QStringLiteral("--password"), QStringLiteral("secret")}, 14},
    };
    for (const auto& entry : cases) {
        startServer(entry.extra);
        ASSERT_FALSE(link.isEmpty());
        EXPECT_GT(port, 0);
        EXPECT_EQ(link.section(QLatin1Char('/'), 1).size(), entry.digits) << link.toStdString();
        EXPECT_TRUE(prints(*server, QStringLiteral("^Listening on TCP port %1$").arg(port)));
        server->interrupt();
        EXPECT_EQ(exitCodeOf(*server), 0) << server->getText().toStdString();
    }
}

TEST_F(ServerProgramTest, AddressDefaultsToTheHostNameAndCtrlCStopsCleanly)
{
    server = std::make_unique<koChildProcess>(QStringLiteral("server"));
    ASSERT_TRUE(server->start(serverProgram(), {QStringLiteral("--port"), QStringLiteral("0")}));
    ASSERT_TRUE(prints(*server, QStringLiteral("^Session link: ")));
    const QString expected = QStringLiteral("^Session link: %1:\\d+/[0-9a-f]{10}$")
                                 .arg(QRegularExpression::escape(QSysInfo::machineHostName()));
    EXPECT_GE(server->findLine(pattern(expected)), 0) << server->getText().toStdString();

    server->interrupt();
    EXPECT_EQ(exitCodeOf(*server), 0);
    EXPECT_GE(server->findLine(pattern(QStringLiteral("^Interrupted: stopping the session\\.$"))), 0);
    EXPECT_GE(server->findLine(pattern(QStringLiteral("^Session ended: stopped by Ctrl-C\\.$"))), 0)
        << server->getText().toStdString();
}

TEST_F(ServerProgramTest, LastParticipantLeavingEndsItAndEachLeaveIsLogged)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    const unsigned short bobId = userIdOf(bob);
    bob.writeLine(QStringLiteral("leave"));
    EXPECT_TRUE(prints(*server, QStringLiteral("info: Session connection of user %1 ended").arg(bobId)))
        << server->getText().toStdString();
    EXPECT_TRUE(server->isRunning());
    alice.closeInput();
    EXPECT_EQ(exitCodeOf(*server), 0);
    EXPECT_GE(server->findLine(pattern(QStringLiteral("info: Stopping session after last client has disconnected$"))), 0);
    EXPECT_GE(server->findLine(pattern(QStringLiteral("^Session ended: the last participant left\\.$"))), 0)
        << server->getText().toStdString();
}

TEST_F(ServerProgramTest, PortInUseExitsWithStatusOneAndNamesThePort)
{
    startServer();
    ASSERT_GT(port, 0);
    koChildProcess second(QStringLiteral("second"));
    EXPECT_EQ(runServer(second, {QStringLiteral("--port"), QString::number(port)}), 1);
    EXPECT_TRUE(second.getText().contains(QStringLiteral("cannot listen on TCP port %1").arg(port)))
        << second.getText().toStdString();
    EXPECT_TRUE(server->isRunning());
}

TEST_F(ServerProgramTest, PipeModeListensOnThePipeAndRefusesASecondServerOnIt)
{
    const QString name = QStringLiteral("kosession-tools-test-%1").arg(QCoreApplication::applicationPid());
    server = std::make_unique<koChildProcess>(QStringLiteral("server"));
    ASSERT_TRUE(server->start(serverProgram(), {QStringLiteral("--pipe"), name, QStringLiteral("--address"),
                                                QStringLiteral("example.org")}));
    ASSERT_TRUE(prints(*server, QStringLiteral("^Session link: example\\.org/[0-9a-f]{10}$")))
        << server->getText().toStdString();
    EXPECT_GE(server->findLine(pattern(QStringLiteral("^Listening on local pipe '%1'").arg(name))), 0);

    koChildProcess second(QStringLiteral("second"));
    EXPECT_EQ(runServer(second, {QStringLiteral("--pipe"), name}), 1);
    EXPECT_TRUE(second.getText().contains(QStringLiteral("cannot listen on local pipe '%1'").arg(name)))
        << second.getText().toStdString();

    server->interrupt();
    EXPECT_EQ(exitCodeOf(*server), 0);
}

} // namespace
} // namespace koToolsTest
