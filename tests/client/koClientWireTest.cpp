// What the client does that no real server shows: the tunnel line of each
// connection (a listener reads it and closes), its own time limit on a
// server that never answers, its block counts, and the roster signals it
// raises. The rest of its wire forms meet the real server in the session tests.

#include "koTestApplication.h"
#include "koTestExecutionLog.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionCommandFactory.h"

#include "koBoundSocketLink.h"
#include "koCrypt.h"
#include "koNetError.h"
#include "koSocketLink.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <future>
#include <regex>

namespace {

const koSessionCommandFactory::Register<koTest::TextCommand> registerText("ClientText");
const koSessionCommandFactory::Register<koTest::LoadSceneCommand> registerScene("LoadScene");
[[maybe_unused]] ::testing::Environment* const application =
    ::testing::AddGlobalTestEnvironment(new koTest::ApplicationEnvironment);

// Accepts one connection, reads its tunnel line and closes it.
std::string tunnelLineOf(koBoundSocketLink& bound)
{
    koSocketLink link(bound);
    link.setRecvTimeout(10.0);
    std::string line;
    while (line.size() < 4 || line.compare(line.size() - 4, 4, "\r\n\r\n")) {
        char byte = 0;
        link.recv(&byte, 1);
        line += byte;
    }
    return line;
}

QString expectedLine(const QString& link, const QString& password, const char* mode)
{
    QString address;
    QString sessionId;
    EXPECT_TRUE(koSession::tryDecryptSessionLink(password, link, address, sessionId));
    QByteArray digest = QCryptographicHash::hash(sessionId.toUtf8(), QCryptographicHash::Sha256);
    koCrypt crypt({'K', 'o', 'V', 'A', 'T', 'u', 'n', 'n', 'l'});
    for (char& byte : digest)
        byte = static_cast<char>(crypt.code(static_cast<unsigned char>(byte)));
    return QStringLiteral("CONNECT session_%1.version_1.2.3.%2.KOVASessionServer HTTP/1.1\r\n\r\n")
        .arg(QString::fromLatin1(digest.toHex()), QString::fromLatin1(mode));
}

} // namespace

TEST(ClientWireTest, TunnelLineCarriesTheScrambledHashVersionAndModeAndStopSaysJoin)
{
    koSession::the();
    const koTest::VersionOverride version{"1.2.3", "V1"};
    struct Row
    {
        QString password;
        bool force;
        const char* mode;
    };
    for (const Row& row : {Row{QString(), false, "join"}, Row{QString(), true, "force"},
                           Row{QStringLiteral("secret"), true, "force"}}) {
        SCOPED_TRACE(row.mode);
        koBoundSocketLink bound(0);
        const QString link = koTest::loopbackLink(bound.getAddress().getPort(), row.password);
        auto lines = std::async(std::launch::async, [&bound] {
            const std::string join = tunnelLineOf(bound);
            return std::make_pair(join, tunnelLineOf(bound));
        });
        koSessionClient client;
        EXPECT_THROW(client.join(link, koSessionUser(), row.password, row.force), koNetError);
        client.stopForAll();
        ASSERT_EQ(lines.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        const auto [joinLine, stopLine] = lines.get();
        EXPECT_EQ(QString::fromStdString(joinLine), expectedLine(link, row.password, row.mode));
        EXPECT_EQ(QString::fromStdString(stopLine), expectedLine(link, row.password, "join"));
    }
}

// A server that takes the connection and never answers: join ends with the
// time-out of the client's own bound, however long the server stays silent.
TEST(ClientWireTest, JoinGivesUpOnASilentServerAtItsOwnBound)
{
    koSession::the();
    koBoundSocketLink silent(0); // the system completes the connection; nobody reads
    koSessionClient client;
    client.setHandshakeTimeout(2.0);
    std::promise<void> ended;
    auto watchdog = std::async(std::launch::async, [&client, waiting = ended.get_future()] {
        if (waiting.wait_for(std::chrono::seconds(60)) == std::future_status::timeout)
            client.cancelJoin();
    });
    const auto started = std::chrono::steady_clock::now();
    std::string error;
    try {
        client.join(koTest::loopbackLink(silent.getAddress().getPort()), koSessionUser(), QString(), false);
    } catch (const koNetError& e) {
        error = e.what();
    }
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - started;
    ended.set_value();
    std::smatch bound;
    ASSERT_TRUE(std::regex_search(error, bound, std::regex("^Receiving from 127\\.0\\.0\\.1:\\d+ timed out after (\\d+) s$")))
        << error;
    EXPECT_EQ(bound[1], "2");
    EXPECT_NEAR(waited.count(), 2.0, 1.0);
}

TEST(ClientWireTest, BlockCountsNestAndTypeZeroBlocksAll)
{
    koSessionClient client;
    const koTest::TextCommand text;
    const koTest::LoadSceneCommand scene;
    client.block(text.getType());
    client.block(text.getType());
    client.unblock(text.getType());
    EXPECT_TRUE(client.isBlocking(text));
    EXPECT_FALSE(client.isBlocking(scene));
    EXPECT_FALSE(client.isBlocking());
    client.unblock(text.getType());
    EXPECT_FALSE(client.isBlocking(text));
    client.unblock(text.getType()); // no entry: nothing, no negative count left
    client.block(text.getType());
    EXPECT_TRUE(client.isBlocking(text));
    client.block(0);
    EXPECT_TRUE(client.isBlocking());
    EXPECT_TRUE(client.isBlocking(scene));
}

// Each roster in turn, and the signals it raises: additions first, then
// changes and removals by ascending identifier; nothing for a roster that
// holds the same records, in any order.
TEST(ClientWireTest, RosterSignalsOnlyWhatChanged)
{
    // As the server sends them: spectator counts included.
    const auto record = [](unsigned short id, unsigned short watching = 0, int watchers = 0) {
        koSessionUser user;
        user.setId(id);
        user.setName(QStringLiteral("user %1").arg(id));
        user.setIsSpectator(watching != 0);
        user.setSpectatedUserId(watching);
        user.setSpectatorCount(watchers);
        return user;
    };
    const struct
    {
        std::vector<koSessionUser> roster;
        QStringList signalled;
    } rows[] = {
        {{record(2), record(1)}, {"+2", "+1"}},
        {{record(2), record(1)}, {}},
        {{record(1), record(2)}, {}},
        {{record(1, 2), record(2, 0, 1)}, {"~1", "~2"}},
        {{record(2, 0, 1), record(1, 2)}, {}},
        {{record(3), record(2)}, {"+3", "-1", "~2"}},
        {{}, {"-2", "-3"}},
        {{}, {}},
    };
    koSession& facade = koSession::the();
    QStringList signalled;
    const QMetaObject::Connection connections[] = {
        QObject::connect(&facade, &koSession::userAdded,
                         [&](const koSessionUser& user) { signalled << QStringLiteral("+%1").arg(user.getId()); }),
        QObject::connect(&facade, &koSession::userChanged,
                         [&](const koSessionUser& user) { signalled << QStringLiteral("~%1").arg(user.getId()); }),
        QObject::connect(&facade, &koSession::userRemoved,
                         [&](koSessionUserId id) { signalled << QStringLiteral("-%1").arg(id); }),
    };
    koSessionClient client;
    for (const auto& row : rows) {
        signalled.clear();
        client.setUsers(row.roster);
        EXPECT_EQ(signalled, row.signalled) << row.roster.size() << " records";
    }
    for (const QMetaObject::Connection& connection : connections)
        QObject::disconnect(connection);
}
