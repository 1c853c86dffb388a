// Changes relayed to late joiners: merged states and scene loads. Echo,
// addressees and the second link are covered by the scripted exchange
// (koSessionScriptTest.cpp); the rules that keep a change local (blocks, a
// push while executing) by the client's tests against its fake server.

#include "koSessionTestFixture.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionCommandFactory.h"

#include <algorithm>

using namespace koServerTest;

using RelayTest = koSessionTestFixture;

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
    alice->push(TextCommand("end", true));
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

    alice->push(TextCommand("before 1", false));
    alice->push(koStateCommand("x", 1));
    alice->push(LoadSceneCommand("scene.kova"));
    alice->push(TextCommand("after", false));
    ASSERT_TRUE(pump(clients, [&] { return hasExecuted(bob, "after"); }));
    EXPECT_EQ(executed(bob).mid(executed(bob).indexOf("LoadScene:scene.kova")),
              QStringList({"LoadScene:scene.kova", "after"}));

    const int questions = sceneQuestionsAsked();
    auto carol = join("Carol");
    clients.push_back(carol);
    // The scene flag was set, so the participant was asked (and declined).
    EXPECT_EQ(sceneQuestionsAsked(), questions + 1);
    alice->push(TextCommand("end", true));
    ASSERT_TRUE(pump(clients, [&] { return hasExecuted(carol, "end"); }));
    EXPECT_EQ(executed(carol), QStringList({"LoadScene:scene.kova", "after", "end"}));
    // Whoever joins later still gets the whole roster.
    ASSERT_TRUE(settled(clients));
}

// A scene load empties the server's list, roster included. Someone who joined
// just before it must not stay unknown to the peers that had not sent that
// roster on yet, so the server lays the roster down again after the load.
TEST_F(RelayTest, RosterFollowsEverySceneLoad)
{
    auto clients = joinAll({"Alice", "Bob"});
    const ClientPtr alice = clients[0], bob = clients[1];
    const unsigned int usersType = koSessionCommandFactory::the().getType("UpdateUsers");

    alice->push(LoadSceneCommand("scene.kova"));
    std::vector<unsigned int> seen;
    const auto sceneThenRoster = [&] {
        const auto scene = std::find(seen.begin(), seen.end(), LoadSceneCommand().getType());
        return scene != seen.end() && std::find(scene, seen.end(), usersType) != seen.end();
    };
    ASSERT_TRUE(koTest::waitFor([&] {
        alice->executeCommands();
        std::shared_ptr<koSessionChange> change;
        while (bob->getServerChanges()->tryPop(change)) {
            seen.push_back(change->getCommandType());
            change->execute(bob.get());
        }
        return sceneThenRoster();
    }, 10s));
    EXPECT_EQ(bob->getUsers().size(), 2u);
}
