// Many sessions behind one address: a real HAProxy with the shipped
// configuration routes three sessions of three participants each, on three
// servers, by the session hash in each connection's first line. Changes and
// scenes stay in their session; a server that goes, gracefully or killed,
// takes only its own session along, and a new one joins the map at run time.
// A reloaded HAProxy reads the routes back from the map file the servers keep,
// and a HAProxy that lost them all the same is told them again.
#include "koToolsTestKit.h"

#include "koTestSupport.h"

#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <deque>

namespace koToolsTest {
namespace {

class ScaleoutTest : public ProgramTest
{
protected:
    // A server registered with the proxy, and its participants.
    struct Session
    {
        std::unique_ptr<koChildProcess> server;
        QString link;
        std::vector<koChildProcess*> people;
    };

    void startProxy(const QString& program)
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        publicPort = probe.serverPort();
        probe.close();
        QFile(map()).open(QIODevice::WriteOnly);
        qputenv("KOSESSION_PUBLIC", QByteArrayLiteral("127.0.0.1:") + QByteArray::number(publicPort));
        qputenv("KOSESSION_MAP", map().toUtf8());
        qputenv("KOSESSION_HAPROXY_API", api().toUtf8());
        ASSERT_TRUE(proxy.start(program, {QStringLiteral("-db"), QStringLiteral("-f"),
                                          QStringLiteral(KO_SOURCE_DIR "/deploy/haproxy/kosession.cfg")}));
        for (int i = 0; i < 100 && !QFile::exists(api()); ++i)
            QThread::msleep(50);
        ASSERT_TRUE(QFile::exists(api())) << proxy.getText().toStdString();
    }

    // The server finds the map through KOSESSION_MAP, as HAProxy does, unless `extra` names it.
    Session& open(const QString& name, int participants, const QStringList& extra = QStringList())
    {
        koChildProcess& started =
            startServer(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--address"),
                                    QStringLiteral("127.0.0.1:%1").arg(publicPort), QStringLiteral("--haproxy-socket"), api()}
                        + extra);
        EXPECT_TRUE(prints(started, QStringLiteral("^HAProxy at .* routes this session to 127\\.0\\.0\\.1:\\d+$")));
        EXPECT_EQ(port, publicPort) << "the link must name the proxy";
        sessions.push_back({std::move(server), link, {}});
        Session& made = sessions.back();
        // Whoever loses its server gives up rejoining after a second.
        for (int i = 0; i < participants; ++i)
            made.people.push_back(&join(QStringLiteral("%1%2").arg(name).arg(i),
                                        {QStringLiteral("--rejoin-for"), QStringLiteral("1")}, made.link));
        return made;
    }

    // The running proxy's answer to one command of its runtime API.
    QByteArray command(const QByteArray& text)
    {
        QLocalSocket socket;
        socket.connectToServer(api());
        socket.write(text + '\n');
        socket.waitForDisconnected(3000);
        return socket.readAll();
    }
    // The proxy's map, one line per routed session.
    QByteArray routes() { return command("show map " + map().toUtf8()); }
    int routesInFile()
    {
        QFile file(map());
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : -1;
    }

    // Reloads the proxy as its service manager would: a new process takes
    // over the port and the API, the old one serves its connections to the end.
    void reload(const QString& program)
    {
        const QRegularExpression pid(QStringLiteral("Pid: (\\d+)"));
        const QString old = pid.match(QString::fromUtf8(command("show info"))).captured(1);
        ASSERT_FALSE(old.isEmpty());
        ASSERT_TRUE(reloaded.start(program, {QStringLiteral("-db"), QStringLiteral("-f"),
                                             QStringLiteral(KO_SOURCE_DIR "/deploy/haproxy/kosession.cfg"),
                                             QStringLiteral("-sf"), old}));
        for (int i = 0; i < 100 && pid.match(QString::fromUtf8(command("show info"))).captured(1) == old; ++i)
            QThread::msleep(50);
        ASSERT_NE(pid.match(QString::fromUtf8(command("show info"))).captured(1), old) << reloaded.getText().toStdString();
    }

    QString map() const { return folder.filePath(QStringLiteral("kosession.map")); }
    QString api() const { return folder.filePath(QStringLiteral("api.sock")); }

    QTemporaryDir folder;
    koChildProcess proxy{QStringLiteral("haproxy")};
    koChildProcess reloaded{QStringLiteral("haproxy reloaded")};
    quint16 publicPort = 0;
    std::deque<Session> sessions;
};

TEST_F(ScaleoutTest, SessionsBehindOneProxyPortStayApartAndEndAlone)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("haproxy"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    if (program.isEmpty())
        GTEST_SKIP() << "haproxy is not installed (scripts/install-deps installs it)";
    startProxy(program);
    Session& a = open(QStringLiteral("a"), 3);
    Session& b = open(QStringLiteral("b"), 3);
    Session& c = open(QStringLiteral("c"), 3);
    for (Session* session : {&a, &b, &c}) {
        expectTalk(*session->people[0], {session->people[1], session->people[2]}, session->people[0]->getLabel());
        session->people[2]->writeLine(QStringLiteral("users"));
        EXPECT_TRUE(prints(*session->people[2], QStringLiteral("^3 participant\\(s\\):$")));
    }
    for (Session* session : {&a, &b, &c})
        for (Session* other : {&a, &b, &c})
            for (koChildProcess* person : session->people)
                EXPECT_EQ(printed(*person, QStringLiteral("^message .*: %1$").arg(other->people[0]->getLabel())),
                          session == other && person != session->people[0])
                    << person->getText().toStdString();

    // A scene crosses the proxy both ways byte for byte.
    const int size = 1024 * 1024 + 4321;
    const std::vector<char> bytes = koTest::randomBytes(size, 19);
    QFile scene(folder.filePath(QStringLiteral("scene.bin")));
    ASSERT_TRUE(scene.open(QIODevice::WriteOnly) && scene.write(bytes.data(), size) == size);
    scene.close();
    a.people[0]->writeLine(QStringLiteral("upload %1").arg(scene.fileName()));
    ASSERT_TRUE(prints(*a.people[0], QStringLiteral("^uploaded \"scene\\.bin\": %1 bytes").arg(size)));
    a.people[1]->writeLine(QStringLiteral("download %1").arg(folder.filePath(QStringLiteral("back.bin"))));
    ASSERT_TRUE(prints(*a.people[1], QStringLiteral("^downloaded \"scene\\.bin\" to "), 30s)) << a.people[1]->getText().toStdString();
    QFile back(folder.filePath(QStringLiteral("back.bin")));
    ASSERT_TRUE(back.open(QIODevice::ReadOnly));
    EXPECT_TRUE(back.readAll() == QByteArray(bytes.data(), size));

    // After a reload every session still takes newcomers, who talk with
    // those connected through the old process.
    EXPECT_EQ(routesInFile(), 3);
    reload(program);
    for (Session* session : {&a, &b, &c}) {
        session->people.push_back(&join(QStringLiteral("%1-reloaded").arg(session->people[0]->getLabel()),
                                        {QStringLiteral("--rejoin-for"), QStringLiteral("1")}, session->link));
        expectTalk(*session->people.back(), {session->people[1]}, QStringLiteral("reloaded"));
        expectTalk(*session->people[1], {session->people.back()}, QStringLiteral("old"));
    }
    // A proxy that lost every route is told them again.
    command("clear map " + map().toUtf8());
    for (Session* session : {&a, &b, &c})
        EXPECT_TRUE(prints(*session->server, QStringLiteral("^HAProxy had lost this session's route")));
    EXPECT_EQ(routes().count('\n'), 3 + 1);

    // Ctrl-C takes the session out of the map; a killed server leaves its
    // entry behind, which must lead nowhere. Either ends only its own session.
    b.server->interrupt();
    EXPECT_TRUE(prints(*b.server, QStringLiteral("^Removed this session from HAProxy's map\\.$"))) << b.server->getText().toStdString();
    c.server->kill();
    for (Session* gone : {&b, &c}) {
        for (koChildProcess* person : gone->people)
            EXPECT_TRUE(person->waitForExit(waitLimit)) << person->getText().toStdString();
        koChildProcess& late = startClient(QStringLiteral("late"), gone->link);
        EXPECT_EQ(exitCodeOf(late), 1);
        // The proxy closes as the server does: the same line names the mistake.
        EXPECT_TRUE(printed(late, QStringLiteral(": no session %1 at 127\\.0\\.0\\.1:%2: check the link ")
                                      .arg(gone->link.section(QLatin1Char('/'), 1))
                                      .arg(publicPort)))
            << late.getText().toStdString();
    }
    Session& d = open(QStringLiteral("d"), 2, {QStringLiteral("--haproxy-map"), map()});
    expectTalk(*d.people[0], {d.people[1]}, QStringLiteral("fresh"));
    expectTalk(*a.people[2], {a.people[0], a.people[1]}, QStringLiteral("still"));
    EXPECT_EQ(routes().count('\n'), 3 + 1) << "a, the stale c and d, then an empty line";
    EXPECT_EQ(routesInFile(), 3) << "a, the stale c and d";
}

} // namespace
} // namespace koToolsTest
