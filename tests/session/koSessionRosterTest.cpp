// The roster over whole sessions: identifiers and colours, spectator counts,
// participants that vanish, and the last one leaving. The facade's signals
// over a whole session are checked in koFacadeSessionTest.cpp.

#include "koSessionTestFixture.h"

#include "koTestRosterSignals.h"
#include "koTestSupport.h"

#include "koSession.h"

#include "koSessionWire.h"

#include "koNetStream.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <string>

using namespace koServerTest;

namespace {

using RosterTest = koSessionTestFixture;

const koSessionUser* findUser(const std::vector<koSessionUser>& users, unsigned short id)
{
    for (const koSessionUser& user : users)
        if (user.getId() == id)
            return &user;
    return nullptr;
}

// Reads rosters from a raw participant's stream until one satisfies `wanted`.
bool readRosterUntil(koNetStream& stream, const std::function<bool(const std::vector<koSessionUser>&)>& wanted)
{
    for (int rosters = 0; rosters < 50; ++rosters) {
        if (wanted(readRoster(stream)))
            return true;
    }
    return false;
}

} // namespace

TEST_F(RosterTest, IdentifiersCountUpAndColourIndicesComeFree)
{
    const koSession& facade = koSession::the();
    auto alice = join("Alice");
    auto bob = join("Bob");
    const unsigned short first = alice->getUserId();
    // In a process of its own (as CTest runs each case) the first is 1.
    if (::testing::UnitTest::GetInstance()->test_to_run_count() == 1) {
        EXPECT_EQ(first, 1);
    }
    EXPECT_EQ(bob->getUserId(), first + 1);
    EXPECT_EQ(alice->getUser().getColor(), facade.getDefaultColor(0));
    EXPECT_EQ(bob->getUser().getColor(), facade.getDefaultColor(1));

    alice.reset();
    ASSERT_TRUE(pump({bob}, [&] { return bob->getUsers().size() == 1; }));
    auto carol = join("Carol");
    EXPECT_EQ(carol->getUserId(), first + 2);
    EXPECT_EQ(carol->getUser().getColor(), facade.getDefaultColor(0));

    // A chosen colour stays, yet its index is taken all the same.
    auto dave = koServerTest::join(host->link(), "Dave", QColor(10, 20, 30));
    EXPECT_EQ(dave->getUser().getColor(), QColor(10, 20, 30));
    auto erin = join("Erin");
    EXPECT_EQ(erin->getUser().getColor(), facade.getDefaultColor(3));
    EXPECT_EQ(erin->getUserId(), first + 4);

    const std::vector<ClientPtr> everyone = {bob, carol, dave, erin};
    ASSERT_TRUE(settled(everyone));
    EXPECT_EQ(rosterIds(*erin), (std::vector<unsigned short>{bob->getUserId(), carol->getUserId(),
                                                             dave->getUserId(), erin->getUserId()}));
}

TEST_F(RosterTest, TwoSpectatorsGiveACountOfTwo)
{
    auto clients = joinAll({"Alice", "Bob", "Carol"});
    const ClientPtr alice = clients[0], bob = clients[1], carol = clients[2];
    // A raw participant sees the roster exactly as the server computed it.
    RawParticipant watcher = rawJoin(connectCiphered(host->port()), "Watcher");
    ASSERT_TRUE(pump(clients, [&] { return alice->getUsers().size() == 4; }));

    for (const auto& spectator : {bob, carol}) {
        koSessionUser record = spectator->getUser();
        record.setIsSpectator(true);
        record.setSpectatedUserId(alice->getUserId());
        spectator->updateUserInfo(record);
    }

    const unsigned short aliceId = alice->getUserId();
    EXPECT_TRUE(readRosterUntil(*watcher.stream, [&](const std::vector<koSessionUser>& users) {
        const koSessionUser* record = findUser(users, aliceId);
        if (!record || record->getSpectatorCount() != 2)
            return false;
        for (const koSessionUser& other : users) {
            EXPECT_EQ(other.getSpectatorCount(), other.getId() == aliceId ? 2 : 0);
        }
        return true;
    }));
    ASSERT_TRUE(pump(clients, [&] { return alice->getUser().getSpectatorCount() == 2; }));
    EXPECT_EQ(findUser(alice->getUsers(), aliceId)->getSpectatorCount(), 2);
    EXPECT_EQ(findUser(alice->getUsers(), bob->getUserId())->getSpectatorCount(), 0);
    EXPECT_TRUE(findUser(alice->getUsers(), bob->getUserId())->getIsSpectator());
}

TEST_F(RosterTest, ParticipantWhoseLinkClosesWithoutGoodbyeIsRemoved)
{
    for (const bool midRecord : {false, true}) {
        SCOPED_TRACE(midRecord);
        auto alice = join("Alice");
        RawParticipant ghost = rawJoin(connectCiphered(host->port()), "Ghost");
        ASSERT_TRUE(pump({alice}, [&] { return findUser(alice->getUsers(), ghost.user.getId()) != nullptr; }));

        koTest::RosterSignals recorder;
        if (midRecord) {
            // Half a change record: the server must not wait for the rest.
            const char partial[] = {0x10, 0x00, 0x00};
            ghost.stream->putBytes(partial, sizeof partial);
            ghost.stream->flush();
        }
        ghost.stream.reset();
        ghost.link.reset();

        ASSERT_TRUE(pump({alice}, [&] { return alice->getUsers().size() == 1; }));
        EXPECT_EQ(recorder.events(), QStringList({QStringLiteral("removed %1").arg(ghost.user.getId())}));
        EXPECT_TRUE(alice->isConnected());
        alice.reset();
        // The server stopped with its last participant; start it for the next round.
        ASSERT_TRUE(waitStopped(host->server));
        host->start();
    }
}

// A participant that leaves the moment it is admitted may end its threads
// before it is in the roster; it must still be removed, and the server stop.
TEST_F(RosterTest, ParticipantGoneBeforeItsAdmissionEndsIsRemovedToo)
{
    const std::string stopLine = "Stopping session after last client has disconnected";
    LogCapture log;
    int admitted = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int stops = log.count(stopLine);
        const int refusals = log.count("Unable to handle request");
        {
            auto link = connectCiphered(host->port());
            koNetStream stream(link);
            koSessionWire::putRequest(stream, koSessionWire::RequestJoin);
            koSessionWire::putText(stream, QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString()));
            stream.flush();
            koSessionWire::getText(stream);
            koSessionWire::getNames(stream);
            makeUser("Hit and run").putValue(stream);
            stream.flush();
        } // closed without reading the answer
        // Admitted (then removed, and the server stops), or refused because
        // the link was gone before the answer went out.
        ASSERT_TRUE(koTest::waitFor([&] {
            return log.count(stopLine) > stops || log.count("Unable to handle request") > refusals;
        }));
        if (log.count(stopLine) > stops) {
            ++admitted;
            EXPECT_TRUE(waitStopped(host->server));
        } else {
            host->server.stop();
            host->server.wait();
        }
        host->start();
    }
    EXPECT_GT(admitted, 0);
}

TEST_F(RosterTest, ServerStopsAfterTheLastParticipantLeaves)
{
    LogCapture log;
    auto clients = joinAll({"Alice", "Bob"});
    clients[0].reset();
    ASSERT_TRUE(pump({clients[1]}, [&] { return clients[1]->getUsers().size() == 1; }));
    EXPECT_EQ(log.count("Stopping session after last client has disconnected"), 0);
    clients[1].reset();
    EXPECT_TRUE(log.waitFor("Stopping session after last client has disconnected"));
    EXPECT_TRUE(waitStopped(host->server));
    EXPECT_EQ(log.count("Stopping session after last client has disconnected"), 1);
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
    EXPECT_EQ(log.count("Stopping empty session"), 0);
}
