#include "koToolsTestKit.h"

#include <QCoreApplication>

namespace koToolsTest {

QString serverProgram()
{
    return QStringLiteral(KO_SERVER_PROGRAM);
}

QString clientProgram()
{
    return QStringLiteral(KO_CLIENT_PROGRAM);
}

QString demoProgram()
{
    return QStringLiteral(KO_DEMO_PROGRAM);
}

void ensureApplication()
{
    static int argc = 1;
    static char name[] = "test_tools";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

QRegularExpression pattern(const QString& text)
{
    return QRegularExpression(text);
}

void ProgramTest::SetUpTestSuite()
{
    ensureApplication();
}

koChildProcess& ProgramTest::startServer(const QStringList& extra)
{
    server = std::make_unique<koChildProcess>(QStringLiteral("server"));
    EXPECT_TRUE(server->start(serverProgram(), QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                                           QStringLiteral("--address"), QStringLiteral("127.0.0.1")}
                                                   + extra));
    const QRegularExpression linkLine = pattern(QStringLiteral("^Session link: (127\\.0\\.0\\.1:(\\d+)/[0-9a-f]+)$"));
    const int index = server->waitForLine(linkLine, waitLimit);
    EXPECT_GE(index, 0) << server->getText().toStdString();
    if (index >= 0) {
        const QRegularExpressionMatch match = linkLine.match(server->getLines()[static_cast<std::size_t>(index)].text);
        link = match.captured(1);
        port = match.captured(2).toInt();
    }
    return *server;
}

koChildProcess& ProgramTest::startClient(const QString& name, const QString& sessionLink, const QStringList& extra)
{
    clients.push_back(std::make_unique<koChildProcess>(name));
    koChildProcess& client = *clients.back();
    EXPECT_TRUE(client.start(clientProgram(), QStringList{sessionLink, QStringLiteral("--name"), name} + extra));
    return client;
}

koChildProcess& ProgramTest::join(const QString& name, const QStringList& extra)
{
    koChildProcess& client = startClient(name, link, extra);
    EXPECT_TRUE(prints(client, QStringLiteral("^joined \\S+ as user \\d+ \"%1\"").arg(name))) << client.getText().toStdString();
    return client;
}

unsigned short ProgramTest::userIdOf(const koChildProcess& participant)
{
    const QRegularExpression joined = pattern(QStringLiteral("^joined \\S+ as user (\\d+) "));
    const int index = participant.findLine(joined);
    if (index < 0)
        return 0;
    return static_cast<unsigned short>(
        joined.match(participant.getLines()[static_cast<std::size_t>(index)].text).captured(1).toUInt());
}

bool ProgramTest::prints(koChildProcess& child, const QString& text, std::chrono::milliseconds timeout)
{
    return child.waitForLine(pattern(text), timeout) >= 0;
}

int ProgramTest::exitCodeOf(koChildProcess& child, std::chrono::milliseconds timeout)
{
    child.waitForExit(timeout);
    return child.getExitCode();
}

} // namespace koToolsTest
