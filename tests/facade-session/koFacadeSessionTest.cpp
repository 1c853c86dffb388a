// Whole sessions with the facade as one participant: a real server on
// loopback, the other participants as clients used directly, the test's own
// commands, poses on the second link and the roster signals.

#include "koFacadeTestKit.h"

#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionUserPoseCommand.h"

using namespace koFacadeTest;
using koServerTest::pumpUntil;

namespace {

using FacadeSessionTest = FacadeTest;

QString added(const koSessionUser& user)
{
    return QStringLiteral("added %1 %2").arg(user.getId()).arg(user.getName());
}

koSessionUserPoseCommand poseOf(unsigned short userId, float marker)
{
    osg::TransformationMatrix<float> camera;
    camera[12] = marker;
    koSessionUserPoseCommand pose(userId, camera);
    pose.setHeadTracker(osg::TransformationMatrix<float>::identity());
    return pose;
}

} // namespace

TEST_F(FacadeSessionTest, WholeSessionWithTheFacadeAsOneParticipant)
{
    koSession& facade = koSession::the();
    ExecutionLog& log = ExecutionLog::the();
    const koSessionUser* idle = &facade.getUser();

    auto alice = joinClient(QStringLiteral("Alice"));
    const unsigned short aliceId = alice->getUserId();
    joinFacade(QStringLiteral("Facade"));
    ASSERT_TRUE(facade.isConnected());
    EXPECT_EQ(facade.getSessionLink(), link);

    // First roster: an addition for every participant, the own one included.
    ASSERT_TRUE(facadeSees(2));
    const unsigned short self = facade.getUser().getId();
    EXPECT_NE(&facade.getUser(), idle);
    EXPECT_NE(self, 0);
    EXPECT_EQ(facade.getUser().getName(), QStringLiteral("Facade"));
    EXPECT_EQ(namesOf(facade.getUsers()), QStringList({"Alice", "Facade"}));
    EXPECT_EQ(recorder->roster(), QStringList({added(facade.getUsers()[0]), added(facade.getUsers()[1])}));
    EXPECT_TRUE(facade.isReadyToUse());
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return alice->getUsers().size() == 2; }));

    // Poses go on the second link and are executed on the receivers'
    // receiving threads; nobody gets its own pose back.
    facade.pushAsyncCommand(poseOf(self, 1.5f));
    ASSERT_TRUE(koTest::waitFor([&] { return recorder->poseCount(self, 1.5f) == 1; }));
    alice->pushAsync(poseOf(aliceId, 2.5f));
    ASSERT_TRUE(koTest::waitFor([&] { return recorder->poseCount(aliceId, 2.5f) == 1; }));
    for (const PoseSeen& pose : recorder->poses()) {
        EXPECT_TRUE(pose.hasHead);
        EXPECT_FALSE(pose.onMainThread);
    }

    // A third participant appears in the facade's roster as one addition.
    recorder->clearRoster();
    auto bob = joinClient(QStringLiteral("Bob"));
    const unsigned short bobId = bob->getUserId();
    ASSERT_TRUE(facadeSees(3));
    EXPECT_EQ(recorder->roster(), QStringList({QStringLiteral("added %1 Bob").arg(bobId)}));
    // A late joiner is sent the poses that the server holds.
    ASSERT_TRUE(koTest::waitFor(
        [&] { return recorder->poseCount(self, 1.5f) == 2 && recorder->poseCount(aliceId, 2.5f) == 2; }));
    const std::vector<koSessionClient*> others = {alice.get(), bob.get()};

    // A command pushed through the facade reaches everybody, the facade
    // itself too since it echoes; while the facade executes it, it is not
    // ready for use.
    const QString fromFacade = QStringLiteral("from the facade");
    facade.pushCommand(NoteCommand(fromFacade));
    ASSERT_TRUE(pumpUntil(others, [&] { return log.has(aliceId, fromFacade) && log.has(bobId, fromFacade); }));
    ASSERT_TRUE(recorder->pumpFacade([&] { return log.has(self, fromFacade); }));
    Execution own;
    ASSERT_TRUE(log.find(self, fromFacade, own));
    EXPECT_EQ(own.changedBy, self);
    EXPECT_TRUE(own.onMainThread);
    EXPECT_FALSE(own.facadeReady);
    EXPECT_TRUE(facade.isReadyToUse());

    // A participant's command is executed by the facade's executeChanges on
    // the calling thread.
    const QString fromAlice = QStringLiteral("from Alice");
    alice->push(NoteCommand(fromAlice, false));
    ASSERT_TRUE(recorder->pumpFacade([&] { return log.has(self, fromAlice); }));
    Execution received;
    ASSERT_TRUE(log.find(self, fromAlice, received));
    EXPECT_EQ(received.changedBy, aliceId);
    EXPECT_TRUE(received.onMainThread);

    // The facade's asynchronous commands run on the receivers' receiving threads.
    const QString async = QStringLiteral("async from the facade");
    facade.pushAsyncCommand(NoteCommand(async, false));
    ASSERT_TRUE(koTest::waitFor([&] { return log.has(aliceId, async) && log.has(bobId, async); }));
    ASSERT_TRUE(log.find(bobId, async, received));
    EXPECT_FALSE(received.onMainThread);
    EXPECT_EQ(received.changedBy, self);

    // The own record changes at once; the server's broadcast brings it back
    // as one change.
    recorder->clearRoster();
    koSessionUser renamed = facade.getUser();
    renamed.setName(QStringLiteral("Facade renamed"));
    renamed.setRoom(QStringLiteral("lab"));
    facade.updateUserInfo(renamed);
    EXPECT_EQ(facade.getUser().getName(), QStringLiteral("Facade renamed"));
    EXPECT_EQ(facade.getUser().getId(), self);
    const QString changed = QStringLiteral("changed %1 Facade renamed").arg(self);
    ASSERT_TRUE(recorder->pumpFacade([&] { return recorder->roster().contains(changed); }));
    EXPECT_EQ(recorder->roster(), QStringList({changed}));
    ASSERT_TRUE(pumpUntil(others, [&] { return namesOf(bob->getUsers()).contains("Facade renamed"); }));

    // Scenes both ways: the facade's upload reaches a participant's download
    // whole, in two pieces, with its name; and the other way round.
    koServerTest::LogCapture serverLog;
    std::vector<char> scene(1024 * 1024 + 1);
    for (std::size_t i = 0; i < scene.size(); ++i)
        scene[i] = char(i * 7 + i / 251);
    const QString sceneName = QStringLiteral("Szene \u00fcber Br\u00fccken.kova");
    facade.uploadScene(scene, sceneName);
    ASSERT_TRUE(serverLog.waitFor("uploaded by"));
    std::vector<char> data;
    QString name;
    ASSERT_TRUE(bob->downloadScene(data, name));
    EXPECT_EQ(name, sceneName);
    EXPECT_TRUE(data == scene);
    alice->uploadScene(std::vector<char>(100, 'a'), QStringLiteral("alice.kova"));
    ASSERT_TRUE(koTest::waitFor([&] { return serverLog.count("uploaded by") == 2; }));
    facade.downloadScene(data, name);
    EXPECT_EQ(name, QStringLiteral("alice.kova"));
    EXPECT_EQ(data, std::vector<char>(100, 'a'));

    // A participant that leaves is one removal.
    recorder->clearRoster();
    bob.reset();
    ASSERT_TRUE(recorder->pumpFacade([&] { return facade.getUsers().size() == 2; }));
    EXPECT_EQ(recorder->roster(), QStringList({QStringLiteral("removed %1").arg(bobId)}));

    // Leaving releases the client: the others see the facade go.
    facade.leave();
    EXPECT_FALSE(facade.isConnected());
    EXPECT_FALSE(facade.isJoinCompleted());
    EXPECT_TRUE(facade.getUsers().empty());
    EXPECT_EQ(&facade.getUser(), idle);
    const std::vector<unsigned short> aliceAlone = {aliceId};
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return koServerTest::rosterIds(*alice) == aliceAlone; }));

    // Each pose was delivered once to each other participant, no more.
    EXPECT_EQ(recorder->poseCount(self, 1.5f), 2);
    EXPECT_EQ(recorder->poseCount(aliceId, 2.5f), 2);
}

TEST_F(FacadeSessionTest, StopForAllEndsTheSessionForEverybody)
{
    koSession& facade = koSession::the();
    auto alice = joinClient(QStringLiteral("Alice"));
    joinFacade(QStringLiteral("Facade"));
    ASSERT_TRUE(facadeSees(2));

    facade.stopForAll();
    // The facade has left at once.
    EXPECT_FALSE(facade.isConnected());
    EXPECT_FALSE(facade.isJoinCompleted());
    EXPECT_TRUE(koServerTest::waitStopped(host->server));
    EXPECT_TRUE(koTest::waitFor([&] { return !alice->isConnected(); }));
}

TEST_F(FacadeSessionTest, JoinAsksAboutAStoredSceneAndWaitsForIt)
{
    koServerTest::prepareProcess(true);
    koSession& facade = koSession::the();
    auto alice = joinClient(QStringLiteral("Alice"));
    const unsigned short aliceId = alice->getUserId();
    // Alice provides a scene; its own echo tells that the server holds it.
    alice->push(LoadSceneCommand(QStringLiteral("scene one")));
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return ExecutionLog::the().has(aliceId, "LoadScene:scene one"); }));

    const int asked = koServerTest::sceneQuestionsAsked();
    joinFacade(QStringLiteral("Facade"));
    EXPECT_EQ(koServerTest::sceneQuestionsAsked(), asked + 1);
    // join returned only once the scene had arrived, so one execution runs it.
    const unsigned short self = facade.getUser().getId();
    facade.executeChanges();
    EXPECT_TRUE(ExecutionLog::the().has(self, "LoadScene:scene one"));
    koServerTest::prepareProcess(false);
}
