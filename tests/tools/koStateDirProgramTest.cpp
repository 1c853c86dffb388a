// A server with --state-dir killed and started again on its folder and port:
// same link, merged changes and scene bytes; one server per folder.
#include "koToolsTestKit.h"

#include "koTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

namespace koToolsTest {
namespace {

using StateDirProgramTest = ProgramTest;

TEST_F(StateDirProgramTest, KilledServerComesBackWithItsSession)
{
    QTemporaryDir folder;
    const auto file = [&folder](const char* name) { return folder.filePath(QString::fromUtf8(name)); };
    const QStringList kept{QStringLiteral("--state-dir"), file("state"), QStringLiteral("--keep-running")};
    startServer(kept);
    const QString firstLink = link;
    koChildProcess& alice = join(QStringLiteral("Alice"));
    const unsigned short aliceId = userIdOf(alice);
    const int size = 300 * 1000 + 7;
    for (const char* name : {"first.bin", "second.bin"}) {
        QFile scene(file(name));
        ASSERT_TRUE(scene.open(QIODevice::WriteOnly) && scene.write(koTest::randomBytes(size, *name).data(), size) == size && scene.flush());
        alice.writeLine(QStringLiteral("upload %1").arg(scene.fileName()));
        ASSERT_TRUE(prints(*server, QStringLiteral("Scene \"%1\" uploaded").arg(QLatin1String(name))));
    }
    // The second announcement reaches the log within moments.
    ASSERT_TRUE(koTest::waitFor([&file] {
        QFile log(file("state/changes.log"));
        return log.open(QIODevice::ReadOnly) && log.readAll().contains(QByteArray("\0s\0e\0c\0o\0n\0d", 12));
    }));
    server->kill();
    const auto refused = [&](const QStringList& extra, const QString& said) {
        koChildProcess second(QStringLiteral("second"));
        EXPECT_TRUE(second.start(QStringLiteral(KO_SERVER_PROGRAM), kept + extra) && exitCodeOf(second) == 2);
        EXPECT_TRUE(second.getText().contains(said)) << second.getText().toStdString();
    };
    refused({QStringLiteral("--password"), QStringLiteral("other")}, QStringLiteral("was made under another password"));
    startServer(kept + QStringList{QStringLiteral("--port"), QString::number(port)});
    EXPECT_EQ(link, firstLink);
    EXPECT_TRUE(prints(alice, QStringLiteral("^rejoined$"))) << alice.getText().toStdString();
    refused({}, QStringLiteral("is used by another kosession-server (pid "));

    // A newcomer may not take the author's number, or it would never get
    // that author's changes. Alice is back under another number.
    koChildProcess& carol = join(QStringLiteral("Carol"));
    EXPECT_NE(userIdOf(carol), aliceId);
    EXPECT_TRUE(prints(carol, QStringLiteral("^scene from a participant who has left: \"second\\.bin\", %1 bytes").arg(size)))
        << carol.getText().toStdString();
    EXPECT_FALSE(printed(carol, QStringLiteral("first\\.bin")));
    carol.writeLine(QStringLiteral("download %1").arg(file("carol.bin")));
    EXPECT_TRUE(prints(carol, QStringLiteral("^downloaded \"second\\.bin\" .*checksum matches"))) << carol.getText().toStdString();
    QFile sent(file("second.bin")), fetched(file("carol.bin"));
    EXPECT_TRUE(sent.open(QIODevice::ReadOnly) && fetched.open(QIODevice::ReadOnly) && fetched.readAll() == sent.readAll());

    // A stop for everybody ends it for good: the next server makes a new session.
    carol.writeLine(QStringLiteral("stop"));
    EXPECT_EQ(exitCodeOf(*server), 0);
    startServer(kept);
    EXPECT_NE(link.section(QLatin1Char('/'), 1), firstLink.section(QLatin1Char('/'), 1));
    // Ctrl-C keeps it: the server says so instead of calling the session ended.
    server->interrupt();
    EXPECT_EQ(exitCodeOf(*server), 0);
    EXPECT_TRUE(printed(*server, QStringLiteral("^Server exits: stopped by Ctrl-C or SIGTERM\\. The session is kept in %1: ")
                                     .arg(QRegularExpression::escape(file("state")))))
        << server->getText().toStdString();
    EXPECT_FALSE(printed(*server, QStringLiteral("^Session ended")));
}

} // namespace
} // namespace koToolsTest
