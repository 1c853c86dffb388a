// kosession-client driven through its standard input against a real
// kosession-server: what one participant types reaches the others, the
// roster follows joins, spectating and leaves, and a join that cannot work
// is refused with a clear message and a non-zero status.
#include "koToolsTestKit.h"

namespace koToolsTest {
namespace {

using ClientProgramTest = ProgramTest;

TEST_F(ClientProgramTest, MessagesReachEverybodyElseOrOnlyTheirAddressee)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    koChildProcess& carol = join(QStringLiteral("Carol"));
    const unsigned short aliceId = userIdOf(alice);
    for (koChildProcess* other : {&alice, &bob})
        ASSERT_TRUE(prints(*other, QStringLiteral("^\\+ user %1 \"Carol\"").arg(userIdOf(carol))));

    alice.writeLine(QStringLiteral("tell %1 for Bob only").arg(userIdOf(bob)));
    alice.writeLine(QStringLiteral("say Hello there, Grüße ✓"));
    EXPECT_TRUE(prints(bob, QStringLiteral("^private message from user %1 \"Alice\": for Bob only$").arg(aliceId)))
        << bob.getText().toStdString();
    const QString expected = QStringLiteral("^message from user %1 \"Alice\": Hello there, Grüße ✓$").arg(aliceId);
    EXPECT_TRUE(prints(bob, expected)) << bob.getText().toStdString();
    EXPECT_TRUE(prints(carol, expected)) << carol.getText().toStdString();
    // Both went out on the same link in this order: once Carol has the
    // second, the first would have come before it.
    EXPECT_LT(carol.findLine(pattern(QStringLiteral("for Bob only"))), 0) << carol.getText().toStdString();
    // The sender does not get its own message back.
    EXPECT_LT(alice.findLine(pattern(QStringLiteral("^message from"))), 0);
}

TEST_F(ClientProgramTest, PoseTypedIntoOneParticipantReachesTheOthers)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Bob\"").arg(userIdOf(bob))));

    alice.writeLine(QStringLiteral("pose 1.5 -2 3 pointer 4 5 6"));
    EXPECT_TRUE(prints(bob, QStringLiteral("^pose from user %1 \"Alice\": camera \\(1\\.5, -2, 3\\), head, "
                                           "pointer \\(1\\.5, -2, 3\\) -> \\(4, 5, 6\\)$")
                                .arg(userIdOf(alice))))
        << bob.getText().toStdString();
    bob.writeLine(QStringLiteral("pose 7 8 9"));
    EXPECT_TRUE(prints(alice, QStringLiteral("^pose from user %1 \"Bob\": camera \\(7, 8, 9\\), head$").arg(userIdOf(bob))))
        << alice.getText().toStdString();
}

TEST_F(ClientProgramTest, MistypedCommandsAreRefusedAndTheSessionGoesOn)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Bob\"").arg(userIdOf(bob))));
    const struct
    {
        const char* command;
        const char* error;
    } cases[] = {
        {"dance", "^error: unknown command 'dance'"},
        {"say", "^error: say what\\?"},
        {"tell bob hi", "^error: 'tell <user> <text>'"},
        {"pose 1 2", "^error: 'pose <x> <y> <z>"},
        {"pose 1 2 x", "^error: 'pose <x> <y> <z>"},
        {"spectate nobody", "^error: 'spectate <user>'"},
        {"upload", "^error: 'upload <file>'"},
    };
    for (const auto& entry : cases) {
        alice.writeLine(QString::fromUtf8(entry.command));
        EXPECT_TRUE(prints(alice, QString::fromUtf8(entry.error))) << entry.command << "\n" << alice.getText().toStdString();
    }
    alice.writeLine(QStringLiteral("say still here"));
    EXPECT_TRUE(prints(bob, QStringLiteral("^message from user %1 \"Alice\": still here$").arg(userIdOf(alice))));
}

TEST_F(ClientProgramTest, SpectatingShowsInEveryRosterAndCanBeUndone)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    const unsigned short aliceId = userIdOf(alice);
    koChildProcess& bob = join(QStringLiteral("Bob"), {QStringLiteral("--spectate"), QString::number(aliceId)});
    const unsigned short bobId = userIdOf(bob);

    EXPECT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Bob\" #[0-9a-f]{6}, spectating user %2$").arg(bobId).arg(aliceId)))
        << alice.getText().toStdString();
    // Alice's first roster may already be the one with Bob in it (the server
    // keeps only the newest), so her record is either new or changed.
    EXPECT_TRUE(prints(alice, QStringLiteral("^[+~] user %1 \"Alice\" #[0-9a-f]{6}, watched by 1 \\(you\\)$").arg(aliceId)))
        << alice.getText().toStdString();

    bob.writeLine(QStringLiteral("spectate off"));
    EXPECT_TRUE(prints(alice, QStringLiteral("^~ user %1 \"Bob\" #[0-9a-f]{6}$").arg(bobId))) << alice.getText().toStdString();
    EXPECT_TRUE(prints(alice, QStringLiteral("^~ user %1 \"Alice\" #[0-9a-f]{6} \\(you\\)$").arg(aliceId)));

    ASSERT_TRUE(prints(bob, QStringLiteral("^~ user %1 \"Bob\" #[0-9a-f]{6} \\(you\\)$").arg(bobId)));
    bob.writeLine(QStringLiteral("users"));
    EXPECT_TRUE(prints(bob, QStringLiteral("^2 participant\\(s\\):$")));
    EXPECT_TRUE(prints(bob, QStringLiteral("^  user %1 \"Bob\" #[0-9a-f]{6} \\(you\\)$").arg(bobId)));
}

TEST_F(ClientProgramTest, ChosenColourStaysAndAMissingOneIsAssigned)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"), {QStringLiteral("--color"), QStringLiteral("orange")});
    koChildProcess& bob = join(QStringLiteral("Bob"));
    EXPECT_GE(alice.findLine(pattern(QStringLiteral("^joined .* \"Alice\" #ffa500 \\(you\\)$"))), 0) << alice.getText().toStdString();
    // Bob chose none: the server gives him the second colour of the default table (Lime).
    EXPECT_GE(bob.findLine(pattern(QStringLiteral("^joined .* \"Bob\" #a8c12e \\(you\\)$"))), 0) << bob.getText().toStdString();
}

TEST_F(ClientProgramTest, LeaveAndStopForAllEndEveryProgramWithStatusZero)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    koChildProcess& carol = join(QStringLiteral("Carol"));
    // The server keeps only the newest roster: whoever has not seen Carol come
    // would not see her go either.
    for (koChildProcess* other : {&alice, &bob})
        ASSERT_TRUE(prints(*other, QStringLiteral("^\\+ user %1 \"Carol\"").arg(userIdOf(carol))));

    carol.writeLine(QStringLiteral("leave"));
    EXPECT_EQ(exitCodeOf(carol), 0);
    EXPECT_GE(carol.findLine(pattern(QStringLiteral("^left the session$"))), 0);
    for (koChildProcess* other : {&alice, &bob})
        EXPECT_TRUE(prints(*other, QStringLiteral("^- user %1 \"Carol\" left$").arg(userIdOf(carol))))
            << other->getText().toStdString();

    bob.writeLine(QStringLiteral("stop"));
    EXPECT_EQ(exitCodeOf(bob), 0);
    EXPECT_GE(bob.findLine(pattern(QStringLiteral("^stopped the session for everybody$"))), 0);
    EXPECT_EQ(exitCodeOf(alice), 0);
    EXPECT_GE(alice.findLine(pattern(QStringLiteral("^session ended: the connection to the server closed$"))), 0)
        << alice.getText().toStdString();
    EXPECT_EQ(exitCodeOf(*server), 0);
    EXPECT_GE(server->findLine(pattern(QStringLiteral("^Session ended: a participant stopped it for everybody\\.$"))), 0)
        << server->getText().toStdString();
}

TEST_F(ClientProgramTest, EndOfInputCtrlCAndDeathLeaveTheSession)
{
    startServer();
    koChildProcess& alice = join(QStringLiteral("Alice"));
    koChildProcess& bob = join(QStringLiteral("Bob"));
    koChildProcess& carol = join(QStringLiteral("Carol"));
    koChildProcess& dave = join(QStringLiteral("Dave"));
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Dave\"").arg(userIdOf(dave))));

    bob.closeInput();
    EXPECT_EQ(exitCodeOf(bob), 0);
    EXPECT_GE(bob.findLine(pattern(QStringLiteral("^left the session \\(end of input\\)$"))), 0);
    carol.interrupt();
    EXPECT_EQ(exitCodeOf(carol), 0);
    EXPECT_GE(carol.findLine(pattern(QStringLiteral("^left the session \\(interrupted\\)$"))), 0) << carol.getText().toStdString();
    dave.kill();
    for (const auto& gone : {std::make_pair(&bob, "Bob"), std::make_pair(&carol, "Carol"), std::make_pair(&dave, "Dave")})
        EXPECT_TRUE(prints(alice, QStringLiteral("^- user %1 \"%2\" left$").arg(userIdOf(*gone.first)).arg(gone.second)))
            << alice.getText().toStdString();
    EXPECT_TRUE(server->isRunning());
}

// A wrong password shows only through the link's 16-bit check value: with a
// fresh link each run, a given wrong password slips through once in 65536
// runs (the server checks nothing and would admit it).
TEST_F(ClientProgramTest, WrongPasswordIsRefusedWithAClearMessage)
{
    const struct
    {
        QString serverPassword;
        QStringList clientArguments;
    } cases[] = {
        {QStringLiteral("secret"), {QStringLiteral("--password"), QStringLiteral("wrong")}},
        {QStringLiteral("secret"), {}},
        {QString(), {QStringLiteral("--password"), QStringLiteral("unneeded")}},
    };
    for (const auto& entry : cases) {
        startServer(entry.serverPassword.isEmpty() ? QStringList()
                                                   : QStringList{QStringLiteral("--password"), entry.serverPassword});
        koChildProcess& client = startClient(QStringLiteral("Mallory"), link, entry.clientArguments);
        EXPECT_EQ(exitCodeOf(client), 1) << client.getText().toStdString();
        EXPECT_GE(client.findLine(pattern(QStringLiteral("^kosession-client: cannot join %1: Invalid session link or "
                                                         "password$")
                                              .arg(QRegularExpression::escape(link)))),
                  0)
            << client.getText().toStdString();
        server->interrupt();
        EXPECT_EQ(exitCodeOf(*server), 0);
    }
}

TEST_F(ClientProgramTest, RightPasswordJoins)
{
    startServer({QStringLiteral("--password"), QStringLiteral("s3cret wörd")});
    koChildProcess& alice = join(QStringLiteral("Alice"), {QStringLiteral("--password"), QStringLiteral("s3cret wörd")});
    EXPECT_GT(userIdOf(alice), 0);
}

TEST_F(ClientProgramTest, VersionMismatchIsRefusedShowingTheServersVersion)
{
    const QString serverVersion = QStringLiteral("9.9 (2030)");
    const QString otherVersion = QStringLiteral("9.8 (2030)");
    startServer({QStringLiteral("--version-text"), serverVersion});
    ASSERT_TRUE(prints(*server, QStringLiteral("^kosession-server 9\\.9 \\(2030\\)$")));
    koChildProcess& alice = join(QStringLiteral("Alice"), {QStringLiteral("--version-text"), serverVersion});
    ASSERT_TRUE(prints(alice, QStringLiteral("^\\+ user %1 \"Alice\"").arg(userIdOf(alice))));

    koChildProcess& bob = startClient(QStringLiteral("Bob"), link, {QStringLiteral("--version-text"), otherVersion});
    EXPECT_EQ(exitCodeOf(bob), 1) << bob.getText().toStdString();
    EXPECT_GE(bob.findLine(pattern(QStringLiteral("^kosession-client: cannot join: the server runs version \"9\\.9 "
                                                  "\\(2030\\)\", this program \"9\\.8 \\(2030\\)\" \\(Incompatible kova "
                                                  "version connected\\)\\. Already in the session: \"Alice\"\\.$"))),
              0)
        << bob.getText().toStdString();

    // The build's own version against the changed one: refused the same way.
    koChildProcess& carol = startClient(QStringLiteral("Carol"), link);
    EXPECT_EQ(exitCodeOf(carol), 1);
    EXPECT_GE(carol.findLine(pattern(QStringLiteral("the server runs version \"9\\.9 \\(2030\\)\""))), 0)
        << carol.getText().toStdString();
    // The refused ones never entered the roster.
    alice.writeLine(QStringLiteral("users"));
    EXPECT_TRUE(prints(alice, QStringLiteral("^1 participant\\(s\\):$")));
}

TEST_F(ClientProgramTest, UnreachableServerIsReportedWithStatusOne)
{
    startServer();
    const QString deadLink = link;
    server->interrupt();
    ASSERT_EQ(exitCodeOf(*server), 0);
    koChildProcess& client = startClient(QStringLiteral("Alice"), deadLink);
    EXPECT_EQ(exitCodeOf(client), 1);
    EXPECT_GE(client.findLine(pattern(QStringLiteral("^kosession-client: cannot join %1: .*127\\.0\\.0\\.1:%2")
                                          .arg(QRegularExpression::escape(deadLink))
                                          .arg(port))),
              0)
        << client.getText().toStdString();
}

TEST_F(ClientProgramTest, BadOptionsExitWithStatusTwo)
{
    const struct
    {
        QStringList arguments;
        const char* expected;
    } cases[] = {
        {{}, "give exactly one session link"},
        {{QStringLiteral("a/1"), QStringLiteral("b/2")}, "give exactly one session link"},
        {{QStringLiteral("a/1"), QStringLiteral("--color"), QStringLiteral("no-such-colour")}, "is not a colour"},
        {{QStringLiteral("a/1"), QStringLiteral("--spectate"), QStringLiteral("0")}, "--spectate needs a user number"},
    };
    for (const auto& entry : cases) {
        koChildProcess client(QStringLiteral("client"));
        ASSERT_TRUE(client.start(clientProgram(), entry.arguments));
        EXPECT_EQ(exitCodeOf(client), 2) << entry.expected;
        EXPECT_TRUE(client.getText().contains(QLatin1String(entry.expected))) << client.getText().toStdString();
    }
    koChildProcess help(QStringLiteral("client"));
    ASSERT_TRUE(help.start(clientProgram(), {QStringLiteral("--help")}));
    EXPECT_EQ(exitCodeOf(help), 0);
    for (const char* text : {"--name", "--password", "--color", "--spectate", "say <text>", "download <file>", "stop"})
        EXPECT_TRUE(help.getText().contains(QLatin1String(text))) << text;
    EXPECT_FALSE(help.getText().contains(QLatin1String("--version-text")));
}

} // namespace
} // namespace koToolsTest
