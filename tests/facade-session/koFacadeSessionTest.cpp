// The facade over loopback: its guards in every state (fresh, after a failed
// join, left, dropped) and a whole session with the facade as one participant
// beside plain clients: roster signals, poses on the second link, commands,
// blocks, its own record and the stop for everybody.

#include "koServerTestKit.h"

#include "koTestExecutionLog.h"
#include "koTestRosterSignals.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionUserPoseCommand.h"

#include "koNetError.h"

#include <atomic>
#include <mutex>

using namespace koServerTest;

namespace {

// Logs, beside its text, whether the facade was ready while it ran.
class ReadyProbe : public koTest::TextCommand
{
public:
    using TextCommand::TextCommand;
    void execute(koSessionClient* client) const override
    {
        const bool ready = koSession::the().isReadyToUse();
        koTest::ExecutionLog::the().record(*this, client, text + (ready ? " (ready)" : " (busy)"));
    }
};

const koSessionCommandFactory::Register<koTest::TextCommand> registerText("FacadeText");
const koSessionCommandFactory::Register<koTest::StateCommand> registerState("FacadeState");
const koSessionCommandFactory::Register<koTest::LoadSceneCommand> registerScene("LoadScene");
const koSessionCommandFactory::Register<ReadyProbe> registerProbe("FacadeReadyProbe");

class FacadeTest : public Scenario
{
protected:
    void SetUp() override
    {
        Scenario::SetUp();
        poses = QObject::connect(&facade, &koSession::poseChanged, &facade,
                                 [this](const koSessionUserPoseCommand* pose) {
                                     const bool main = std::this_thread::get_id() == mainThread;
                                     std::lock_guard<std::mutex> lock(mutex);
                                     posesSeen << QStringLiteral("%1 %2%3").arg(pose->getUserId())
                                                      .arg(double(pose->getCamera()[12]))
                                                      .arg(main ? " on main" : "");
                                 },
                                 Qt::DirectConnection);
    }
    void TearDown() override
    {
        facade.leave();
        Scenario::TearDown();
        QObject::disconnect(poses);
    }

    void joinFacade(const QString& link)
    {
        facade.join(link, makeUser("Facade"), QString(), false);
    }
    // Executes on the facade (only its roster signals count) and on the
    // clients until `condition` holds.
    bool pumpFacade(const std::function<bool()>& condition)
    {
        return koTest::waitFor([&] {
            facadeExecuting = true;
            facade.executeChanges();
            facadeExecuting = false;
            for (const auto& client : clients)
                client->executeCommands();
            return condition();
        });
    }
    // Until the facade's join has completed and every roster holds `count`.
    bool facadeSees(std::size_t count)
    {
        return pumpFacade([&] {
            for (const auto& client : clients) {
                if (client->getUsers().size() != count)
                    return false;
            }
            return facade.isJoinCompleted() && facade.getUsers().size() == count;
        });
    }
    QStringList seenPoses()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return posesSeen;
    }

    // What an idle facade answers; every call on it is ignored.
    void expectIgnored(const koSessionUser* empty, const QString& text)
    {
        EXPECT_FALSE(facade.isConnected());
        EXPECT_FALSE(facade.isReadyToUse());
        EXPECT_TRUE(facade.getUsers().empty());
        EXPECT_EQ(&facade.getUser(), empty);
        EXPECT_FALSE(*empty != koSessionUser());
        facade.executeChanges();
        facade.pushCommand(koTest::TextCommand(text));
        facade.pushAsyncCommand(koTest::TextCommand(text + " async"));
        facade.updateUserInfo(makeUser(text));
        facade.uploadScene(std::vector<char>(16, 'i'), text);
        std::vector<char> data{'k'};
        QString name = QStringLiteral("kept");
        facade.downloadScene(data, name);
        EXPECT_EQ(data, std::vector<char>{'k'});
        EXPECT_EQ(name, QStringLiteral("kept"));
        facade.leave();
        facade.stopForAll();
    }

    koSession& facade = koSession::the();
    koTest::RosterSignals roster{[this] { return facadeExecuting.load(); }};

private:
    std::atomic<bool> facadeExecuting{false};
    const std::thread::id mainThread = std::this_thread::get_id();
    QMetaObject::Connection poses;
    std::mutex mutex; // guards posesSeen: receiving threads add, the test reads
    QStringList posesSeen;
};

koSessionUserPoseCommand poseOf(unsigned short userId, float marker)
{
    osg::TransformationMatrix<float> camera;
    camera[12] = marker;
    return koSessionUserPoseCommand(userId, camera);
}

} // namespace

TEST_F(FacadeTest, IdleFacadeIgnoresEverythingFreshAfterAFailedJoinLeftOrDropped)
{
    const koSessionUser* empty = &facade.getUser();
    expectIgnored(empty, QStringLiteral("fresh"));
    EXPECT_FALSE(facade.isJoinCompleted());
    EXPECT_TRUE(facade.getSessionLink().isEmpty());

    joinAll({"Alice"});
    const QString link = host->link();
    joinFacade(link);
    ASSERT_TRUE(facadeSees(2));

    // A failed join keeps the new link and the previous client, but forwards
    // nothing to it any more.
    const QString address = QStringLiteral("127.0.0.1:%1").arg(host->port());
    for (const QString& bad : {koSession::createSessionLink(address, QStringLiteral("secret")),
                               address + QStringLiteral("/00112233445566")}) {
        EXPECT_THROW(joinFacade(bad), koNetError);
        EXPECT_EQ(facade.getSessionLink(), bad);
        EXPECT_FALSE(facade.isJoinCompleted());
        expectIgnored(empty, QStringLiteral("after a failed join"));
    }
    at('A').push(koTest::TextCommand(QStringLiteral("from Alice"), false));
    EXPECT_FALSE(koTest::waitFor([&] {
        facade.executeChanges();
        at('A').executeCommands();
        return at('A').getUsers().size() != 2 || !koTest::ExecutionLog::the().all().empty();
    }, std::chrono::milliseconds(600))) << "something was forwarded or executed";

    // Left: the client is gone, and Alice stays in the session alone.
    joinFacade(link);
    ASSERT_TRUE(facadeSees(2));
    facade.leave();
    EXPECT_EQ(facade.getSessionLink(), link);
    EXPECT_FALSE(facade.isJoinCompleted());
    expectIgnored(empty, QStringLiteral("left"));
    facade.block(0);
    facade.unblock(0);
    EXPECT_TRUE(pump([&] { return rosterIds(at('A')) == std::vector<unsigned short>{at('A').getUserId()}; }));
    EXPECT_TRUE(at('A').isConnected());

    // Dropped: the server stops; leave and stopForAll are ignored too, and the
    // join still counts as completed.
    joinFacade(link);
    ASSERT_TRUE(facadeSees(2));
    host->server.stop();
    ASSERT_TRUE(koTest::waitFor([&] { return !facade.isConnected(); }));
    expectIgnored(empty, QStringLiteral("dropped"));
    EXPECT_TRUE(facade.isJoinCompleted());
    // Only the rejoined facade clients got Alice's note, which the server kept.
    for (const koTest::Execution& entry : koTest::ExecutionLog::the().all())
        EXPECT_NE(entry.executor, at('A').getUserId()) << entry.text.toStdString();
}

TEST_F(FacadeTest, WholeSessionWithTheFacadeAsOneParticipant)
{
    joinAll({"Alice"});
    const unsigned short alice = at('A').getUserId();
    const QString link = host->link();
    joinFacade(link);
    EXPECT_EQ(facade.getSessionLink(), link);
    ASSERT_TRUE(facadeSees(2));
    const unsigned short self = facade.getUser().getId();
    const auto added = [](unsigned short id, const char* name) { return QStringLiteral("added %1 %2").arg(id).arg(name); };
    EXPECT_EQ(roster.take(), QStringList({added(alice, "Alice"), added(self, "Facade")}));
    EXPECT_TRUE(facade.isReadyToUse());

    // Poses run on the receivers' receiving threads, nobody gets its own
    // back, and a late joiner is sent those the server holds.
    facade.pushAsyncCommand(poseOf(self, 1.5f));
    at('A').pushAsync(poseOf(alice, 2.5f));
    ASSERT_TRUE(koTest::waitFor([&] { return seenPoses().size() == 2; }));
    clients.push_back(join("Bob"));
    const unsigned short bob = at('B').getUserId();
    ASSERT_TRUE(facadeSees(3));
    EXPECT_EQ(roster.take(), QStringList({added(bob, "Bob")}));
    ASSERT_TRUE(koTest::waitFor([&] { return seenPoses().size() == 4; }));
    QStringList poses = seenPoses();
    QStringList expected = {QStringLiteral("%1 1.5").arg(self), QStringLiteral("%1 1.5").arg(self),
                            QStringLiteral("%1 2.5").arg(alice), QStringLiteral("%1 2.5").arg(alice)};
    poses.sort();
    expected.sort();
    EXPECT_EQ(poses, expected);

    // Commands: the facade's echo runs while it is busy executing; Alice's
    // runs on the facade's executeChanges; a blocked type stays local.
    koTest::Execution executed;
    facade.pushCommand(ReadyProbe(QStringLiteral("probe")));
    facade.block(0);
    EXPECT_FALSE(facade.isReadyToUse());
    facade.unblock(0);
    facade.block(koTest::TextCommand().getType());
    EXPECT_TRUE(facade.isReadyToUse());
    facade.pushCommand(koTest::TextCommand(QStringLiteral("blocked"), false));
    facade.unblock(koTest::TextCommand().getType());
    facade.pushCommand(koTest::TextCommand(QStringLiteral("unblocked"), false));
    facade.pushAsyncCommand(koTest::TextCommand(QStringLiteral("async"), false));
    at('A').push(koTest::TextCommand(QStringLiteral("from Alice"), false));
    koTest::ExecutionLog& executions = koTest::ExecutionLog::the();
    ASSERT_TRUE(pumpFacade([&] {
        return executions.has(self, "from Alice") && executions.has(self, "probe (busy)")
            && executions.has(bob, "unblocked") && executions.has(bob, "async");
    }));
    // The main link keeps order: a blocked note that had been sent would
    // have come before the unblocked one.
    EXPECT_FALSE(executions.has(bob, "blocked"));
    EXPECT_TRUE(facade.isReadyToUse());
    EXPECT_TRUE(executions.find(self, "from Alice", executed) && executed.onMainThread && executed.changedBy == alice);
    EXPECT_EQ(executions.texts(bob, 0), QStringList({"async"}));

    // The own record changes at once and comes back as one change.
    koSessionUser renamed = facade.getUser();
    renamed.setName(QStringLiteral("Renamed"));
    facade.updateUserInfo(renamed);
    EXPECT_EQ(facade.getUser().getName(), QStringLiteral("Renamed"));
    const QString changed = QStringLiteral("changed %1 Renamed").arg(self);
    ASSERT_TRUE(pumpFacade([&] { return roster.events().contains(changed); }));
    EXPECT_EQ(roster.take(), QStringList({changed}));

    // The stop for everybody leaves at once and ends the session.
    facade.stopForAll();
    EXPECT_FALSE(facade.isConnected());
    EXPECT_FALSE(facade.isJoinCompleted());
    EXPECT_TRUE(waitStopped(host->server));
    EXPECT_TRUE(koTest::waitFor([&] { return !at('A').isConnected(); }));
}
