#include "koToolsTestKit.h"

#include <QCoreApplication>

namespace koToolsTest {

void ProgramTest::SetUpTestSuite()
{
    static int argc = 1;
    static char name[] = "program-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

koChildProcess& ProgramTest::startServer(const QStringList& extra)
{
    server = std::make_unique<koChildProcess>(QStringLiteral("server"));
    EXPECT_TRUE(server->start(QStringLiteral(KO_SERVER_PROGRAM), QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                                           QStringLiteral("--address"), QStringLiteral("127.0.0.1")}
                                                   + extra));
    const QRegularExpression linkLine = QRegularExpression(QStringLiteral("^Session link: (127\\.0\\.0\\.1:(\\d+)/[0-9a-f]+)$"));
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
    EXPECT_TRUE(client.start(QStringLiteral(KO_CLIENT_PROGRAM), QStringList{sessionLink, QStringLiteral("--name"), name} + extra));
    return client;
}

koChildProcess& ProgramTest::join(const QString& name, const QStringList& extra, QString sessionLink)
{
    koChildProcess& client = startClient(name, sessionLink.isEmpty() ? link : sessionLink, extra);
    EXPECT_TRUE(prints(client, QStringLiteral("^joined \\S+ as user \\d+ \"%1\"").arg(name))) << client.getText().toStdString();
    return client;
}

unsigned short ProgramTest::userIdOf(const koChildProcess& participant)
{
    const QRegularExpression joined = QRegularExpression(QStringLiteral("^joined \\S+ as user (\\d+) "));
    const int index = participant.findLine(joined);
    if (index < 0)
        return 0;
    return static_cast<unsigned short>(
        joined.match(participant.getLines()[static_cast<std::size_t>(index)].text).captured(1).toUInt());
}

bool ProgramTest::prints(koChildProcess& child, const QString& text, std::chrono::milliseconds timeout)
{
    return child.waitForLine(QRegularExpression(text), timeout) >= 0;
}

bool ProgramTest::printed(const koChildProcess& child, const QString& text)
{
    return child.findLine(QRegularExpression(text)) >= 0;
}

int ProgramTest::exitCodeOf(koChildProcess& child, std::chrono::milliseconds timeout)
{
    child.waitForExit(timeout);
    return child.getExitCode();
}

void ProgramTest::expectTalk(koChildProcess& from, std::initializer_list<koChildProcess*> to, const QString& text)
{
    from.writeLine(QStringLiteral("say %1").arg(text));
    for (koChildProcess* other : to)
        EXPECT_TRUE(prints(*other, QStringLiteral("^message from user %1 .*: %2$").arg(userIdOf(from)).arg(text)))
            << other->getLabel().toStdString() << ":\n" << other->getText().toStdString();
}

void ProgramTest::expectLeft(std::initializer_list<koChildProcess*> seers, unsigned short id)
{
    for (koChildProcess* seer : seers)
        EXPECT_TRUE(prints(*seer, QStringLiteral("^- user %1 .* left$").arg(id))) << seer->getText().toStdString();
}

} // namespace koToolsTest
