// koSessionClient against a session server written by hand over loopback:
// the tunnel line, the join handshake with well-formed, odd and broken
// answers, the scene question, how links end,
// and the scene streams as the client writes and reads them. Byte vectors are
// written from the wire format, little-endian throughout.

#include "koTestApplication.h"
#include "koTestBytes.h"
#include "koTestExecutionLog.h"
#include "koTestRosterSignals.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionChangeList.h"
#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionVersionError.h"

#include "koBoundSocketLink.h"
#include "koCrypt.h"
#include "koNetCipher.h"
#include "koNetError.h"
#include "koNetLinkReceiver.h"
#include "koNetLinkSender.h"
#include "koNetProgress.h"
#include "koNetStream.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

using Bytes = std::vector<unsigned char>;

const koSessionCommandFactory::Register<koTest::TextCommand> registerText("ClientText");
const koSessionCommandFactory::Register<koTest::LoadSceneCommand> registerScene("LoadScene");
[[maybe_unused]] ::testing::Environment* const application =
    ::testing::AddGlobalTestEnvironment(new koTest::ApplicationEnvironment);

Bytes operator+(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// A change record of command type `type` with every flag clear and no payload.
Bytes recordOf(unsigned int type)
{
    const std::vector<char> record = koTest::rawRecord(type, 3, {});
    return Bytes(record.begin(), record.end());
}

const std::string Ok = "HTTP/1.1 200 OK\r\n\r\n";
const Bytes V1 = {2, 0, 0, 0, 'V', 0, '1', 0};
const Bytes NoNames = {0, 0, 0, 0, 0, 0, 0, 0};

// One connection accepted by the hand-written server, past its tunnel line
// and the server's side of the cipher.
struct Connection
{
    std::string line;
    std::shared_ptr<koSocketLink> link;
    std::unique_ptr<koNetStream> stream;

    void put(const Bytes& bytes)
    {
        stream->putBytes(bytes.data(), bytes.size());
        stream->flush();
    }
    Bytes get(std::size_t size)
    {
        Bytes bytes(size);
        stream->getBytes(bytes.data(), size);
        return bytes;
    }
    // Reads until the client closes or shuts the link; false on a time-out.
    bool ends()
    {
        try {
            for (char byte = 0;;) {
                if (stream)
                    stream->getValue<std::uint8_t>();
                else
                    link->recv(&byte, 1); // before the cipher
            }
        } catch (const koNetError& e) {
            return std::string(e.what()).find("timed out") == std::string::npos;
        }
    }
};

// A session server written by hand: `body` runs on a thread of its own while
// the test's thread joins; what it throws is kept for finish().
class RawServer
{
public:
    explicit RawServer(const QString& password = QString())
        : bound(0)
        , link(koTest::loopbackLink(bound.getAddress().getPort(), password))
    {
    }
    ~RawServer()
    {
        bound.shutdown();
        for (const auto& open : accepted)
            open->shutdown();
        finish();
    }

    void run(std::function<void(RawServer&)> body)
    {
        thread = std::thread([this, body] {
            try {
                body(*this);
            } catch (const std::exception& e) {
                error = e.what();
            }
        });
    }
    std::string finish()
    {
        if (thread.joinable())
            thread.join();
        return error;
    }

    // Accepts a connection, reads its tunnel line, sends `answer` and sets up
    // the cipher, unless the answer is left unfinished.
    Connection accept(const std::string& answer = Ok)
    {
        Connection connection;
        connection.link = std::make_shared<koSocketLink>(bound);
        accepted.push_back(connection.link);
        connection.link->setRecvTimeout(10.0);
        while (connection.line.size() < 4 || connection.line.compare(connection.line.size() - 4, 4, "\r\n\r\n")) {
            char byte = 0;
            connection.link->recv(&byte, 1);
            connection.line += byte;
        }
        connection.link->send(answer.data(), answer.size());
        if (answer.size() < 4 || answer.compare(answer.size() - 4, 4, "\r\n\r\n"))
            return connection;
        koNetStream keyExchange(connection.link);
        connection.link->setCipher(std::make_shared<koNetCipher>(false, keyExchange));
        connection.stream = std::make_unique<koNetStream>();
        connection.stream->setSender(koNetLinkSender::create(connection.link));
        connection.stream->setReceiver(koNetLinkReceiver::create(connection.link));
        return connection;
    }

    // The server's side of a join: the tunnel and version answers given, then
    // for a well-formed one identifier 42, colour (1,2,3) and the second link.
    // An empty version answer closes after the request; a refused one waits
    // for the client to close.
    void admit(std::uint8_t sceneFlag = 0, const std::string& tunnel = Ok, const Bytes& answer = V1 + NoNames,
               bool refused = false)
    {
        main = accept(tunnel);
        if (!main.stream) {
            expect(main.ends(), "client to give up");
            return;
        }
        expect(main.get(4 + V1.size()) == Bytes{0, 0, 0, 0} + V1, "join request and version");
        if (answer.empty())
            return;
        main.put(answer);
        if (refused) {
            expect(main.ends(), "client to close");
            return;
        }
        koSessionUser user;
        user.getValue(*main.stream);
        expect(user.getName() == joiner().getName() && user.getId() == joiner().getId(), "record");
        user.setId(42);
        user.setColor(QColor(1, 2, 3));
        user.putValue(*main.stream);
        main.put({sceneFlag});
        main.stream->sendSuccess();
        main.stream->flush();
        second = accept();
        expect(second.get(6) == Bytes{4, 0, 0, 0, 42, 0}, "second link request");
        second.stream->sendSuccess();
        second.stream->flush();
    }

    // Who joins: a name beyond Latin-1's ASCII and an identifier the server replaces.
    static koSessionUser joiner()
    {
        koSessionUser user;
        user.setName(QStringLiteral("Zo\u00eb"));
        user.setId(1234);
        return user;
    }

    static void expect(bool condition, const char* what)
    {
        if (!condition)
            throw std::runtime_error(std::string("unexpected ") + what);
    }

    koBoundSocketLink bound;
    const QString link;
    Connection main;
    Connection second;

private:
    std::vector<std::shared_ptr<koSocketLink>> accepted;
    std::thread thread;
    std::string error;
};

// A client of version "V1" joined to `server`, which runs `serve`.
std::unique_ptr<koSessionClient> joined(RawServer& server, std::function<void(RawServer&)> serve)
{
    server.run(std::move(serve));
    auto client = std::make_unique<koSessionClient>();
    client->join(server.link, RawServer::joiner(), QString(), false);
    return client;
}

class ClientWireTest : public ::testing::Test
{
protected:
    void SetUp() override { koSession::the(); }
    void TearDown() override
    {
        koSessionClient::setSceneQuestion([] { return false; });
        koNetProgress::start("reset", 0.0);
        koNetProgress::start(std::string(), 0.0);
    }
    const koTest::VersionOverride version{"1.2.3", "V1"};
};

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

TEST_F(ClientWireTest, TunnelLineCarriesTheScrambledHashVersionAndModeAndStopSaysJoin)
{
    struct Row
    {
        QString password;
        bool force;
        const char* mode;
    };
    for (const Row& row : {Row{QString(), false, "join"}, Row{QString(), true, "force"},
                           Row{QStringLiteral("secret"), true, "force"}}) {
        SCOPED_TRACE(row.mode);
        RawServer server(row.password);
        std::string joinLine;
        std::string stopLine;
        Bytes request;
        server.run([&](RawServer& raw) {
            joinLine = raw.accept().line; // and closed
            Connection stop = raw.accept();
            stopLine = stop.line;
            request = stop.get(4);
            RawServer::expect(stop.ends(), "stop connection to close");
        });
        koSessionClient client;
        EXPECT_THROW(client.join(server.link, koSessionUser(), row.password, row.force), koNetError);
        client.stopForAll();
        EXPECT_EQ(server.finish(), "");
        EXPECT_EQ(QString::fromStdString(joinLine), expectedLine(server.link, row.password, row.mode));
        EXPECT_EQ(QString::fromStdString(stopLine), expectedLine(server.link, row.password, "join"));
        EXPECT_EQ(request, Bytes({3, 0, 0, 0}));
    }
}

TEST_F(ClientWireTest, JoinTakesOddAnswersAndFailsOnBadOnes)
{
    struct Row
    {
        const char* what;
        std::string tunnelAnswer;
        Bytes versionAnswer; // empty: the server closes after the request
        const char* error;   // nullptr: joins; else a part of the message
        QString version;     // of a version error
        QStringList names;
    };
    const QString none;
    Bytes longest = {0, 0, 1, 0};
    for (int unit = 0; unit < 0x10000; ++unit)
        longest.insert(longest.end(), {'x', 0});
    const std::vector<Row> rows = {
        {"ordinary", Ok, V1 + NoNames, nullptr, none, {}},
        {"answer not examined", "HTTP/1.1 403 Forbidden\r\nX: y\r\n\r\n", V1 + NoNames, nullptr, none, {}},
        {"bare empty line", "\r\n\r\n", V1 + NoNames, nullptr, none, {}},
        {"other case",
         Ok,
         Bytes{2, 0, 0, 0, 'v', 0, '1', 0, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 'A', 0, 'n', 0, 'n', 0, 2, 0, 0, 0, 'B', 0,
               0x51, 0x01},
         "Incompatible kova version connected",
         QStringLiteral("v1"),
         {QStringLiteral("Ann"), QStringLiteral(u"B\u0151")}},
        {"trailing space", Ok, Bytes{3, 0, 0, 0, 'V', 0, '1', 0, ' ', 0} + NoNames,
         "Incompatible kova version connected", QStringLiteral("V1 "), {}},
        {"endless answer", std::string(20000, 'A'), {}, "8192", none, {}},
        {"text of 65536 units", Ok, longest + NoNames, "Incompatible kova version connected",
         QString(0x10000, QChar('x')), {}},
        {"text of 65537 units", Ok, {1, 0, 1, 0}, "65536", none, {}},
        {"65536 names", Ok, V1 + Bytes{0, 0, 1, 0, 0, 0, 0, 0}, "65535", none, {}},
        {"closed after the request", Ok, {}, "", none, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RawServer server;
        server.run([&row](RawServer& raw) { raw.admit(0, row.tunnelAnswer, row.versionAnswer, row.error != nullptr); });
        koSessionClient client;
        try {
            client.join(server.link, RawServer::joiner(), QString(), false);
            EXPECT_EQ(row.error, nullptr);
            EXPECT_EQ(client.getUserId(), 42);
            EXPECT_EQ(client.copyUser().getColor(), QColor(1, 2, 3));
            EXPECT_TRUE(client.isConnected());
            EXPECT_FALSE(client.isJoinCompleted());
        } catch (const koSessionVersionError& e) {
            EXPECT_FALSE(row.version.isEmpty());
            EXPECT_EQ(e.getVersion(), row.version);
            EXPECT_EQ(e.getUserNames(), row.names);
            EXPECT_STREQ(e.what(), row.error);
        } catch (const koNetError& e) {
            ASSERT_NE(row.error, nullptr) << e.what();
            EXPECT_TRUE(row.version.isEmpty()) << e.what();
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
        }
        client.stop();
        EXPECT_EQ(server.finish(), "");
    }
}

TEST_F(ClientWireTest, AcceptedSceneIsAwaitedUntilItArrivesTheLinkDropsOrTheUserAborts)
{
    // Declining is a whole session's case (a declined scene skips one download).
    enum Then { SceneArrives, LinkDrops, UserAborts };
    for (const Then then : {SceneArrives, LinkDrops, UserAborts}) {
        SCOPED_TRACE(then);
        koSessionClient::setSceneQuestion([] { return true; });
        RawServer server;
        std::unique_ptr<koSessionClient> client;
        std::string error;
        try {
            client = joined(server, [then](RawServer& raw) {
                raw.admit(1);
                // The wait must go on past anything but the scene.
                if (!koTest::waitFor([] { return !koNetProgress::getState().text.empty(); }))
                    throw std::runtime_error("no progress while waiting");
                const unsigned int scene = koSessionCommandFactory::the().getType("LoadScene");
                raw.main.put(recordOf(scene + 1));
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                if (then == SceneArrives)
                    raw.main.put(recordOf(scene));
                else if (then == LinkDrops)
                    raw.main.link->shutdown();
                else
                    koNetProgress::requestAbort();
            });
        } catch (const koNetError& e) {
            error = e.what();
        }
        EXPECT_EQ(server.finish(), "");
        EXPECT_EQ(error, then == UserAborts ? "Joining the session has been aborted" : "");
        EXPECT_TRUE(koNetProgress::getState().text.empty());
        ASSERT_EQ(client == nullptr, then == UserAborts);
        if (then == SceneArrives) {
            EXPECT_TRUE(client->getServerChanges()->containsLoadScene());
        }
        if (then == LinkDrops) {
            EXPECT_FALSE(client->isConnected());
        }
    }
}

TEST_F(ClientWireTest, AnEndOnEitherLinkEndsBoth)
{
    // A record with a negative state identifier length after its fixed part.
    const Bytes malformed = {1, 2, 3, 4, 3, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
    enum End { MalformedOnMain, MalformedOnSecond, ServerClosesMain, ServerClosesSecond, ClientStops, Destroyed };
    for (const End end : {MalformedOnMain, MalformedOnSecond, ServerClosesMain, ServerClosesSecond, ClientStops,
                          Destroyed}) {
        SCOPED_TRACE(end);
        RawServer server;
        auto client = joined(server, [](RawServer& raw) { raw.admit(); });
        ASSERT_EQ(server.finish(), "");
        Connection& main = server.main;
        Connection& second = server.second;
        if (end == MalformedOnMain || end == MalformedOnSecond)
            (end == MalformedOnMain ? main : second).put(malformed);
        if (end == ServerClosesMain || end == ServerClosesSecond)
            (end == ServerClosesMain ? main : second).link->shutdown();
        if (end == ClientStops)
            client->stop();
        if (end == Destroyed)
            client.reset();
        if (client) {
            EXPECT_TRUE(koTest::waitFor([&] { return !client->isConnected(); }));
            EXPECT_TRUE(client->getServerChanges()->empty());
        }
        if (end != ServerClosesMain) {
            EXPECT_TRUE(main.ends());
        }
        if (end != ServerClosesSecond) {
            EXPECT_TRUE(second.ends());
        }
    }
}

TEST_F(ClientWireTest, BlockCountsNestAndTypeZeroBlocksAll)
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

TEST_F(ClientWireTest, UploadWritesTheSceneFieldsInJoinMode)
{
    RawServer server;
    std::string line;
    Bytes sent;
    bool closed = false;
    server.run([&](RawServer& raw) {
        raw.admit();
        Connection upload = raw.accept();
        line = upload.line;
        sent = upload.get(4 + 4 + 11 + 8 + 1024 * 1024 + 1);
        closed = upload.ends();
    });
    koSessionClient client;
    client.join(server.link, RawServer::joiner(), QString(), true);
    std::vector<char> scene = koTest::randomBytes(1024 * 1024 + 1, 5);
    client.uploadScene(scene, QStringLiteral(u"\u00dcn\u00ef.kova"));
    EXPECT_EQ(server.finish(), "");
    EXPECT_NE(line.find(".join.KOVASessionServer"), std::string::npos) << line;
    const Bytes header = {2, 0, 0, 0, 11, 0, 0, 0, 0xc3, 0x9c, 'n', 0xc3, 0xaf, '.', 'k', 'o', 'v', 'a', 0,
                          1, 0, 0x10, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + header.size()), header);
    EXPECT_TRUE(std::equal(sent.begin() + header.size(), sent.end(), scene.begin(), scene.end(),
                           [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); }));
    EXPECT_TRUE(closed);
}

TEST_F(ClientWireTest, DownloadReadsTheAnswerWithinItsLimits)
{
    struct Row
    {
        const char* what;
        Bytes answer; // then the server waits for the client to close
        bool ok;
        QString name;
        std::string data;
        const char* error;
    };
    const std::vector<Row> rows = {
        {"count 0", {0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'}, true, QString(), "abc", ""},
        {"zero inside", {6, 0, 0, 0, 'a', 'b', 0, 'c', 'd', 0, 2, 0, 0, 0, 0, 0, 0, 0, 'x', 'y'}, true,
         QStringLiteral("ab"), "xy", ""},
        {"UTF-8", {4, 0, 0, 0, 0xc3, 0xa9, 'k', 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, QStringLiteral(u"\u00e9k"), "", ""},
        {"size above 16 GiB", {1, 0, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0}, false, QString(), "", "17179869185"},
        {"name above 65536", {1, 0, 1, 0}, false, QString(), "", "65537"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RawServer server;
        auto client = joined(server, [&row](RawServer& raw) {
            raw.admit();
            Connection download = raw.accept();
            RawServer::expect(download.get(4) == Bytes{1, 0, 0, 0}, "download request");
            download.put(row.answer);
            RawServer::expect(download.ends(), "client to close");
        });
        std::vector<char> data;
        QString name;
        try {
            EXPECT_TRUE(client->downloadScene(data, name));
            EXPECT_TRUE(row.ok);
            EXPECT_EQ(name, row.name);
            EXPECT_EQ(std::string(data.begin(), data.end()), row.data);
        } catch (const koNetError& e) {
            EXPECT_FALSE(row.ok);
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
        }
        EXPECT_TRUE(koNetProgress::getState().text.empty());
        client.reset();
        EXPECT_EQ(server.finish(), "");
    }
}

TEST_F(ClientWireTest, NewRosterSignalsAdditionsFirstThenChangesAndRemovalsByIdentifier)
{
    RawServer server;
    auto client = joined(server, [](RawServer& raw) { raw.admit(); }); // own identifier 42
    ASSERT_EQ(server.finish(), "");
    koTest::RosterSignals signalled;
    // Records as the server sends them, spectator counts included.
    const auto record = [](unsigned short id, const char* name, unsigned short spectating = 0, int count = 0) {
        koSessionUser user;
        user.setSpectatorCount(count);
        user.setId(id);
        user.setName(QString::fromLatin1(name));
        user.setIsSpectator(spectating != 0);
        user.setSpectatedUserId(spectating);
        return user;
    };
    struct Step
    {
        std::vector<koSessionUser> roster;
        QStringList events;
        std::vector<int> counts; // spectator counts afterwards, in roster order
        bool completed;
    };
    const std::vector<Step> steps = {
        {{record(3, "c")}, {"added 3 c"}, {0}, false},
        {{record(42, "me"), record(3, "c")}, {"added 42 me"}, {0, 0}, true},
        {{record(3, "c"), record(42, "me")}, {}, {0, 0}, true},
        {{record(42, "me", 0, 1), record(3, "c", 42)}, {"changed 3 c", "changed 42 me"}, {1, 0}, true},
        {{record(5, "e", 99), record(42, "me", 0, 1), record(3, "c", 42)}, {"added 5 e"}, {0, 1, 0}, true},
        {{record(1, "a"), record(42, "me")}, {"added 1 a", "removed 3", "removed 5", "changed 42 me"}, {0, 0}, true},
        {{}, {"removed 1", "removed 42"}, {}, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.events.join(", ").toStdString());
        client->setUsers(step.roster);
        EXPECT_EQ(signalled.take(), step.events);
        std::vector<int> counts;
        for (const koSessionUser& user : client->getUsers())
            counts.push_back(user.getSpectatorCount());
        EXPECT_EQ(counts, step.counts);
        EXPECT_EQ(client->isJoinCompleted(), step.completed);
    }
    client->setUsers({record(2, "b", 42), record(42, "me"), record(4, "d", 42)});
    EXPECT_EQ(client->getUser().getSpectatorCount(), 2);
    const std::vector<koSessionUser> others = client->getOtherUsers();
    ASSERT_EQ(others.size(), 2u);
    EXPECT_EQ(others[0].getId(), 2);
    EXPECT_EQ(others[1].getId(), 4);
}
