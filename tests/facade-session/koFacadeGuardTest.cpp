// The facade's guards in each of its states: fresh, joined, dropped, after a
// failed join and after leaving. Most operations must reach the client only
// while a join has completed and the client is still connected.

#include "koFacadeTestKit.h"

#include "koTestFaultProxy.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionClient.h"

#include "koNetError.h"

#include <string>

using namespace koFacadeTest;
using koServerTest::makeUser;
using koServerTest::pumpUntil;

namespace {

using FacadeGuardTest = FacadeTest;

// A download that must not happen leaves what the caller passed in.
void expectDownloadIgnored(koSession& facade)
{
    std::vector<char> data{'k', 'e', 'p', 't'};
    QString name = QStringLiteral("kept");
    facade.downloadScene(data, name);
    EXPECT_EQ(data, std::vector<char>({'k', 'e', 'p', 't'}));
    EXPECT_EQ(name, QStringLiteral("kept"));
}

// Everything an application might call on an idle facade; none of it may
// fail or reach a client.
void callEverything(koSession& facade, const QString& text)
{
    facade.executeChanges();
    facade.pushCommand(NoteCommand(text));
    facade.pushAsyncCommand(NoteCommand(text + " async"));
    facade.updateUserInfo(makeUser(text));
    facade.uploadScene(std::vector<char>(16, 'i'), text + ".kova");
    expectDownloadIgnored(facade);
    facade.block(0);
    facade.unblock(0);
    facade.leave();
    facade.stopForAll();
}

// The answers of a facade that is not active.
void expectInactive(koSession& facade, const koSessionUser* emptyRecord)
{
    EXPECT_FALSE(facade.isConnected());
    EXPECT_FALSE(facade.isReadyToUse());
    EXPECT_TRUE(facade.getUsers().empty());
    EXPECT_EQ(&facade.getUser(), emptyRecord);
}

// What a dropped facade answers; leave and stopForAll are ignored too, so
// the dropped client stays. Join completion does not look at the connection.
void expectDroppedIgnoresEverything(koSession& facade, const koSessionUser* emptyRecord)
{
    expectInactive(facade, emptyRecord);
    EXPECT_TRUE(facade.isJoinCompleted());
    facade.leave();
    EXPECT_TRUE(facade.isJoinCompleted());
    facade.stopForAll();
    EXPECT_TRUE(facade.isJoinCompleted());
    EXPECT_NO_THROW(callEverything(facade, QStringLiteral("dropped")));
    EXPECT_TRUE(facade.isJoinCompleted());
    expectInactive(facade, emptyRecord);
}

// Alice executes whatever reaches her until `condition` holds. Used with a
// short bound where nothing must happen.
bool aliceSees(const std::shared_ptr<koSessionClient>& alice, const std::function<bool()>& condition,
               std::chrono::milliseconds timeout)
{
    return pumpUntil({alice.get()}, condition, timeout);
}

// Alice executes rosters until hers holds exactly `ids`, in order.
bool rosterBecomes(const std::shared_ptr<koSessionClient>& alice, const std::vector<unsigned short>& ids)
{
    return aliceSees(alice, [&] { return koServerTest::rosterIds(*alice) == ids; }, std::chrono::seconds(10));
}

} // namespace

TEST_F(FacadeGuardTest, FreshFacadeIsIdleAlthoughItHoldsAClient)
{
    // An unconnected client calls itself connected (no thread has ended), so
    // only the facade's own state keeps it idle.
    koSessionClient unconnected;
    ASSERT_TRUE(unconnected.isConnected());

    koSession& facade = koSession::the();
    const koSessionUser& empty = facade.getUser();
    EXPECT_FALSE(empty != koSessionUser());
    expectInactive(facade, &empty);
    EXPECT_FALSE(facade.isJoinCompleted());
    EXPECT_TRUE(facade.getSessionLink().isEmpty());

    EXPECT_NO_THROW(callEverything(facade, QStringLiteral("fresh")));
    expectInactive(facade, &empty);
    EXPECT_FALSE(empty != koSessionUser());

    // Nothing above has spoiled the facade for a real session.
    joinFacade(QStringLiteral("Facade"));
    ASSERT_TRUE(facadeSees(1));
    EXPECT_NE(&facade.getUser(), &empty);
    EXPECT_EQ(facade.getUser().getName(), QStringLiteral("Facade"));
    EXPECT_TRUE(facade.isReadyToUse());
}

TEST_F(FacadeGuardTest, JoinThatThrowsKeepsTheNewLinkAndLeavesTheFacadeIdle)
{
    // A port where nothing listens any more: a stopped server still holds
    // its listening socket until it is destroyed.
    int closedPort = 0;
    {
        koServerTest::TestServer gone;
        closedPort = gone.port();
    }

    struct Case
    {
        const char* what;
        QString link;
        QString password;
        std::string message;
    };
    const QString address = QStringLiteral("127.0.0.1:%1").arg(host->port());
    const Case cases[] = {
        {"unprotected link with a password", koSession::createSessionLink(address, QString()),
         QStringLiteral("secret"), "Invalid session link or password"},
        {"protected link without its password", koSession::createSessionLink(address, QStringLiteral("secret")),
         QString(), "Invalid session link or password"},
        {"seven identifier bytes without a password", address + QStringLiteral("/00112233445566"), QString(),
         "Invalid session link or password"},
        {"nobody listening", QStringLiteral("127.0.0.1:%1/0011223344").arg(closedPort), QString(),
         "Connection to 127.0.0.1:" + std::to_string(closedPort) + " refused"},
    };

    koSession& facade = koSession::the();
    const koSessionUser* empty = &facade.getUser();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            facade.join(c.link, makeUser(QStringLiteral("Facade")), c.password, false);
            ADD_FAILURE() << "join succeeded";
        } catch (const koNetError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_EQ(facade.getSessionLink(), c.link);
        expectInactive(facade, empty);
        EXPECT_FALSE(facade.isJoinCompleted());
        EXPECT_NO_THROW(callEverything(facade, QStringLiteral("after a failed join")));
    }

    // A good link still joins after all of them.
    joinFacade(QStringLiteral("Facade"));
    EXPECT_EQ(facade.getSessionLink(), link);
    EXPECT_TRUE(facadeSees(1));
}

TEST_F(FacadeGuardTest, FailedJoinKeepsThePreviousClientButNoLongerForwardsToIt)
{
    koSession& facade = koSession::the();
    const koSessionUser* empty = &facade.getUser();
    auto alice = joinClient(QStringLiteral("Alice"));
    joinFacade(QStringLiteral("Facade"));
    ASSERT_TRUE(facadeSees(2));
    const unsigned short first = facade.getUser().getId();
    ASSERT_TRUE(aliceSees(alice, [&] { return alice->getUsers().size() == 2; }, std::chrono::seconds(10)));
    koServerTest::LogCapture log;
    alice->uploadScene(std::vector<char>(64, 'a'), QStringLiteral("alice.kova"));
    ASSERT_TRUE(log.waitFor("uploaded by"));

    const QString badLink = QStringLiteral("127.0.0.1:%1/00112233445566").arg(host->port());
    try {
        facade.join(badLink, makeUser(QStringLiteral("Facade")), QString(), false);
        ADD_FAILURE() << "join succeeded";
    } catch (const koNetError& e) {
        EXPECT_STREQ(e.what(), "Invalid session link or password");
    }
    EXPECT_EQ(facade.getSessionLink(), badLink);
    expectInactive(facade, empty);
    EXPECT_FALSE(facade.isJoinCompleted());

    // The previous client is still connected and in Alice's roster, but the
    // facade sends nothing through it, transfers no scene and executes
    // nothing it receives.
    facade.pushCommand(NoteCommand(QStringLiteral("pushed while idle")));
    facade.pushAsyncCommand(NoteCommand(QStringLiteral("pushed async while idle")));
    facade.uploadScene(std::vector<char>(64, 'i'), QStringLiteral("idle.kova"));
    expectDownloadIgnored(facade);
    alice->push(NoteCommand(QStringLiteral("from Alice while idle"), false));
    const unsigned short aliceId = alice->getUserId();
    const auto leaked = [&] {
        const QStringList executed = ExecutionLog::the().texts(aliceId);
        return alice->getUsers().size() != 2 || executed.contains(QStringLiteral("pushed while idle"))
            || executed.contains(QStringLiteral("pushed async while idle"));
    };
    EXPECT_FALSE(aliceSees(alice, leaked, std::chrono::milliseconds(600)));
    EXPECT_FALSE(recorder->pumpFacade(
        [&] { return ExecutionLog::the().has(first, QStringLiteral("from Alice while idle")); },
        std::chrono::milliseconds(300)));
    EXPECT_EQ(log.count("uploaded by"), 1);
    std::vector<char> data;
    QString name;
    EXPECT_TRUE(alice->downloadScene(data, name));
    EXPECT_EQ(name, QStringLiteral("alice.kova"));

    // A join from here replaces the previous client, which then leaves the
    // session.
    joinFacade(QStringLiteral("Facade again"));
    const unsigned short second = facade.getUser().getId();
    EXPECT_NE(second, first);
    ASSERT_TRUE(rosterBecomes(alice, {aliceId, second}));
    EXPECT_TRUE(facadeSees(2));
}

TEST_F(FacadeGuardTest, DroppedWhenTheServerStops)
{
    koSession& facade = koSession::the();
    const koSessionUser* empty = &facade.getUser();
    auto alice = joinClient(QStringLiteral("Alice"));
    joinFacade(QStringLiteral("Facade"));
    ASSERT_TRUE(facadeSees(2));

    host->server.stop();
    ASSERT_TRUE(koTest::waitFor([&] { return !facade.isConnected(); }));
    expectDroppedIgnoresEverything(facade, empty);

    // A new join is allowed from here.
    koServerTest::TestServer other;
    facade.join(other.link(), makeUser(QStringLiteral("Facade")), QString(), false);
    EXPECT_TRUE(facade.isConnected());
    EXPECT_TRUE(facadeSees(1));
    facade.leave();
}

TEST_F(FacadeGuardTest, DroppedWhenItsLinksAreCutWhileTheServerRunsOn)
{
    koSession& facade = koSession::the();
    const koSessionUser* empty = &facade.getUser();
    koTest::FaultProxy cutter(host->port());
    auto alice = joinClient(QStringLiteral("Alice"));
    const unsigned short aliceId = alice->getUserId();
    facade.join(cutter.link(), makeUser(QStringLiteral("Facade")), QString(), false);
    ASSERT_TRUE(facadeSees(2));

    cutter.cutAll();
    ASSERT_TRUE(koTest::waitFor([&] { return !facade.isConnected(); }));
    // The server noticed as well: Alice is alone.
    ASSERT_TRUE(rosterBecomes(alice, {aliceId}));
    expectDroppedIgnoresEverything(facade, empty);

    // Its stopForAll did not reach the server: the session goes on, and the
    // facade can join it again.
    auto bob = joinClient(QStringLiteral("Bob"));
    ASSERT_TRUE(aliceSees(alice, [&] { return alice->getUsers().size() == 2; }, std::chrono::seconds(10)));
    facade.join(cutter.link(), makeUser(QStringLiteral("Facade")), QString(), false);
    EXPECT_TRUE(facadeSees(3));
    EXPECT_TRUE(alice->isConnected());
    facade.leave();
}

TEST_F(FacadeGuardTest, LeftSessionIgnoresEverything)
{
    koSession& facade = koSession::the();
    const koSessionUser* empty = &facade.getUser();
    auto alice = joinClient(QStringLiteral("Alice"));
    joinFacade(QStringLiteral("Facade"));
    ASSERT_TRUE(facadeSees(2));

    facade.leave();
    expectInactive(facade, empty);
    EXPECT_FALSE(facade.isJoinCompleted());
    EXPECT_EQ(facade.getSessionLink(), link);

    // There is no client left to block, push to or stop.
    EXPECT_NO_THROW(callEverything(facade, QStringLiteral("left")));
    facade.block(noteType());
    facade.unblock(noteType());
    expectInactive(facade, empty);

    // The client went away, and stopForAll did not end the session: Alice
    // stays, alone, and another participant can still join.
    const unsigned short aliceId = alice->getUserId();
    ASSERT_TRUE(rosterBecomes(alice, {aliceId}));
    EXPECT_TRUE(alice->isConnected());
    auto bob = joinClient(QStringLiteral("Bob"));
    EXPECT_TRUE(aliceSees(alice, [&] { return alice->getUsers().size() == 2; }, std::chrono::seconds(10)));
    EXPECT_FALSE(ExecutionLog::the().has(aliceId, QStringLiteral("left")));
}

TEST_F(FacadeGuardTest, BlockAndUnblockReachTheJoinedClient)
{
    koSession& facade = koSession::the();
    auto alice = joinClient(QStringLiteral("Alice"));
    joinFacade(QStringLiteral("Facade"));
    ASSERT_TRUE(facadeSees(2));
    const unsigned short aliceId = alice->getUserId();

    // Blocking everything makes the facade not ready; blocking one type does not.
    facade.block(0);
    EXPECT_FALSE(facade.isReadyToUse());
    EXPECT_TRUE(facade.isConnected());
    facade.unblock(0);
    EXPECT_TRUE(facade.isReadyToUse());

    // The client's own rules (nesting, echo, addressees) are its tests'
    // business; here a blocked type must simply stay local.
    facade.block(noteType());
    EXPECT_TRUE(facade.isReadyToUse());
    facade.pushCommand(NoteCommand(QStringLiteral("blocked"), false));
    facade.unblock(noteType());
    facade.pushCommand(NoteCommand(QStringLiteral("unblocked"), false));

    ASSERT_TRUE(aliceSees(alice, [&] { return ExecutionLog::the().has(aliceId, QStringLiteral("unblocked")); },
                          std::chrono::seconds(10)));
    // The main link keeps order, so a blocked note that had been sent would
    // have arrived first.
    EXPECT_EQ(ExecutionLog::the().texts(aliceId), QStringList({"unblocked"}));
}
