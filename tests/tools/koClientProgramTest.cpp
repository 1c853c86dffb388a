// kosession-client driven through its standard input against a real
// kosession-server: what one participant types reaches the others, a stored
// file reaches later joiners intact, the roster follows colours, spectating
// and every way of leaving, and a join that cannot work is refused with a
// clear message and status 1.
#include "koToolsTestKit.h"

#include "koTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

namespace koToolsTest {
namespace {

using ClientProgramTest = ProgramTest;

TEST_F(ClientProgramTest, WhatParticipantsTypeReachesTheOthersUntilTheSessionIsStopped)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"), {QStringLiteral("--color"), QStringLiteral("orange")});
    const unsigned short aliceId = userIdOf(alice);
    koChildProcess& bob = join(QStringLiteral("Bob"), {QStringLiteral("--spectate"), QString::number(aliceId)});
    const unsigned short bobId = userIdOf(bob);
    koChildProcess& carol = join(QStringLiteral("Carol"));
    koChildProcess& dave = join(QStringLiteral("Dave"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Dave\"").arg(userIdOf(dave))));

    // A chosen colour stays and still takes its index; the others get the
    // default table's second and third (Lime, Yellow Bus).
    EXPECT_TRUE(printed(alice, QStringLiteral("^joined .* \"Alice\" #ffa500 \\(you\\)$"))) << alice.getText().toStdString();
    EXPECT_TRUE(printed(carol, QStringLiteral("^joined .* \"Carol\" #fcd700 \\(you\\)$"))) << carol.getText().toStdString();
    EXPECT_TRUE(printed(bob, QStringLiteral("^joined .* \"Bob\" #a8c12e, spectating user %1 \\(you\\)$").arg(aliceId)));
    EXPECT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Bob\" #a8c12e, spectating user %2$").arg(bobId).arg(aliceId)));
    // Alice's first roster may already hold Bob (the server keeps only the newest).
    EXPECT_TRUE(prints(alice, QStringLiteral("^[+~] user %1 \"Alice\" #ffa500, watched by 1 \\(you\\)$").arg(aliceId)))
        << alice.getText().toStdString();

    alice.writeLine(QStringLiteral("tell %1 for Bob only").arg(bobId));
    alice.writeLine(QStringLiteral("say Hello there, Grüße ✓"));
    alice.writeLine(QStringLiteral("pose 1.5 -2 3 pointer 4 5 6"));
    EXPECT_TRUE(prints(bob, QStringLiteral("^private message from user %1 \"Alice\": for Bob only$").arg(aliceId)));
    const QString hello = QStringLiteral("^message from user %1 \"Alice\": Hello there, Grüße ✓$").arg(aliceId);
    EXPECT_TRUE(prints(bob, hello)) << bob.getText().toStdString();
    EXPECT_TRUE(prints(carol, hello)) << carol.getText().toStdString();
    EXPECT_TRUE(prints(carol, QStringLiteral("^pose from user %1 \"Alice\": camera \\(1\\.5, -2, 3\\), head, "
                                             "pointer \\(1\\.5, -2, 3\\) -> \\(4, 5, 6\\)$")
                                  .arg(aliceId)))
        << carol.getText().toStdString();
    // Carol has what came after it on the same link: the private line would have come before.
    EXPECT_FALSE(printed(carol, QStringLiteral("for Bob only")));
    // Bob answers on the same link: Alice's own message, if it came back, would be there first.
    bob.writeLine(QStringLiteral("say got it"));
    EXPECT_TRUE(prints(alice, QStringLiteral("^message from user %1 \"Bob\": got it$").arg(bobId)));
    EXPECT_FALSE(printed(alice, QStringLiteral("^message from user %1 ").arg(aliceId))) << alice.getText().toStdString();
    bob.writeLine(QStringLiteral("pose 7 8 9"));
    EXPECT_TRUE(prints(alice, QStringLiteral("^pose from user %1 \"Bob\": camera \\(7, 8, 9\\), head$").arg(bobId)));

    const struct
    {
        const char* command;
        const char* error;
    } mistyped[] = {
        {"dance", "^error: unknown command 'dance'"},
        {"say", "^error: say what\\?"},
        {"tell bob hi", "^error: 'tell <user> <text>'"},
        {"pose 1 2", "^error: 'pose <x> <y> <z>"},
        {"pose 1 2 x", "^error: 'pose <x> <y> <z>"},
        {"spectate nobody", "^error: 'spectate <user>'"},
        {"upload", "^error: 'upload <file>'"},
    };
    for (const auto& entry : mistyped) {
        carol.writeLine(QString::fromUtf8(entry.command));
        EXPECT_TRUE(prints(carol, QString::fromUtf8(entry.error))) << entry.command << "\n" << carol.getText().toStdString();
    }

    bob.writeLine(QStringLiteral("spectate off"));
    EXPECT_TRUE(prints(alice, QStringLiteral("^~ user %1 \"Bob\" #a8c12e$").arg(bobId))) << alice.getText().toStdString();
    EXPECT_TRUE(prints(alice, QStringLiteral("^~ user %1 \"Alice\" #ffa500 \\(you\\)$").arg(aliceId)));

    // No scene yet: nothing to read, nothing to fetch.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const auto file = [&folder](const char* name) { return folder.filePath(QString::fromUtf8(name)); };
    carol.writeLine(QStringLiteral("upload %1").arg(file("missing.bin")));
    EXPECT_TRUE(prints(carol, QStringLiteral("^error: cannot read .*missing\\.bin")));
    carol.writeLine(QStringLiteral("download %1").arg(file("none.bin")));
    EXPECT_TRUE(prints(carol, QStringLiteral("^error: downloading the scene failed: "))) << carol.getText().toStdString();
    EXPECT_FALSE(QFile::exists(file("none.bin")));
    // Two full pieces of a mebibyte and a short one.
    const int size = 2 * 1024 * 1024 + 12345;
    QFile scene(file("scene ü.bin"));
    ASSERT_TRUE(scene.open(QIODevice::WriteOnly) && scene.write(koTest::randomBytes(size, 7).data(), size) == size);
    scene.close();
    alice.writeLine(QStringLiteral("upload %1").arg(scene.fileName()));
    ASSERT_TRUE(prints(alice, QStringLiteral("^uploaded \"scene ü\\.bin\": %1 bytes in ").arg(size))) << alice.getText().toStdString();
    EXPECT_TRUE(prints(bob, QStringLiteral("^scene from user %1 \"Alice\": \"scene ü\\.bin\", %2 bytes").arg(aliceId).arg(size)));
    bob.writeLine(QStringLiteral("download %1").arg(file("bob.bin")));
    EXPECT_TRUE(prints(bob, QStringLiteral("^downloaded \"scene ü\\.bin\" to .*: %1 bytes in .*, checksum matches the "
                                           "announcement$").arg(size), 30s))
        << bob.getText().toStdString();
    // Later joiners are told; declining when joining skips only the first download.
    koChildProcess& erin = join(QStringLiteral("Erin"));
    EXPECT_TRUE(printed(erin, QStringLiteral("^The session holds a scene: waiting for its announcement\\.$")));
    EXPECT_TRUE(prints(erin, QStringLiteral("^scene from user %1( \"Alice\")?: \"scene ü\\.bin\", %2 bytes").arg(aliceId).arg(size)));
    koChildProcess& frank = join(QStringLiteral("Frank"), {QStringLiteral("--decline-scene")});
    EXPECT_TRUE(printed(frank, QStringLiteral("^The session holds a scene: declined\\.$")));
    frank.writeLine(QStringLiteral("download %1").arg(file("frank.bin")));
    EXPECT_TRUE(prints(frank, QStringLiteral("^error: nothing downloaded: the scene was declined when joining")));
    EXPECT_FALSE(QFile::exists(file("frank.bin")));
    frank.writeLine(QStringLiteral("download %1").arg(file("frank.bin")));
    EXPECT_TRUE(prints(frank, QStringLiteral("^downloaded \"scene ü\\.bin\" to "), 30s)) << frank.getText().toStdString();
    for (const char* copy : {"bob.bin", "frank.bin"}) {
        QFile fetched(file(copy));
        EXPECT_TRUE(scene.open(QIODevice::ReadOnly) && fetched.open(QIODevice::ReadOnly) && fetched.readAll() == scene.readAll()) << copy;
        scene.close();
    }

    // Every way of leaving: each leaver says why, and the others see it go.
    const struct
    {
        void (*leave)(koChildProcess&);
        int status;
        const char* said;
    } ways[] = {
        {[](koChildProcess& p) { p.writeLine(QStringLiteral("leave")); }, 0, "^left the session$"},
        {[](koChildProcess& p) { p.closeInput(); }, 0, "^left the session \\(end of input\\)$"},
        {[](koChildProcess& p) { p.interrupt(); }, 0, "^left the session \\(interrupted\\)$"},
        {[](koChildProcess& p) { p.kill(); }, -1, nullptr},
    };
    koChildProcess* leavers[] = {&carol, &dave, &erin, &frank};
    for (std::size_t i = 0; i < std::size(ways); ++i) {
        koChildProcess& leaver = *leavers[i];
        ways[i].leave(leaver);
        EXPECT_EQ(exitCodeOf(leaver), ways[i].status) << leaver.getText().toStdString();
        EXPECT_TRUE(!ways[i].said || printed(leaver, QString::fromUtf8(ways[i].said))) << leaver.getText().toStdString();
        expectLeft({&alice, &bob}, userIdOf(leaver));
        EXPECT_TRUE(prints(*server, QStringLiteral("info: Session connection of user %1 ended").arg(userIdOf(leaver))));
    }
    bob.writeLine(QStringLiteral("users"));
    EXPECT_TRUE(prints(bob, QStringLiteral("^2 participant\\(s\\):$")));
    EXPECT_TRUE(prints(bob, QStringLiteral("^  user %1 \"Bob\" #a8c12e \\(you\\)$").arg(bobId)));

    bob.writeLine(QStringLiteral("stop"));
    EXPECT_EQ(exitCodeOf(bob), 0);
    EXPECT_TRUE(printed(bob, QStringLiteral("^stopped the session for everybody$")));
    EXPECT_EQ(exitCodeOf(alice), 0);
    EXPECT_TRUE(printed(alice, QStringLiteral("^session ended: the connection to the server closed$")));
    EXPECT_EQ(exitCodeOf(*server), 0);
    EXPECT_TRUE(printed(*server, QStringLiteral("^Session ended: a participant stopped it for everybody\\.$")))
        << server->getText().toStdString();
}

// A wrong password shows only through the link's 16-bit check value: with a
// fresh link each run, a given wrong password slips through once in 65536
// runs (the server checks nothing and would admit it).
TEST_F(ClientProgramTest, JoinThatCannotWorkIsRefusedAndLeavesTheRosterAlone)
{
    const QStringList secret = {QStringLiteral("--password"), QStringLiteral("s3cret wörd")};
    const QStringList version = {QStringLiteral("--version-text"), QStringLiteral("9.9 (2030)")};
    const QString badLink = QStringLiteral("^kosession-client: cannot join <link>: Invalid session link or password$");
    const QString badVersion = QStringLiteral(
        "^kosession-client: cannot join: the server runs version \"9\\.9 \\(2030\\)\", this program %1\\. Already in "
        "the session: \"Alice\"\\.$");
    const struct
    {
        QStringList server; // Alice joins with the same options
        QStringList mallory;
        QString refusal;
    } cases[] = {
        {secret, {QStringLiteral("--password"), QStringLiteral("wrong")}, badLink},
        {secret, {}, badLink},
        {{}, {QStringLiteral("--password"), QStringLiteral("unneeded")}, badLink},
        {version, {QStringLiteral("--version-text"), QStringLiteral("9.8 (2030)")},
         badVersion.arg(QStringLiteral("\"9\\.8 \\(2030\\)\" \\(Incompatible kova version connected\\)"))},
        {version, {}, badVersion.arg(QStringLiteral("\".*\" \\(Incompatible kova version connected\\)"))},
    };
    for (const auto& entry : cases) {
        startServer(entry.server);
        koChildProcess& alice = join(QStringLiteral("Alice"), entry.server);
        ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Alice\"").arg(userIdOf(alice))));
        koChildProcess& mallory = startClient(QStringLiteral("Mallory"), link, entry.mallory);
        EXPECT_EQ(exitCodeOf(mallory), 1) << mallory.getText().toStdString();
        const QString refusal = QString(entry.refusal).replace(QStringLiteral("<link>"), QRegularExpression::escape(link));
        EXPECT_TRUE(printed(mallory, refusal)) << mallory.getText().toStdString();
        alice.writeLine(QStringLiteral("users"));
        EXPECT_TRUE(prints(alice, QStringLiteral("^1 participant\\(s\\):$"))) << alice.getText().toStdString();
        // The last participant leaving ends the session.
        alice.writeLine(QStringLiteral("leave"));
        EXPECT_EQ(exitCodeOf(*server), 0);
        EXPECT_TRUE(printed(*server, QStringLiteral("info: Stopping session after last client has disconnected$")));
        EXPECT_TRUE(printed(*server, QStringLiteral("^Session ended: the last participant left\\.$"))) << server->getText().toStdString();
    }

    // Nobody listens any more: the link's address is named.
    koChildProcess& late = startClient(QStringLiteral("Late"), link);
    EXPECT_EQ(exitCodeOf(late), 1);
    EXPECT_TRUE(printed(late, QStringLiteral("^kosession-client: cannot join %1: .*127\\.0\\.0\\.1:%2")
                                  .arg(QRegularExpression::escape(link))
                                  .arg(port)))
        << late.getText().toStdString();
}

} // namespace
} // namespace koToolsTest
