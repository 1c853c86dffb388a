// Changes relayed between participants: echo, addressees, merged states, scene
// loads, the second link, and the rules that keep changes local.

#include "koSessionTestFixture.h"

#include "koTestSupport.h"

#include "koSessionCommandFactory.h"

using namespace koServerTest;

using RelayTest = koSessionTestFixture;

TEST_F(RelayTest, ChangeIsExecutedByEveryOtherAndByItsMakerWhenEchoing)
{
    auto clients = joinAll({"Alice", "Bob", "Carol"});
    const ClientPtr alice = clients[0], bob = clients[1], carol = clients[2];

    alice->push(koTextCommand("echoing", true));
    alice->push(koTextCommand("quiet", false));
    alice->push(koTextCommand("end", true));
    ASSERT_TRUE(pump(clients, [&] {
        return hasExecuted(alice, "end") && hasExecuted(bob, "end") && hasExecuted(carol, "end");
    }));

    EXPECT_EQ(executed(alice), QStringList({"echoing", "end"}));
    EXPECT_EQ(executed(bob), QStringList({"echoing", "quiet", "end"}));
    EXPECT_EQ(executed(carol), QStringList({"echoing", "quiet", "end"}));
    for (const koExecuted& entry : koExecutionLog::the().all()) {
        EXPECT_EQ(entry.changedBy, alice->getUserId()) << entry.text.toStdString();
        EXPECT_TRUE(entry.onMainThread) << entry.text.toStdString();
    }
}

TEST_F(RelayTest, AddressedChangeReachesOnlyItsAddressee)
{
    auto clients = joinAll({"Alice", "Bob", "Carol"});
    const ClientPtr alice = clients[0], bob = clients[1], carol = clients[2];

    koTextCommand toBob("for Bob", true);
    toBob.setDestinationUserId(bob->getUserId());
    alice->push(toBob);
    koTextCommand toAlice("for Alice from Carol", false);
    toAlice.setDestinationUserId(alice->getUserId());
    carol->push(toAlice);
    alice->push(koTextCommand("end", true));
    carol->push(koTextCommand("end from Carol", true));
    ASSERT_TRUE(pump(clients, [&] {
        for (const auto& client : clients)
            if (!hasExecuted(client, "end") || !hasExecuted(client, "end from Carol"))
                return false;
        return true;
    }));

    EXPECT_FALSE(hasExecuted(alice, "for Bob"));
    EXPECT_TRUE(hasExecuted(bob, "for Bob"));
    EXPECT_FALSE(hasExecuted(carol, "for Bob"));
    EXPECT_TRUE(hasExecuted(alice, "for Alice from Carol"));
    EXPECT_FALSE(hasExecuted(bob, "for Alice from Carol"));
    EXPECT_FALSE(hasExecuted(carol, "for Alice from Carol"));
}

TEST_F(RelayTest, LateJoinerGetsStatesOnlyInTheirNewestForm)
{
    auto clients = joinAll({"Alice", "Bob"});
    const ClientPtr alice = clients[0], bob = clients[1];

    alice->push(koStateCommand("x", 1));
    alice->push(koStateCommand("x", 2));
    alice->push(koStateCommand("y", 1));
    alice->push(koStateCommand("x", 3));
    ASSERT_TRUE(pump(clients, [&] { return hasExecuted(bob, "x=3"); }));

    auto carol = join("Carol");
    clients.push_back(carol);
    alice->push(koTextCommand("end", true));
    ASSERT_TRUE(pump(clients, [&] { return hasExecuted(carol, "end") && hasExecuted(bob, "end"); }));
    // The list keeps each state once, where its newest change was pushed.
    EXPECT_EQ(executed(carol), QStringList({"y=1", "x=3", "end"}));
    EXPECT_EQ(executed(bob).last(), QStringLiteral("end"));
    EXPECT_EQ(executed(bob).filter("x=").last(), QStringLiteral("x=3"));
}

TEST_F(RelayTest, SceneLoadCutsTheHistoryOfALateJoiner)
{
    auto clients = joinAll({"Alice", "Bob"});
    const ClientPtr alice = clients[0], bob = clients[1];

    alice->push(koTextCommand("before 1", false));
    alice->push(koStateCommand("x", 1));
    alice->push(koLoadSceneCommand("scene.kova"));
    alice->push(koTextCommand("after", false));
    ASSERT_TRUE(pump(clients, [&] { return hasExecuted(bob, "after"); }));
    EXPECT_EQ(executed(bob).mid(executed(bob).indexOf("LoadScene:scene.kova")),
              QStringList({"LoadScene:scene.kova", "after"}));

    const int questions = sceneQuestionsAsked();
    auto carol = join("Carol");
    clients.push_back(carol);
    // The scene flag was set, so the participant was asked (and declined).
    EXPECT_EQ(sceneQuestionsAsked(), questions + 1);
    alice->push(koTextCommand("end", true));
    ASSERT_TRUE(pump(clients, [&] { return hasExecuted(carol, "end"); }));
    EXPECT_EQ(executed(carol), QStringList({"LoadScene:scene.kova", "after", "end"}));
    // Whoever joins later still gets the whole roster.
    ASSERT_TRUE(settled(clients));
}

TEST_F(RelayTest, AsyncChangesAreExecutedOnTheReceivingThread)
{
    auto clients = joinAll({"Alice", "Bob"});
    const ClientPtr alice = clients[0], bob = clients[1];

    alice->pushAsync(koTextCommand("async", true));
    alice->pushAsync(koTextCommand("async quiet", false));
    alice->pushAsync(koTextCommand("async end", true));
    // Nobody calls executeCommands here: the receiving threads execute them.
    ASSERT_TRUE(koTest::waitFor([&] { return hasExecuted(alice, "async end") && hasExecuted(bob, "async end"); }));

    EXPECT_EQ(executed(bob, 0), QStringList({"async", "async quiet", "async end"}));
    EXPECT_EQ(executed(alice, 0), QStringList({"async", "async end"}));
    EXPECT_TRUE(executed(bob, 1).isEmpty());
    for (const koExecuted& entry : koExecutionLog::the().all())
        EXPECT_FALSE(entry.onMainThread) << entry.text.toStdString();
}

TEST_F(RelayTest, BlockedCommandsStayLocalUnlessAddressed)
{
    auto clients = joinAll({"Alice", "Bob"});
    const ClientPtr alice = clients[0], bob = clients[1];
    const unsigned int textType = koSessionCommandFactory::the().getType("SessionTestText");

    int round = 0;
    for (const unsigned int blocked : {textType, 0u}) {
        SCOPED_TRACE(blocked);
        ++round;
        koExecutionLog::the().reset(std::this_thread::get_id());
        alice->block(blocked);
        alice->push(koTextCommand("dropped", false));
        alice->push(koTextCommand("local", true));
        // Executed on the spot, before any change was received.
        EXPECT_EQ(executed(alice, 1), QStringList({"local"}));
        koTextCommand addressed("addressed", false);
        addressed.setDestinationUserId(bob->getUserId());
        alice->push(addressed);
        alice->pushAsync(koTextCommand("async while blocked", false));
        // Another type is held back only by a block of all types.
        alice->push(koStateCommand("s", round));
        alice->unblock(blocked);
        alice->push(koTextCommand("after", true));

        ASSERT_TRUE(pump(clients, [&] {
            return hasExecuted(bob, "after") && hasExecuted(alice, "after") && hasExecuted(bob, "async while blocked");
        }));
        const QString state = QStringLiteral("s=%1").arg(round);
        const QStringList expectedBob = blocked == 0 ? QStringList({"addressed", "after"})
                                                     : QStringList({"addressed", state, "after"});
        EXPECT_EQ(executed(bob, 1), expectedBob);
        EXPECT_EQ(executed(bob, 0), QStringList({"async while blocked"}));
        // The state is echoed back, or, blocked, executed on the spot.
        EXPECT_EQ(executed(alice, 1), QStringList({"local", state, "after"}));
    }
}

TEST_F(RelayTest, ChangesPushedWhileExecutingStayLocal)
{
    auto clients = joinAll({"Alice", "Bob"});
    const ClientPtr alice = clients[0], bob = clients[1];

    alice->push(koReactCommand("react echoing", "reply echoing", true));
    alice->push(koReactCommand("react quiet", "reply quiet", false));
    ASSERT_TRUE(pump(clients, [&] { return hasExecuted(bob, "react quiet"); }));
    // The echoing reply ran at once inside the execution; the other was dropped.
    EXPECT_EQ(executed(bob), QStringList({"react echoing", "reply echoing", "react quiet"}));

    bob->push(koTextCommand("end from Bob", true));
    ASSERT_TRUE(pump(clients, [&] { return hasExecuted(alice, "end from Bob"); }));
    EXPECT_EQ(executed(alice), QStringList({"end from Bob"}));
    EXPECT_FALSE(bob->isExecuting());
}
