// The programs as a user starts them: their options and help, the link the
// server prints, where it listens, and the ways a session ends with the
// status the server exits with.
#include "koToolsTestKit.h"

#include <QCoreApplication>
#include <QSysInfo>

namespace koToolsTest {
namespace {

using ServerProgramTest = ProgramTest;

TEST_F(ServerProgramTest, OptionsAreExplainedAndBadOnesRefusedWithStatusTwo)
{
    const QString server = QStringLiteral(KO_SERVER_PROGRAM);
    const QString client = QStringLiteral(KO_CLIENT_PROGRAM);
    const struct
    {
        QString program;
        QStringList arguments;
        int status;
        std::vector<const char*> said;
    } cases[] = {
        {server, {QStringLiteral("--help")}, 0, {"--port", "--pipe", "--address", "--password", "8889"}},
        {server, {QStringLiteral("--port"), QStringLiteral("70000")}, 2, {"--port needs a number from 0 to 65535"}},
        {server, {QStringLiteral("--port"), QStringLiteral("http")}, 2, {"--port needs a number"}},
        {server, {QStringLiteral("--address"), QStringLiteral("a/b")}, 2, {"must not be empty nor contain '/'"}},
        {server, {QStringLiteral("--no-such-option")}, 2, {"Unknown option"}},
        {server, {QStringLiteral("stray")}, 2, {"unexpected argument 'stray'"}},
        {client, {QStringLiteral("--help")}, 0,
         {"--name", "--password", "--color", "--spectate", "say <text>", "download <file>", "stop"}},
        {client, {}, 2, {"give exactly one session link"}},
        {client, {QStringLiteral("a/1"), QStringLiteral("b/2")}, 2, {"give exactly one session link"}},
        {client, {QStringLiteral("a/1"), QStringLiteral("--color"), QStringLiteral("no-such-colour")}, 2, {"is not a colour"}},
        {client, {QStringLiteral("a/1"), QStringLiteral("--spectate"), QStringLiteral("0")}, 2,
         {"--spectate needs a user number"}},
        {QStringLiteral(KO_DEMO_PROGRAM), {QStringLiteral("--help")}, 0, {"Usage: kosession-demo"}},
    };
    for (const auto& entry : cases) {
        koChildProcess program(QStringLiteral("program"));
        ASSERT_TRUE(program.start(entry.program, entry.arguments));
        EXPECT_EQ(exitCodeOf(program), entry.status) << entry.arguments.join(' ').toStdString();
        for (const char* text : entry.said)
            EXPECT_TRUE(program.getText().contains(QLatin1String(text))) << text << "\n" << program.getText().toStdString();
        // The option that provokes a version mismatch stays out of sight.
        EXPECT_FALSE(program.getText().contains(QLatin1String("--version-text")));
    }
}

TEST_F(ServerProgramTest, LinkNamesWhereItListensAndASecondServerThereIsRefused)
{
    const QString pipe = QStringLiteral("kosession-tools-test-%1").arg(QCoreApplication::applicationPid());
    const struct
    {
        QStringList arguments;
        QString link; // its one group, if any, is the port
        QString where;
    } cases[] = {
        {{QStringLiteral("--port"), QStringLiteral("0")},
         QStringLiteral("^Session link: %1:(\\d+)/[0-9a-f]{10}$").arg(QRegularExpression::escape(QSysInfo::machineHostName())),
         QStringLiteral("TCP port %1")},
        {{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
          QStringLiteral("--password"), QStringLiteral("secret")},
         QStringLiteral("^Session link: 127\\.0\\.0\\.1:(\\d+)/[0-9a-f]{14}$"), QStringLiteral("TCP port %1")},
        {{QStringLiteral("--pipe"), pipe, QStringLiteral("--address"), QStringLiteral("example.org")},
         QStringLiteral("^Session link: example\\.org/[0-9a-f]{10}$"), QStringLiteral("local pipe '%1'")},
    };
    for (const auto& entry : cases) {
        koChildProcess first(QStringLiteral("server"));
        ASSERT_TRUE(first.start(QStringLiteral(KO_SERVER_PROGRAM), entry.arguments));
        const QRegularExpression linkLine(entry.link);
        const int index = first.waitForLine(linkLine, waitLimit);
        ASSERT_GE(index, 0) << first.getText().toStdString();
        const QString port = linkLine.match(first.getLines()[std::size_t(index)].text).captured(1);
        const QString where = entry.where.arg(port.isEmpty() ? pipe : port);
        EXPECT_TRUE(printed(first, QStringLiteral("^Listening on %1").arg(QRegularExpression::escape(where))));

        koChildProcess second(QStringLiteral("second"));
        ASSERT_TRUE(second.start(QStringLiteral(KO_SERVER_PROGRAM),
                                 port.isEmpty() ? QStringList{QStringLiteral("--pipe"), pipe}
                                                : QStringList{QStringLiteral("--port"), port}));
        EXPECT_EQ(exitCodeOf(second), 1);
        EXPECT_TRUE(second.getText().contains(QStringLiteral("cannot listen on %1").arg(where))) << second.getText().toStdString();
        EXPECT_TRUE(first.isRunning());

        first.interrupt();
        EXPECT_EQ(exitCodeOf(first), 0);
        EXPECT_TRUE(printed(first, QStringLiteral("^Interrupted: stopping the session\\.$")));
        EXPECT_TRUE(printed(first, QStringLiteral("^Session ended: stopped by Ctrl-C\\.$"))) << first.getText().toStdString();
    }
}

} // namespace
} // namespace koToolsTest
