// A facade participant whose server goes away, watched by koSessionRejoiner:
// a server restarted on the same port and session gets it back in its
// roster, a session ended for everybody is not rejoined, and a server that
// stays away is given up once the limit has passed, not before.
#include "koServerTestKit.h"
#include "koTestApplication.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionRejoiner.h"

#include <QCoreApplication>

namespace {

using namespace koServerTest;

const auto* environment = ::testing::AddGlobalTestEnvironment(new koTest::ApplicationEnvironment);

// Runs the event loop and the facade's changes until `condition` holds.
bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s)
{
    return koTest::waitFor([&] {
        QCoreApplication::processEvents();
        koSession::the().executeChanges();
        return condition();
    }, timeout);
}

std::unique_ptr<koSessionServer> startServer(int port, const QString& sessionId)
{
    auto server = std::make_unique<koSessionServer>();
    server->setSessionId(sessionId);
    server->start(QString(), port);
    return server;
}

TEST(RejoinTest, RejoinsARestartedServerLeavesAnEndedSessionAndGivesUpAtItsLimit)
{
    prepareProcess();
    const struct
    {
        bool ends;     // for everybody, else a plain stop
        bool restarts; // a new server on the same port and session, a second later
        int limit;
        QStringList events;
    } rows[] = {
        {false, true, 10, {"lost", "rejoined"}},
        {true, false, 10, {"ended: stopped by a participant"}},
        {false, false, 1, {"lost", "gave up: no rejoin succeeded within 1 s; the last attempt: Connection to 127.0.0.1:%1 refused"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.events.join(", ").toStdString());
        auto server = startServer(0, QString());
        const int port = server->getPort();
        const QString link = koTest::loopbackLink(port);
        const QString sessionId = link.section(QLatin1Char('/'), 1);
        server->setSessionId(sessionId);
        koSession& session = koSession::the();
        session.join(link, makeUser(QStringLiteral("Alice")), QString(), false);
        ASSERT_TRUE(runUntil([&] { return session.isJoinCompleted(); }));

        koSessionRejoiner rejoiner;
        rejoiner.setLimitSeconds(row.limit);
        QStringList events;
        std::chrono::steady_clock::time_point lost, gaveUp;
        QObject::connect(&rejoiner, &koSessionRejoiner::connectionLost, [&] {
            events << "lost";
            lost = std::chrono::steady_clock::now();
        });
        QObject::connect(&rejoiner, &koSessionRejoiner::rejoined, [&] { events << "rejoined"; });
        QObject::connect(&rejoiner, &koSessionRejoiner::gaveUp, [&](const QString& why) {
            events << "gave up: " + why;
            gaveUp = std::chrono::steady_clock::now();
        });
        QObject::connect(&rejoiner, &koSessionRejoiner::sessionEnded, [&](const QString& why) { events << "ended: " + why; });
        rejoiner.watch(link, makeUser(QStringLiteral("Alice")), QString());

        if (row.ends)
            server->endSession(QStringLiteral("stopped by a participant"));
        else
            server->stop();
        ASSERT_TRUE(waitStopped(*server));
        server.reset();
        ASSERT_TRUE(runUntil([&] { return !events.isEmpty(); }));
        if (row.restarts) {
            // Long enough for an attempt to find nobody first.
            runUntil([] { return false; }, 1200ms);
            server = startServer(port, sessionId);
        }
        const QStringList expected = QStringList(row.events).replaceInStrings("%1", QString::number(port));
        EXPECT_TRUE(runUntil([&] { return events.size() == expected.size(); })) << events.join('\n').toStdString();
        // Nothing more comes: no rejoin after an end, no attempt after giving up.
        runUntil([] { return false; }, 700ms);
        EXPECT_EQ(events, expected);
        EXPECT_TRUE(row.limit != 1 || gaveUp - lost >= 999ms) << "gave up before its limit (less the signal's delay)";
        EXPECT_EQ(session.getEndReason(), row.ends ? "stopped by a participant" : "");
        if (row.restarts) {
            ASSERT_TRUE(runUntil([&] { return session.isJoinCompleted() && server->getParticipants().size() == 1; }));
            EXPECT_EQ(server->getParticipants().front().user.getName(), "Alice");
        }
        rejoiner.stop();
        session.leave();
    }
}

} // namespace
