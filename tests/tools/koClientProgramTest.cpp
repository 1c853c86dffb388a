// kosession-client driven through its standard input against a real
// kosession-server: what one participant types reaches the others, a stored
// file reaches later joiners intact, the roster follows colours, spectating
// and every way of leaving, an end for everybody tells itself from a lost
// server, and each mistake, Ctrl-C while joining included,
// gets a line that says what to do.
#include "koToolsTestKit.h"

#include "koTestSupport.h"

#include "koBoundSocketLink.h"

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
    // A number that names nobody cannot be spectated; the roster tells only once joined.
    koChildProcess& ghost = startClient(QStringLiteral("Ghost"), link, {QStringLiteral("--spectate"), QStringLiteral("99")});
    EXPECT_EQ(exitCodeOf(ghost), 1);
    EXPECT_TRUE(printed(ghost, QStringLiteral("^kosession-client: cannot join .*: no other participant has the user number 99 "
                                              "for --spectate; join without it, then 'users' lists")))
        << ghost.getText().toStdString();
    // A script's first command finds the roster that "joined" promised.
    koChildProcess& carla = startClient(QStringLiteral("Carla"), link);
    carla.writeLine(QStringLiteral("users"));
    EXPECT_TRUE(prints(carla, QStringLiteral("^4 participant\\(s\\):$"))) << carla.getText().toStdString();
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Carla\"").arg(userIdOf(carla))));

    // A chosen colour stays and still takes its index; the others get the
    // default table's second and third (Lime, Yellow Bus).
    EXPECT_TRUE(printed(alice, QStringLiteral("^joined .* \"Alice\" #ffa500 \\(you\\)$"))) << alice.getText().toStdString();
    EXPECT_TRUE(printed(carol, QStringLiteral("^joined .* \"Carol\" #fcd700 \\(you\\)$"))) << carol.getText().toStdString();
    EXPECT_TRUE(printed(bob, QStringLiteral("^joined .* \"Bob\" #a8c12e, spectating user %1 \\(you\\)$").arg(aliceId)));
    EXPECT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Bob\" #a8c12e, spectating user %2$").arg(bobId).arg(aliceId)));
    // Alice's first roster may already hold Bob (the server keeps only the newest).
    EXPECT_TRUE(prints(alice, QStringLiteral("^[+~] user %1 \"Alice\" #ffa500, watched by 1 \\(you\\)$").arg(aliceId)))
        << alice.getText().toStdString();

    alice.writeLine(QStringLiteral("tell bo for Bob only"));
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
    bob.writeLine(QStringLiteral("tell %1 got it").arg(aliceId));
    EXPECT_TRUE(prints(alice, QStringLiteral("^private message from user %1 \"Bob\": got it$").arg(bobId)));
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
        {"tell", "^error: 'tell <user> <text>'"},
        {"tell car hi", "^error: 'car' names 2 participants"},
        {"tell 65535 hi", "^error: no participant '65535'"},
        {"spectate carol", "^error: you cannot spectate yourself$"},
        {"tell carol hi", "^error: you cannot tell yourself$"},
        {"pose 1 2", "^error: 'pose <x> <y> <z>"},
        {"pose 1 2 x", "^error: 'pose <x> <y> <z>"},
        {"spectate nobody", "^error: no participant 'nobody'"},
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
    EXPECT_TRUE(prints(carol, QStringLiteral("^error: the session holds no scene yet$"))) << carol.getText().toStdString();
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
    EXPECT_TRUE(printed(erin, QStringLiteral("^The session holds a scene: waiting for the session's scene announcement\\.$")));
    EXPECT_TRUE(prints(erin, QStringLiteral("^scene from user %1 \"Alice\": \"scene ü\\.bin\", %2 bytes").arg(aliceId).arg(size)))
        << erin.getText().toStdString();
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
    koChildProcess* leavers[] = {&carol, &carla, &erin, &frank};
    for (std::size_t i = 0; i < std::size(ways); ++i) {
        koChildProcess& leaver = *leavers[i];
        ways[i].leave(leaver);
        EXPECT_EQ(exitCodeOf(leaver), ways[i].status) << leaver.getText().toStdString();
        EXPECT_TRUE(!ways[i].said || printed(leaver, QString::fromUtf8(ways[i].said))) << leaver.getText().toStdString();
        expectLeft({&alice, &bob}, userIdOf(leaver));
        EXPECT_TRUE(prints(*server, QStringLiteral("info: Participant %1 \"%2\" left$").arg(userIdOf(leaver)).arg(leaver.getLabel())))
            << server->getText().toStdString();
    }
    bob.writeLine(QStringLiteral("users"));
    EXPECT_TRUE(prints(bob, QStringLiteral("^2 participant\\(s\\):$")));
    EXPECT_TRUE(prints(bob, QStringLiteral("^  user %1 \"Bob\" #a8c12e \\(you\\)$").arg(bobId)));

    bob.writeLine(QStringLiteral("stop"));
    EXPECT_EQ(exitCodeOf(bob), 0);
    EXPECT_TRUE(printed(bob, QStringLiteral("^stopped the session for everybody$")));
    EXPECT_EQ(exitCodeOf(alice), 0);
    EXPECT_TRUE(printed(alice, QStringLiteral("^session ended: stopped by a participant$"))) << alice.getText().toStdString();
    EXPECT_EQ(exitCodeOf(*server), 0);
    EXPECT_TRUE(printed(*server, QStringLiteral("^Session ended: a participant stopped it for everybody\\.$")))
        << server->getText().toStdString();
}

// Ctrl-C of the server ends the session for everybody, and its participants
// end with it. A server killed under them is lost: each tries to rejoin for
// as long as it was told, keeping what is typed meanwhile, and comes back to
// a server that takes it, or gives up with a word instead of waiting on a
// dead link.
TEST_F(ClientProgramTest, ParticipantsEndWithAStoppedServerAndRejoinAKilledOneUntilTheyGiveUp)
{
    startServer();
    koChildProcess& carol = join(QStringLiteral("Carol"));
    server->interrupt();
    EXPECT_EQ(exitCodeOf(carol), 0) << carol.getText().toStdString();
    EXPECT_TRUE(printed(carol, QStringLiteral("^session ended: stopped by the server's operator$"))) << carol.getText().toStdString();

    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"), {QStringLiteral("--rejoin-for"), QStringLiteral("3")});
    koChildProcess& bob = join(QStringLiteral("Bob"), {QStringLiteral("--rejoin-for"), QStringLiteral("0")});
    server->kill();
    const QRegularExpression lost(QStringLiteral("^connection lost; rejoining \\.\\.\\.$"));
    ASSERT_GE(alice.waitForLine(lost, waitLimit), 0) << alice.getText().toStdString();
    // Typed while away, run once a server on the same port (any session) takes Alice back.
    alice.writeLine(QStringLiteral("users"));
    startServer({QStringLiteral("--open"), QStringLiteral("--port"), QString::number(port)});
    const int back = alice.waitForLine(QRegularExpression(QStringLiteral("^rejoined$")), waitLimit);
    ASSERT_GE(back, 0) << alice.getText().toStdString();
    EXPECT_TRUE(prints(alice, QStringLiteral("^1 participant\\(s\\):$"))) << alice.getText().toStdString();
    server->kill();
    ASSERT_GE(alice.waitForLine(lost, waitLimit, back), 0) << alice.getText().toStdString();
    alice.writeLine(QStringLiteral("say anyone?"));
    const struct
    {
        koChildProcess* participant;
        const char* lastLine;
    } cases[] = {
        {&alice, "^session lost: no rejoin succeeded within 3 s; the last attempt: Connection to 127\\.0\\.0\\.1:\\d+ refused$"},
        {&bob, "^session lost: the connection to the server closed$"},
    };
    for (const auto& entry : cases) {
        koChildProcess& participant = *entry.participant;
        EXPECT_EQ(exitCodeOf(participant), 1) << participant.getText().toStdString();
        QString last;
        for (const koChildProcess::Line& line : participant.getLines())
            last = line.fromError ? last : line.text;
        EXPECT_TRUE(QRegularExpression(QString::fromUtf8(entry.lastLine)).match(last).hasMatch())
            << participant.getText().toStdString();
    }
    EXPECT_TRUE(printed(alice, QStringLiteral("^1 line\\(s\\) typed while the connection was down were not sent$")));
}

// Each mistake a user can make when joining gets the line that says what to
// do, and leaves the roster alone. A wrong password shows only through the
// link's 16-bit check value: with a fresh link each run, a given wrong
// password slips through once in 65536 runs (the server checks nothing).
TEST_F(ClientProgramTest, EachJoinMistakeSaysWhatToDo)
{
    const QStringList options = {QStringLiteral("--password"), QStringLiteral("s3cret wörd"),
                                 QStringLiteral("--version-text"), QStringLiteral("9.9 (2030)")};
    startServer(options);
    koChildProcess& alice = join(QStringLiteral("Alice"), options);
    const QString host = link.section(QLatin1Char('/'), 0, 0);
    const QString open = host + QStringLiteral("/0123456789");
    const QString cannot = QStringLiteral("^kosession-client: cannot join %1: ");
    QTemporaryDir folder;
    QFile wrongFile(folder.filePath(QStringLiteral("password")));
    ASSERT_TRUE(wrongFile.open(QIODevice::WriteOnly) && wrongFile.write("s3cret\n") == 7);
    wrongFile.close();
    const struct
    {
        QString link;
        QStringList options;
        QString said;
    } cases[] = {
        {link, options.mid(2), cannot + "this link is protected: give its password with --password-file, KOSESSION_PASSWORD or --password$"},
        {link, {QStringLiteral("--password"), QStringLiteral("wrong")}, cannot + "the password from --password does not match this link$"},
        {link, {QStringLiteral("--password-file"), wrongFile.fileName()}, cannot + "the password from --password-file does not match this link$"},
        {link.chopped(1), options, cannot + "not a session link: expected host\\[:port\\]/identifier$"},
        {host + QLatin1Char('/'), options, cannot + "not a session link: expected host\\[:port\\]/identifier$"},
        {open, options, cannot + "this link has no password: join it without --password$"},
        // The server closes a connection for another session without a word: the close itself says it.
        {open, options.mid(2), cannot + "no session 0123456789 at " + QRegularExpression::escape(host)
             + ": check the link \\(a server restarted without --state-dir gives a new link\\)$"},
        {QStringLiteral(" %1\n").arg(link), options.mid(0, 2),
         "^kosession-client: cannot join: the server runs version \"9\\.9 \\(2030\\)\", this program \".*\" \\(Incompatible "
         "kova version connected\\)\\. Already in the session: \"Alice\"\\.$"},
    };
    for (const auto& entry : cases) {
        koChildProcess& mallory = startClient(QStringLiteral("Mallory"), entry.link, entry.options);
        EXPECT_EQ(exitCodeOf(mallory), 1) << mallory.getText().toStdString();
        const QString said = QString(entry.said).replace(QStringLiteral("%1"), QRegularExpression::escape(entry.link.trimmed()));
        EXPECT_TRUE(printed(mallory, said)) << said.toStdString() << "\n" << mallory.getText().toStdString();
    }
    alice.writeLine(QStringLiteral("users"));
    EXPECT_TRUE(prints(alice, QStringLiteral("^1 participant\\(s\\):$"))) << alice.getText().toStdString();
    alice.writeLine(QStringLiteral("leave"));
    EXPECT_EQ(exitCodeOf(*server), 0);

    // Any identifier the library takes without a password is tried, not only
    // the 10 digits it makes.
    for (const QString& unprotected : {open, host + QStringLiteral("/0123456789abcdef0123")}) {
        koChildProcess& late = startClient(QStringLiteral("Late"), unprotected);
        EXPECT_EQ(exitCodeOf(late), 1);
        EXPECT_TRUE(printed(late, QStringLiteral("^kosession-client: cannot join %1: no server answers at 127\\.0\\.0\\.1:%2; is "
                                                 "it running\\?$").arg(QRegularExpression::escape(unprotected)).arg(port)))
            << late.getText().toStdString();
    }

    // Ctrl-C while the server has not answered yet: the join ends at once.
    koBoundSocketLink listener(0);
    koChildProcess& waiting = startClient(QStringLiteral("Waiting"), QStringLiteral("127.0.0.1:%1/0123456789").arg(listener.getAddress().getPort()));
    koSocketLink accepted(listener);
    char request[8];
    accepted.recv(request, sizeof request);
    waiting.interrupt();
    EXPECT_EQ(exitCodeOf(waiting, 5s), 1) << waiting.getText().toStdString();
    EXPECT_TRUE(printed(waiting, QStringLiteral("^kosession-client: join cancelled$"))) << waiting.getText().toStdString();
}

} // namespace
} // namespace koToolsTest
