// Scene transfer through kosession-client: one participant stores a file as
// the session's scene, later joiners are told and fetch it, byte for byte.
#include "koToolsTestKit.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

namespace koToolsTest {
namespace {

class SceneProgramTest : public ProgramTest
{
protected:
    void SetUp() override { ASSERT_TRUE(folder.isValid()); }

    QString writeScene(const QString& name, int size)
    {
        QByteArray bytes(size, '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
        const QString path = folder.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == size);
        return path;
    }

    static QByteArray contentsOf(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
    }

    // Alice uploads `path`; Bob, already in, is told.
    void uploadAndAnnounce(koChildProcess& alice, koChildProcess& bob, const QString& path, int size)
    {
        const QString name = path.section(QLatin1Char('/'), -1);
        alice.writeLine(QStringLiteral("upload %1").arg(path));
        ASSERT_TRUE(prints(alice, QStringLiteral("^uploaded \"%1\": %2 bytes in ").arg(name).arg(size)))
            << alice.getText().toStdString();
        ASSERT_TRUE(prints(bob, QStringLiteral("^scene from user %1 \"Alice\": \"%2\", %3 bytes")
                                    .arg(userIdOf(alice))
                                    .arg(name)
                                    .arg(size)))
            << bob.getText().toStdString();
    }

    QTemporaryDir folder;
};

TEST_F(SceneProgramTest, LateJoinerIsToldAndDownloadsTheSceneIntact)
{
    // Two full pieces of a mebibyte and a short one.
    const int size = 2 * 1024 * 1024 + 12345;
    const QString path = writeScene(QStringLiteral("scene ü.bin"), size);
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    uploadAndAnnounce(alice, bob, path, size);

    koChildProcess& carol = join(QStringLiteral("Carol"));
    EXPECT_GE(carol.findLine(pattern(QStringLiteral("^The session holds a scene: waiting for its announcement\\.$"))), 0)
        << carol.getText().toStdString();
    EXPECT_TRUE(prints(carol, QStringLiteral("^scene from user %1( \"Alice\")?: \"scene ü\\.bin\", %2 bytes").arg(userIdOf(alice)).arg(size)));
    const QString copy = folder.filePath(QStringLiteral("carol.bin"));
    carol.writeLine(QStringLiteral("download %1").arg(copy));
    EXPECT_TRUE(prints(carol, QStringLiteral("^downloaded \"scene ü\\.bin\" to .*: %1 bytes in .*, checksum matches the "
                                             "announcement$")
                                  .arg(size),
                       30s))
        << carol.getText().toStdString();
    EXPECT_EQ(contentsOf(copy), contentsOf(path));
}

TEST_F(SceneProgramTest, DeclinedSceneSkipsOnlyTheFirstDownload)
{
    const QString path = writeScene(QStringLiteral("small.bin"), 4096);
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    uploadAndAnnounce(alice, bob, path, 4096);

    koChildProcess& carol = join(QStringLiteral("Carol"), {QStringLiteral("--decline-scene")});
    EXPECT_GE(carol.findLine(pattern(QStringLiteral("^The session holds a scene: declined\\.$"))), 0);
    const QString copy = folder.filePath(QStringLiteral("carol.bin"));
    carol.writeLine(QStringLiteral("download %1").arg(copy));
    EXPECT_TRUE(prints(carol, QStringLiteral("^error: nothing downloaded: the scene was declined when joining")))
        << carol.getText().toStdString();
    EXPECT_FALSE(QFile::exists(copy));
    carol.writeLine(QStringLiteral("download %1").arg(copy));
    EXPECT_TRUE(prints(carol, QStringLiteral("^downloaded \"small\\.bin\" to ")));
    EXPECT_EQ(contentsOf(copy), contentsOf(path));
}

TEST_F(SceneProgramTest, EmptySceneTravelsAsAnEmptyFile)
{
    const QString path = writeScene(QStringLiteral("empty.bin"), 0);
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    uploadAndAnnounce(alice, bob, path, 0);
    const QString copy = folder.filePath(QStringLiteral("bob.bin"));
    bob.writeLine(QStringLiteral("download %1").arg(copy));
    EXPECT_TRUE(prints(bob, QStringLiteral("^downloaded \"empty\\.bin\" to .*: 0 bytes in "))) << bob.getText().toStdString();
    EXPECT_TRUE(QFile::exists(copy));
    EXPECT_EQ(contentsOf(copy), QByteArray());
}

TEST_F(SceneProgramTest, TransferFailuresAreReportedAndTheSessionGoesOn)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Bob\"").arg(userIdOf(bob))));

    alice.writeLine(QStringLiteral("upload %1").arg(folder.filePath(QStringLiteral("missing.bin"))));
    EXPECT_TRUE(prints(alice, QStringLiteral("^error: cannot read .*missing\\.bin")));
    // No scene is stored yet: the server closes the download's connection.
    alice.writeLine(QStringLiteral("download %1").arg(folder.filePath(QStringLiteral("none.bin"))));
    EXPECT_TRUE(prints(alice, QStringLiteral("^error: downloading the scene failed: "))) << alice.getText().toStdString();
    EXPECT_FALSE(QFile::exists(folder.filePath(QStringLiteral("none.bin"))));

    alice.writeLine(QStringLiteral("say still here"));
    EXPECT_TRUE(prints(bob, QStringLiteral("^message from user %1 \"Alice\": still here$").arg(userIdOf(alice))));
}

} // namespace
} // namespace koToolsTest
