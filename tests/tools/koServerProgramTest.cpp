// The programs as a user starts them: their options and help, the link the
// server prints, where it listens, the ways a session ends with the status
// the server exits with, and the server's service options.
#include "koToolsTestKit.h"

#include "koNetError.h"
#include "koSocketAddress.h"
#include "koSocketLink.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <QTemporaryDir>

namespace koToolsTest {
namespace {

using ServerProgramTest = ProgramTest;

// Sends `request` to 127.0.0.1:`port` and answers all that comes back before the close.
QByteArray ask(int port, const QByteArray& request)
{
    koSocketLink link(koSocketAddress("127.0.0.1", port), 5.0);
    link.setRecvTimeout(5.0);
    link.send(request.constData(), std::size_t(request.size()));
    QByteArray answer;
    char byte = 0;
    try {
        for (;; answer += byte)
            link.recv(&byte, 1);
    } catch (const koNetError&) {
    }
    return answer;
}

QString writeFile(const QTemporaryDir& folder, const QByteArray& text)
{
    QFile file(folder.filePath(QString::number(qHash(text))));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    return file.fileName();
}

TEST_F(ServerProgramTest, OptionsAreExplainedAndBadOnesRefusedWithStatusTwo)
{
    const QString server = QStringLiteral(KO_SERVER_PROGRAM);
    const QString client = QStringLiteral(KO_CLIENT_PROGRAM);
    const QString demo = QStringLiteral(KO_DEMO_PROGRAM);
    QTemporaryDir folder;
    const QString bareKey = writeFile(folder, "; a comment\nkeep-running\n");
    const QString twice = writeFile(folder, "port=1\n# a comment\n  port = 2\n");
    const struct
    {
        QString program;
        QStringList arguments;
        int status;
        std::vector<const char*> said;
    } cases[] = {
        {server, {QStringLiteral("--help")}, 0, {"--port", "--pipe", "--address", "--password", "8889"}},
        {server, {QStringLiteral("--password-file"), QStringLiteral("/no/such/file")}, 2,
         {"cannot read the password file '/no/such/file'", "or give the password in KOSESSION_PASSWORD"}},
        {server, {QStringLiteral("--port"), QStringLiteral("70000")}, 2, {"--port needs a number from 0 to 65535"}},
        {server, {QStringLiteral("--port"), QStringLiteral("http")}, 2, {"--port needs a number"}},
        {server, {QStringLiteral("--address"), QStringLiteral("a/b")}, 2, {"must not be empty nor contain '/'"}},
        {server, {QStringLiteral("--no-such-option")}, 2, {"Unknown option"}},
        {server, {QStringLiteral("--haproxy-socket"), QStringLiteral("/a"), QStringLiteral("--open")}, 2, {"combined with --open"}},
        {server, {QStringLiteral("--haproxy-socket"), QStringLiteral("/a")}, 2, {"needs --address"}},
        {server, {QStringLiteral("--haproxy-socket"), QStringLiteral("/a"), QStringLiteral("-a"), QStringLiteral("p"),
                  QStringLiteral("--listen"), QStringLiteral("::1")}, 2, {"needs --listen to be this machine's IPv4 address"}},
        {server, {QStringLiteral("stray")}, 2, {"unexpected argument 'stray'"}},
        {server, {QStringLiteral("--haproxy-socket"), QStringLiteral("/no/such.sock"), QStringLiteral("-a"), QStringLiteral("p"),
                  QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QStringLiteral("0")}, 1,
         {"there is no socket at /no/such.sock: start HAProxy", "give --haproxy-socket the path"}},
        {server, {QStringLiteral("--config"), bareKey}, 2,
         {"line 2 of the config file '", "' ('keep-running') has no '=': write option=value, such as keep-running=true"}},
        {server, {QStringLiteral("--config"), twice}, 2, {"line 3 of the config file '", "' gives 'port' a second time"}},
        // -V is the version everywhere; -v is verbose, and a verbose client still needs its link.
        {server, {QStringLiteral("-V")}, 0, {"kosession-server 0."}},
        {client, {QStringLiteral("--version")}, 0, {"kosession-client 0."}},
        {demo, {QStringLiteral("-V")}, 0, {"kosession-demo 0."}},
        {client, {QStringLiteral("-v")}, 2, {"give exactly one session link"}},
        {client, {QStringLiteral("a/1"), QStringLiteral("--password-file"), QStringLiteral("/no/such/file")}, 2,
         {"cannot read the password file '/no/such/file'", "or give the password in KOSESSION_PASSWORD"}},
        {client, {QStringLiteral("--help")}, 0,
         {"--name", "--password", "--color", "--spectate", "--rejoin-for", "say <text>", "download <file>", "stop"}},
        {client, {}, 2, {"give exactly one session link"}},
        {client, {QStringLiteral("a/1"), QStringLiteral("b/2")}, 2, {"give exactly one session link"}},
        {client, {QStringLiteral("a/1"), QStringLiteral("--color"), QStringLiteral("no-such-colour")}, 2, {"is not a colour"}},
        {client, {QStringLiteral("a/1"), QStringLiteral("--spectate"), QStringLiteral("0")}, 2,
         {"--spectate needs a user number"}},
        {demo, {QStringLiteral("--help")}, 0, {"Usage: kosession-demo"}},
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
        QString inUse;
    } cases[] = {
        {{QStringLiteral("--port"), QStringLiteral("0")},
         QStringLiteral("^Session link: %1:(\\d+)/[0-9a-f]{10}$").arg(QRegularExpression::escape(QSysInfo::machineHostName())),
         QStringLiteral("TCP port %1"),
         QStringLiteral(": another program already listens there; choose another port with --port (0 takes a free one)")},
        {{QStringLiteral("--pipe"), pipe}, QStringLiteral("^No session link: "), QStringLiteral("local pipe '%1'"),
         QStringLiteral(": another server already listens there; give another name with --pipe")},
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
        // Said once, with the way out.
        EXPECT_TRUE(printed(second, QLatin1Char('^') + QRegularExpression::escape(QStringLiteral("kosession-server: cannot listen on ") + where + entry.inUse) + QLatin1Char('$')))
            << second.getText().toStdString();
        EXPECT_TRUE(first.isRunning());

        first.interrupt();
        EXPECT_EQ(exitCodeOf(first), 0);
        EXPECT_TRUE(printed(first, QStringLiteral("^Interrupted: stopping the session\\.$")));
        EXPECT_TRUE(printed(first, QStringLiteral("^Session ended: stopped by Ctrl-C or SIGTERM\\.$"))) << first.getText().toStdString();
    }
}

// A password in the environment protects the link and opens it; for the
// participant too a file goes before the environment, the command line before
// both (the client's own table shows that a wrong one or none is refused).
TEST_F(ServerProgramTest, PasswordFromTheEnvironmentOrAFileInTheSameOrderForBothPrograms)
{
    QTemporaryDir folder;
    qputenv("KOSESSION_PASSWORD", "right");
    startServer();
    join(QStringLiteral("ann"));
    qputenv("KOSESSION_PASSWORD", "wrong");
    join(QStringLiteral("bob"), {QStringLiteral("--password-file"), writeFile(folder, "right\n")});
    join(QStringLiteral("cy"), {QStringLiteral("--password"), QStringLiteral("right"), QStringLiteral("--password-file"),
                                writeFile(folder, "wrong")});
    qunsetenv("KOSESSION_PASSWORD");
}

// A service set up by its config file alone: the command line wins over it,
// its password over its password file, which wins over the environment; it listens on one interface, stays
// up when empty, logs no info lines, and its status endpoint tells who is in
// and survives hostile requests.
TEST_F(ServerProgramTest, ConfiguredServiceAnswersStatusAndStaysUpWhenEmpty)
{
    QTemporaryDir folder;
    // Values are taken as written: no comment, list or quote syntax inside them.
    const QString config = "port=99999\n; listen on loopback only\r\nlisten = 127.0.0.1\nkeep-running=true\nquiet=yes\n"
                           "status=127.0.0.1:0\npassword=s3;cr,et #1\npassword-file="
        + writeFile(folder, "wrong\n");
    qputenv("KOSESSION_PASSWORD", "wrong");
    startServer({QStringLiteral("--config"), writeFile(folder, config.toUtf8())});
    qunsetenv("KOSESSION_PASSWORD");
    EXPECT_THROW(koSocketLink(koSocketAddress("127.0.0.2", port), 5.0), koNetError);
    const QRegularExpression statusLine(QStringLiteral("^Status on http://127\\.0\\.0\\.1:(\\d+)/metrics"));
    ASSERT_GE(server->waitForLine(statusLine, waitLimit), 0) << server->getText().toStdString();
    const int statusPort = statusLine.match(server->getLines()[std::size_t(server->findLine(statusLine))].text).captured(1).toInt();
    join(QStringLiteral("ann"), {QStringLiteral("--password"), QStringLiteral("s3;cr,et #1")});
    const std::pair<QByteArray, const char*> requests[] = {
        {QByteArray(8193, 'a'), "HTTP/1.1 431 "},
        {"BREW\r\n\r\n", "HTTP/1.1 400 "},
        {"GET /secret HTTP/1.1\r\n\r\n", "HTTP/1.1 404 "},
        {"GET /metrics HTTP/1.1\r\n\r\n", "\nkosession_participants 1\n"},
        {"GET /metrics HTTP/1.1\r\n\r\n", "\nkosession_joins_total 1\n"},
        {"GET /status HTTP/1.1\r\n\r\n", "\"address\": \"127.0.0.1\",\n"},
        {"GET /status HTTP/1.1\r\n\r\n", "\"name\": \"ann\"\n"},
    };
    for (const auto& entry : requests)
        EXPECT_TRUE(ask(statusPort, entry.first).contains(entry.second)) << entry.first.left(30).toStdString();
    clients.front()->closeInput();
    EXPECT_EQ(exitCodeOf(*clients.front()), 0);
    EXPECT_FALSE(prints(*server, QStringLiteral("^Session ended"), 3s));
    EXPECT_TRUE(ask(statusPort, "GET /metrics HTTP/1.1\r\n\r\n").contains("\nkosession_leaves_total 1\n"));
    EXPECT_FALSE(printed(*server, QStringLiteral("^info: ")));
}

} // namespace
} // namespace koToolsTest
