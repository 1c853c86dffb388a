// koSessionClient against a fake server that speaks the wire over loopback:
// the tunnel line, the handshake, the scene question, the command pump with
// its push rules, the roster signals, shutdown, bad input, and the server
// role over a socket pair.

#include "koFakeSessionServer.h"
#include "koTestApplication.h"
#include "koTestRosterSignals.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"
#include "koSessionClient.h"
#include "koSessionCommand.h"
#include "koSessionCommandFactory.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionVersionError.h"
#include "koSessionWire.h"

#include "koCrypt.h"
#include "koNetError.h"
#include "koNetLinkReceiver.h"
#include "koNetLinkSender.h"
#include "koNetProgress.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCryptographicHash>
#include <QDataStream>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using koTest::FakeAdmission;
using koTest::FakeSessionServer;

namespace {

// --- Test commands ----------------------------------------------------------

// What test commands did when executed: value and thread, in order.
struct Executions
{
    // Guards `entries`; taken by commands on any thread and by the test.
    std::mutex mutex;
    std::vector<std::pair<int, std::thread::id>> entries;

    void add(int value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.emplace_back(value, std::this_thread::get_id());
    }
    std::vector<std::pair<int, std::thread::id>> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(entries, {});
    }
    std::size_t size()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.size();
    }
};
Executions executions;

// A command with a number as payload that records its executions. N makes
// distinct command types for the block tests.
template <int N>
class ValueCommand : public koSessionCommand
{
public:
    explicit ValueCommand(int value = 0) : koSessionCommand(false, false, false), value(value) {}
    void execute(koSessionClient*) const override { executions.add(value); }
    void putData(QDataStream& stream) const override { stream << qint32(value); }
    void getData(QDataStream& stream) override
    {
        qint32 read = 0;
        stream >> read;
        value = read;
    }
    int value;
};
using CommandA = ValueCommand<1>;
using CommandB = ValueCommand<2>;

// Runs `onTrigger` when executed, so a test can act while the client executes.
std::function<void(koSessionClient*)> onTrigger;
class TriggerCommand : public koSessionCommand
{
public:
    void execute(koSessionClient* client) const override { onTrigger(client); }
};

// Stands for the host application's scene-loading command.
class LoadSceneCommand : public koSessionCommand
{
};

const koSessionCommandFactory::Register<CommandA> registerA("ClientTestA");
const koSessionCommandFactory::Register<CommandB> registerB("ClientTestB");
const koSessionCommandFactory::Register<TriggerCommand> registerTrigger("ClientTestTrigger");
const koSessionCommandFactory::Register<LoadSceneCommand> registerLoadScene("LoadScene");

int valueOf(const koSessionChange& change)
{
    CommandA command;
    return change.tryGetCommand(command) ? command.value : -1000;
}

void sendChange(koNetStream& stream, const koSessionCommand& command, unsigned short changedBy)
{
    koSessionChange(command, changedBy).putValue(stream);
    stream.flush();
}

// --- Environment ------------------------------------------------------------

// A widget application for the scene question's message box.
[[maybe_unused]] ::testing::Environment* const applicationEnvironment =
    ::testing::AddGlobalTestEnvironment(new koTest::ApplicationEnvironment);

// Installs a scene answerer for one test and restores the previous one.
class SceneAnswer
{
public:
    explicit SceneAnswer(koSessionClient::SceneQuestion question)
        : previous(koSessionClient::setSceneQuestion(std::move(question)))
    {
    }
    ~SceneAnswer() { koSessionClient::setSceneQuestion(previous); }

private:
    koSessionClient::SceneQuestion previous;
};

// A fake server and a client joined to it.
struct Session
{
    FakeSessionServer server;
    std::unique_ptr<koSessionClient> client{new koSessionClient};

    void join(const FakeAdmission& admission = FakeAdmission(), const koSessionUser& user = koSessionUser())
    {
        server.run([admission](FakeSessionServer& fake) { fake.admit(admission); });
        client->join(server.getLink(), user, QString(), false);
        ASSERT_EQ(server.finish(), "");
    }
};

QString sessionIdOf(const QString& link, const QString& password)
{
    QString address;
    QString sessionId;
    EXPECT_TRUE(koSession::tryDecryptSessionLink(password, link, address, sessionId));
    return sessionId;
}

// The session hash as the wire has it: SHA-256, scrambled by the fixed tunnel key.
QString expectedHash(const QString& sessionId)
{
    QByteArray digest = QCryptographicHash::hash(sessionId.toUtf8(), QCryptographicHash::Sha256);
    koCrypt crypt({'K', 'o', 'V', 'A', 'T', 'u', 'n', 'n', 'l'});
    for (char& byte : digest)
        byte = static_cast<char>(crypt.code(static_cast<unsigned char>(byte)));
    return QString::fromLatin1(digest.toHex());
}

std::string expectedTunnelLine(const QString& sessionId, const char* mode)
{
    return QStringLiteral("CONNECT session_%1.version_%2.%3.KOVASessionServer HTTP/1.1\r\n\r\n")
        .arg(expectedHash(sessionId), QString::fromStdString(koVersionInfo::the().getVersionString()),
             QString::fromLatin1(mode))
        .toStdString();
}

// True when reading from `stream` fails within the fake server's time limit
// because the other end closed or shut the link (not because it timed out).
bool linkEnds(koNetStream& stream)
{
    const auto start = std::chrono::steady_clock::now();
    try {
        for (;;)
            stream.getValue<std::uint8_t>();
    } catch (const koNetError&) {
        return std::chrono::steady_clock::now() - start < std::chrono::seconds(5);
    }
}

// --- Tunnel -----------------------------------------------------------------

TEST(ClientTunnel, RequestLineCarriesScrambledHashVersionAndMode)
{
    struct Row
    {
        QString password;
        bool force;
        const char* mode;
    };
    const std::vector<Row> rows = {{QString(), false, "join"},
                                   {QString(), true, "force"},
                                   {QStringLiteral("secret"), true, "force"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        FakeSessionServer server(row.password);
        std::string header;
        server.run([&header](FakeSessionServer& fake) { header = fake.acceptTunnel().header; });
        koSessionClient client;
        EXPECT_THROW(client.join(server.getLink(), koSessionUser(), row.password, row.force), koNetError);
        ASSERT_EQ(server.finish(), "");

        const QString sessionId = sessionIdOf(server.getLink(), row.password);
        EXPECT_EQ(header, expectedTunnelLine(sessionId, row.mode));
        const QRegularExpression shape(QStringLiteral("^CONNECT session_[0-9a-f]{64}\\.version_"));
        EXPECT_TRUE(shape.match(QString::fromStdString(header)).hasMatch()) << header;
        // Scrambled: the plain digest must not appear.
        const QByteArray plain = QCryptographicHash::hash(sessionId.toUtf8(), QCryptographicHash::Sha256).toHex();
        EXPECT_EQ(header.find(plain.toStdString()), std::string::npos);
    }
}

TEST(ClientTunnel, AnswerContentIsNotExamined)
{
    const std::vector<std::string> answers = {"HTTP/1.1 200 OK\r\n\r\n",
                                              "HTTP/1.1 403 Forbidden\r\nX-Reason: none\r\n\r\n",
                                              "\r\n\r\n"};
    for (const std::string& answer : answers) {
        SCOPED_TRACE(answer);
        Session session;
        FakeAdmission admission;
        admission.tunnelAnswer = answer;
        session.join(admission);
        EXPECT_TRUE(session.client->isConnected());
        EXPECT_EQ(session.client->getUserId(), 7);
    }
}

TEST(ClientTunnel, EndlessOrUnfinishedAnswerFailsTheJoin)
{
    struct Row
    {
        std::string answer;
        const char* inMessage;
    };
    const std::vector<Row> rows = {{std::string(20000, 'A'), "8192"}, {"HTTP/1.1 200 OK\r\n\r", ""}};
    for (const Row& row : rows) {
        FakeSessionServer server;
        server.run([&row](FakeSessionServer& fake) {
            koTest::FakeConnection connection = fake.acceptTunnel();
            connection.link->send(row.answer.data(), row.answer.size());
            // Close only when the client gave up: a bounded reader stops by itself.
            if (!row.answer.empty() && row.answer.back() == 'A') {
                char byte = 0;
                try {
                    connection.link->recv(&byte, 1);
                } catch (const koNetError&) {
                }
            }
        });
        koSessionClient client;
        try {
            client.join(server.getLink(), koSessionUser(), QString(), false);
            ADD_FAILURE() << "join accepted an unfinished tunnel answer";
        } catch (const koNetError& e) {
            EXPECT_NE(std::string(e.what()).find(row.inMessage), std::string::npos) << e.what();
        }
        EXPECT_EQ(server.finish(), "");
    }
}

TEST(ClientTunnel, StopForAllConnectsWithJoinAndSendsTheStopRequest)
{
    Session session;
    session.server.run([](FakeSessionServer& fake) {
        FakeAdmission admission;
        fake.admit(admission);
    });
    session.client->join(session.server.getLink(), koSessionUser(), QString(), true);
    ASSERT_EQ(session.server.finish(), "");
    EXPECT_NE(session.server.main.header.find(".force.KOVASessionServer"), std::string::npos);

    std::string header;
    std::uint32_t request = 99;
    session.server.run([&](FakeSessionServer& fake) {
        koTest::FakeConnection connection = fake.acceptTunnel();
        header = connection.header;
        fake.answerTunnel(connection, "HTTP/1.1 200 OK\r\n\r\n");
        request = connection.stream->getValue<std::uint32_t>();
        if (!linkEnds(*connection.stream))
            throw std::runtime_error("stop connection stayed open");
    });
    session.client->stopForAll();
    ASSERT_EQ(session.server.finish(), "");
    EXPECT_EQ(header, expectedTunnelLine(sessionIdOf(session.server.getLink(), QString()), "join"));
    EXPECT_EQ(request, 3u);
    // The client's own links are untouched.
    EXPECT_TRUE(session.client->isConnected());
}

// --- Handshake --------------------------------------------------------------

TEST(ClientHandshake, InvalidLinkOrPasswordConnectsNothing)
{
    FakeSessionServer server(QStringLiteral("secret"));
    FakeSessionServer open;
    struct Row
    {
        QString link;
        QString password;
    };
    const std::vector<Row> rows = {{server.getLink(), QStringLiteral("wrong")},
                                   {server.getLink(), QString()},
                                   {open.getLink(), QStringLiteral("secret")},
                                   {QStringLiteral("no link at all"), QStringLiteral("secret")}};
    for (const Row& row : rows) {
        koSessionClient client;
        try {
            client.join(row.link, koSessionUser(), row.password, false);
            ADD_FAILURE() << "joined with " << row.link.toStdString();
        } catch (const koNetError& e) {
            EXPECT_STREQ(e.what(), "Invalid session link or password");
        }
        EXPECT_NO_THROW(client.stopForAll());
    }
}

TEST(ClientHandshake, VersionTextsAreComparedExactly)
{
    const koTest::VersionOverride version("1.2.3", "1.2 Beta (2026)");
    struct Row
    {
        QString serverVersion;
        QStringList names;
        bool compatible;
    };
    const std::vector<Row> rows = {
        {QStringLiteral("1.2 Beta (2026)"), {}, true},
        {QStringLiteral("1.2 beta (2026)"), {QStringLiteral("Ann"), QString::fromUtf8("B\xc5\x91")}, false},
        {QStringLiteral("1.2 Beta (2026) "), {}, false},
        {QStringLiteral("9.9 (1999)"), {QStringLiteral("Solo")}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.serverVersion.toStdString());
        Session session;
        FakeAdmission admission;
        admission.version = row.serverVersion;
        admission.names = row.names;
        session.server.run([admission](FakeSessionServer& fake) { fake.admit(admission); });
        try {
            session.client->join(session.server.getLink(), koSessionUser(), QString(), false);
            EXPECT_TRUE(row.compatible);
        } catch (const koSessionVersionError& e) {
            EXPECT_FALSE(row.compatible);
            EXPECT_STREQ(e.what(), "Incompatible kova version connected");
            EXPECT_EQ(e.getVersion(), row.serverVersion);
            EXPECT_EQ(e.getUserNames(), row.names);
            const koNetError& asNetError = e;
            EXPECT_STREQ(asNetError.what(), "Incompatible kova version connected");
        }
        EXPECT_EQ(session.server.finish(), "");
        EXPECT_EQ(session.server.receivedVersion, QStringLiteral("1.2 Beta (2026)"));
    }
}

TEST(ClientHandshake, RecordIsSentAndTakenBackAsTheServerSettledIt)
{
    Session session;
    koSessionUser user;
    user.setName(QString::fromUtf8("Zo\xc3\xab"));
    user.setId(1234);
    user.setColor(QColor(Qt::transparent));
    FakeAdmission admission;
    admission.userId = 42;
    admission.color = QColor(1, 2, 3);
    session.join(admission, user);

    EXPECT_EQ(session.server.receivedUser.getName(), user.getName());
    EXPECT_EQ(session.server.receivedUser.getId(), 1234);
    EXPECT_EQ(session.server.receivedUser.getColor(), QColor(Qt::transparent));
    EXPECT_EQ(session.client->getUserId(), 42);
    EXPECT_EQ(session.client->copyUser().getColor(), QColor(1, 2, 3));
    EXPECT_EQ(session.client->getUser().getName(), user.getName());
    EXPECT_TRUE(session.client->isConnected());
    EXPECT_FALSE(session.client->isJoinCompleted());
    EXPECT_TRUE(session.client->getOtherUsers().empty());
}

TEST(ClientHandshake, ConnectionDroppedDuringTheHandshakeFailsTheJoin)
{
    // The server vanishes at each step of the join in turn.
    for (int step = 0; step < 4; ++step) {
        SCOPED_TRACE(step);
        FakeSessionServer server;
        server.run([step](FakeSessionServer& fake) {
            koTest::FakeConnection main = fake.acceptTunnel();
            if (step == 0)
                return;
            fake.answerTunnel(main, "HTTP/1.1 200 OK\r\n\r\n");
            main.stream->getValue<std::uint32_t>();
            if (step == 1)
                return;
            koSessionWire::getText(*main.stream);
            koSessionWire::putText(*main.stream,
                                   QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString()));
            koSessionWire::putNames(*main.stream, QStringList());
            main.stream->flush();
            if (step == 2)
                return;
            koSessionUser user;
            user.getValue(*main.stream);
            user.putValue(*main.stream);
            main.stream->putValue(std::uint8_t(0));
            main.stream->flush(); // no success marker
        });
        koSessionClient client;
        EXPECT_THROW(client.join(server.getLink(), koSessionUser(), QString(), false), koNetError);
        EXPECT_EQ(server.finish(), "");
    }
}

// --- Scene question ---------------------------------------------------------

TEST(ClientScene, OnlyAHeldSceneAsksAndADeclinedOneIsNotWaitedFor)
{
    for (std::uint8_t sceneFlag : {0, 1}) {
        int asked = 0;
        SceneAnswer answer([&asked] { return ++asked, false; });
        Session session;
        FakeAdmission admission;
        admission.sceneFlag = sceneFlag;
        session.join(admission);
        EXPECT_EQ(asked, sceneFlag);
        EXPECT_TRUE(session.client->isConnected());
        EXPECT_TRUE(koNetProgress::getState().text.empty());
    }
}

TEST(ClientScene, AcceptedSceneWaitsForTheSceneLoadingChange)
{
    SceneAnswer answer([] { return true; });
    std::vector<std::string> progressTexts;
    std::mutex progressMutex;
    const auto previousObserver = koNetProgress::setObserver([&](const koNetProgress::State& state) {
        std::lock_guard<std::mutex> lock(progressMutex);
        if (progressTexts.empty() || progressTexts.back() != state.text)
            progressTexts.push_back(state.text);
    });

    Session session;
    std::atomic<bool> sceneSent{false};
    FakeAdmission admission;
    admission.sceneFlag = 1;
    session.server.run([&](FakeSessionServer& fake) {
        fake.admit(admission);
        // Something else first: the wait must go on past ordinary changes.
        sendChange(*fake.main.stream, CommandA(5), 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sceneSent = true;
        sendChange(*fake.main.stream, LoadSceneCommand(), 3);
    });
    session.client->join(session.server.getLink(), koSessionUser(), QString(), false);
    EXPECT_TRUE(sceneSent);
    ASSERT_EQ(session.server.finish(), "");
    EXPECT_TRUE(session.client->getServerChanges()->containsLoadScene());
    koNetProgress::setObserver(previousObserver);
    std::lock_guard<std::mutex> lock(progressMutex);
    EXPECT_EQ(progressTexts, (std::vector<std::string>{"Downloading scene ...", ""}));
}

TEST(ClientScene, WaitEndsWithoutErrorWhenTheConnectionDrops)
{
    SceneAnswer answer([] { return true; });
    Session session;
    FakeAdmission admission;
    admission.sceneFlag = 1;
    session.server.run([&](FakeSessionServer& fake) {
        fake.admit(admission);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        fake.main.link->shutdown();
    });
    EXPECT_NO_THROW(session.client->join(session.server.getLink(), koSessionUser(), QString(), false));
    ASSERT_EQ(session.server.finish(), "");
    EXPECT_FALSE(session.client->isConnected());
}

TEST(ClientScene, AbortDuringTheWaitFailsTheJoin)
{
    SceneAnswer answer([] { return true; });
    Session session;
    FakeAdmission admission;
    admission.sceneFlag = 1;
    session.server.run([&](FakeSessionServer& fake) {
        fake.admit(admission);
        if (!koTest::waitFor([] { return !koNetProgress::getState().text.empty(); }))
            throw std::runtime_error("the join never began its progress");
        koNetProgress::requestAbort();
    });
    try {
        session.client->join(session.server.getLink(), koSessionUser(), QString(), false);
        ADD_FAILURE() << "the aborted join returned";
    } catch (const koNetError& e) {
        EXPECT_STREQ(e.what(), "Joining the session has been aborted");
    }
    ASSERT_EQ(session.server.finish(), "");
    EXPECT_TRUE(koNetProgress::getState().text.empty());
    koNetProgress::start("", 0.0);
}

TEST(ClientScene, DefaultQuestionIsAModalWarning)
{
    SceneAnswer answer({}); // the message box
    struct Row
    {
        QMessageBox::StandardButton press;
        bool sceneFollows;
    };
    for (const Row row : {Row{QMessageBox::Cancel, false}, Row{QMessageBox::Ok, true}}) {
        Session session;
        QString title;
        QString text;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QTimer presser;
        QObject::connect(&presser, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            title = box->windowTitle();
            text = box->text();
            defaultButton = box->standardButton(static_cast<QAbstractButton*>(box->defaultButton()));
            presser.stop();
            box->button(row.press)->click();
        });
        presser.start(20);
        FakeAdmission admission;
        admission.sceneFlag = 1;
        session.server.run([&](FakeSessionServer& fake) {
            fake.admit(admission);
            if (row.sceneFollows)
                sendChange(*fake.main.stream, LoadSceneCommand(), 3);
        });
        session.client->join(session.server.getLink(), koSessionUser(), QString(), false);
        presser.stop();
        ASSERT_EQ(session.server.finish(), "");
        EXPECT_EQ(title, QStringLiteral("Download KOVA Scene"));
        EXPECT_TRUE(text.startsWith(QStringLiteral("Another participant provided a KOVA scene")));
        EXPECT_TRUE(text.endsWith(QStringLiteral("This action cannot be undone. Do you want to continue?")));
        EXPECT_EQ(defaultButton, QMessageBox::Ok);
        EXPECT_EQ(session.client->getServerChanges()->containsLoadScene(), row.sceneFollows);
    }
}

// --- Command pump -----------------------------------------------------------

TEST(ClientPump, BlockCountsNestAndTypeZeroBlocksAll)
{
    koSessionClient client;
    const CommandA a;
    const CommandB b;
    const unsigned int typeA = a.getType();
    EXPECT_FALSE(client.isBlocking(a));
    client.block(typeA);
    client.block(typeA);
    client.unblock(typeA);
    EXPECT_TRUE(client.isBlocking(a));
    EXPECT_FALSE(client.isBlocking(b));
    EXPECT_FALSE(client.isBlocking());
    client.unblock(typeA);
    EXPECT_FALSE(client.isBlocking(a));
    client.unblock(typeA); // no entry: nothing, and no negative count left behind
    client.block(typeA);
    EXPECT_TRUE(client.isBlocking(a));
    client.unblock(typeA);

    client.block(0);
    EXPECT_TRUE(client.isBlocking());
    EXPECT_TRUE(client.isBlocking(a));
    EXPECT_TRUE(client.isBlocking(b));
    client.unblock(0);
    EXPECT_FALSE(client.isBlocking());
    EXPECT_FALSE(client.isBlocking(b));
}

// Pushes one probe per row under the row's condition, then an unblocked
// marker, and reads the main link up to the marker: what arrived before it is
// what the row sent.
TEST(ClientPump, PushSendsKeepsLocalOrDropsByTheRules)
{
    Session session;
    session.join();
    koSessionClient& client = *session.client;
    koNetStream& mainStream = *session.server.main.stream;
    const unsigned int typeA = CommandA().getType();
    const unsigned int typeB = CommandB().getType();

    enum Condition { Plain, BlockAll, BlockA, BlockB, Executing };
    struct Row
    {
        Condition condition;
        unsigned short destination;
        bool echoing;
        bool sent;
        bool executedHere;
    };
    const std::vector<Row> rows = {
        {Plain, 0, false, true, false},      {Plain, 0, true, true, false},
        {BlockAll, 0, true, false, true},    {BlockAll, 0, false, false, false},
        {BlockAll, 9, false, true, false},   {BlockA, 0, false, false, false},
        {BlockA, 0, true, false, true},      {BlockB, 0, false, true, false},
        {Executing, 0, true, false, true},   {Executing, 0, false, false, false},
        {Executing, 5, true, true, false},
    };
    int value = 100;
    for (const Row& row : rows) {
        SCOPED_TRACE(value);
        CommandA probe(value);
        probe.setDestinationUserId(row.destination);
        probe.setEchoing(row.echoing);
        executions.take();
        if (row.condition == Executing) {
            bool wasExecuting = false;
            onTrigger = [&](koSessionClient* target) {
                wasExecuting = target->isExecuting();
                target->push(probe);
            };
            sendChange(mainStream, TriggerCommand(), 3);
            ASSERT_TRUE(koTest::waitFor([&] { return !client.getServerChanges()->empty(); }));
            client.executeCommands();
            EXPECT_TRUE(wasExecuting);
            EXPECT_FALSE(client.isExecuting());
        } else {
            const unsigned int blocked = row.condition == BlockAll ? 0 : row.condition == BlockA ? typeA : typeB;
            if (row.condition != Plain)
                client.block(blocked);
            client.push(probe);
            if (row.condition != Plain)
                client.unblock(blocked);
        }
        const auto here = executions.take();
        EXPECT_EQ(here.size(), row.executedHere ? 1u : 0u);
        if (!here.empty()) {
            EXPECT_EQ(here.front().first, value);
            EXPECT_EQ(here.front().second, std::this_thread::get_id());
        }

        client.push(CommandA(-1));
        std::vector<std::shared_ptr<koSessionChange>> arrived;
        for (;;) {
            arrived.push_back(FakeSessionServer::readChanges(mainStream, 1).front());
            if (valueOf(*arrived.back()) == -1)
                break;
        }
        arrived.pop_back();
        ASSERT_EQ(arrived.size(), row.sent ? 1u : 0u);
        if (row.sent) {
            EXPECT_EQ(valueOf(*arrived.front()), value);
            EXPECT_EQ(arrived.front()->getChangedBy(), 7);
            EXPECT_EQ(arrived.front()->getDestinationUserId(), row.destination);
            EXPECT_EQ(arrived.front()->isEchoing(), row.echoing);
        }
        ++value;
    }
    onTrigger = nullptr;
}

TEST(ClientPump, PushAsyncIgnoresBlocksAndExecution)
{
    Session session;
    session.join();
    koSessionClient& client = *session.client;
    client.block(0);
    client.pushAsync(CommandA(1));
    client.unblock(0);
    onTrigger = [](koSessionClient* target) { target->pushAsync(CommandA(2)); };
    sendChange(*session.server.main.stream, TriggerCommand(), 3);
    ASSERT_TRUE(koTest::waitFor([&] { return !client.getServerChanges()->empty(); }));
    client.executeCommands();
    onTrigger = nullptr;

    const auto arrived = FakeSessionServer::readChanges(*session.server.second.stream, 2);
    EXPECT_EQ(valueOf(*arrived[0]), 1);
    EXPECT_EQ(valueOf(*arrived[1]), 2);
    EXPECT_EQ(arrived[0]->getChangedBy(), 7);
}

TEST(ClientPump, RecordsFlowBothWaysOnBothLinks)
{
    Session session;
    session.join();
    koSessionClient& client = *session.client;
    executions.take();

    // Main link, server to client: held until the main thread executes them.
    for (int value : {11, 12, 13})
        sendChange(*session.server.main.stream, CommandA(value), 3);
    ASSERT_TRUE(koTest::waitFor([&] { return client.getServerChanges()->size() == 3; }));
    EXPECT_EQ(executions.size(), 0u);
    client.executeCommands();
    auto done = executions.take();
    ASSERT_EQ(done.size(), 3u);
    for (std::size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].first, 11 + int(i));
        EXPECT_EQ(done[i].second, std::this_thread::get_id());
    }

    // Second link, server to client: executed at once on the receiving thread.
    for (int value : {21, 22})
        sendChange(*session.server.second.stream, CommandA(value), 3);
    ASSERT_TRUE(koTest::waitFor([] { return executions.size() == 2; }));
    done = executions.take();
    EXPECT_EQ(done[0].first, 21);
    EXPECT_EQ(done[1].first, 22);
    EXPECT_NE(done[0].second, std::this_thread::get_id());
    EXPECT_TRUE(client.getServerChanges()->empty());

    // Client to server on both links, in order; a joining client filters nothing.
    CommandA addressed(33);
    addressed.setDestinationUserId(7);
    for (const CommandA& command : {CommandA(31), CommandA(32), addressed})
        client.push(command);
    client.pushAsync(CommandA(41));
    client.pushAsync(CommandA(42));
    const auto mainArrived = FakeSessionServer::readChanges(*session.server.main.stream, 3);
    const auto secondArrived = FakeSessionServer::readChanges(*session.server.second.stream, 2);
    EXPECT_EQ(valueOf(*mainArrived[0]), 31);
    EXPECT_EQ(valueOf(*mainArrived[1]), 32);
    EXPECT_EQ(valueOf(*mainArrived[2]), 33);
    EXPECT_EQ(valueOf(*secondArrived[0]), 41);
    EXPECT_EQ(valueOf(*secondArrived[1]), 42);
    EXPECT_TRUE(client.isConnected());
}

TEST(ClientPump, MalformedRecordEndsTheConnectionWithoutHarm)
{
    // Fixed part of a record (16 bytes) with a bad state identifier length,
    // or a huge payload length followed by the end of the connection.
    struct Row
    {
        const char* name;
        std::int32_t stateIdLength;
        std::uint64_t payloadLength;
        bool onSecondLink;
    };
    const std::vector<Row> rows = {{"negative state id", -1, 0, false},
                                   {"huge state id", 0x7fffffff, 0, false},
                                   {"huge payload, then gone", 0, std::uint64_t(1) << 40, false},
                                   {"negative state id on the second link", -5, 0, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Session session;
        session.join();
        koNetStream& out = row.onSecondLink ? *session.server.second.stream : *session.server.main.stream;
        out.putValue(CommandA().getType());
        out.putValue(std::uint16_t(3));
        for (int flag = 0; flag < 4; ++flag)
            out.putValue(std::uint8_t(0));
        out.putValue(std::uint16_t(0));
        out.putValue(row.stateIdLength);
        if (row.stateIdLength == 0) {
            out.putValueSize(row.payloadLength);
            out.putValue(std::uint64_t(0));
        }
        out.flush();
        if (row.payloadLength != 0)
            session.server.main.link->shutdown();

        EXPECT_TRUE(koTest::waitFor([&] { return !session.client->isConnected(); }));
        // Both links are closed by the client, so the server side learns of it.
        EXPECT_TRUE(linkEnds(*session.server.second.stream));
        if (row.payloadLength == 0) {
            EXPECT_TRUE(linkEnds(*session.server.main.stream));
        }
        EXPECT_TRUE(session.client->getServerChanges()->empty());
    }
}

TEST(ClientPump, ExecutingFlagIsResetWhenAChangeThrows)
{
    Session session;
    session.join();
    onTrigger = [](koSessionClient*) { throw std::runtime_error("command failed"); };
    sendChange(*session.server.main.stream, TriggerCommand(), 3);
    ASSERT_TRUE(koTest::waitFor([&] { return !session.client->getServerChanges()->empty(); }));
    EXPECT_THROW(session.client->executeCommands(), std::runtime_error);
    EXPECT_FALSE(session.client->isExecuting());

    // On the second link the receiving thread swallows it and goes on.
    executions.take();
    sendChange(*session.server.second.stream, TriggerCommand(), 3);
    sendChange(*session.server.second.stream, CommandA(8), 3);
    EXPECT_TRUE(koTest::waitFor([] { return executions.size() == 1; }));
    EXPECT_TRUE(session.client->isConnected());
    onTrigger = nullptr;
}

// --- Lifecycle --------------------------------------------------------------

TEST(ClientLifecycle, StopBeforeAnyThreadOnlySetsTheFlag)
{
    koSessionClient client;
    EXPECT_TRUE(client.isConnected());
    client.stop();
    EXPECT_FALSE(client.isConnected());
    client.wait();
}

TEST(ClientLifecycle, StopOrDestructorShutsBothLinksAndJoinsEveryThread)
{
    for (bool destroy : {false, true}) {
        Session session;
        session.join();
        session.client->push(CommandA(1));
        if (destroy) {
            session.client.reset();
        } else {
            session.client->stop();
            EXPECT_FALSE(session.client->isConnected());
        }
        EXPECT_TRUE(linkEnds(*session.server.main.stream));
        EXPECT_TRUE(linkEnds(*session.server.second.stream));
        if (!destroy) {
            session.client->wait();
            EXPECT_FALSE(session.client->isConnected());
        }
    }
}

TEST(ClientLifecycle, ServerClosingALinkStopsTheClient)
{
    for (bool mainLink : {true, false}) {
        Session session;
        session.join();
        (mainLink ? session.server.main : session.server.second).link->shutdown();
        EXPECT_TRUE(koTest::waitFor([&] { return !session.client->isConnected(); }));
        EXPECT_TRUE(linkEnds(*(mainLink ? session.server.second : session.server.main).stream));
    }
}

// --- Roster -----------------------------------------------------------------

koSessionUser record(unsigned short id, const char* name, unsigned short spectating = 0, int count = 0)
{
    koSessionUser user;
    user.setId(id);
    user.setName(QString::fromLatin1(name));
    user.setIsSpectator(spectating != 0);
    user.setSpectatedUserId(spectating);
    user.setSpectatorCount(count);
    return user;
}

TEST(ClientRoster, SetUsersSignalsAdditionsFirstThenChangesAndRemovalsByIdentifier)
{
    Session session;
    session.join(); // own identifier 7
    koSessionClient& client = *session.client;
    koTest::RosterSignals rosterEvents;
    EXPECT_TRUE(client.getOtherUsers().empty());

    struct Step
    {
        const char* what;
        std::vector<koSessionUser> roster;
        QStringList events;
        std::vector<int> counts; // spectator counts in getUsers() afterwards
    };
    const std::vector<Step> steps = {
        {"first roster", {record(7, "me"), record(3, "c")}, {"added 7 me", "added 3 c"}, {0, 0}},
        {"reordered only", {record(3, "c"), record(7, "me")}, {}, {0, 0}},
        {"3 starts spectating 7", {record(7, "me", 0, 1), record(3, "c", 7)}, {"changed 3 c", "changed 7 me"}, {1, 0}},
        {"5 joins", {record(7, "me", 0, 1), record(3, "c", 7), record(5, "e")}, {"added 5 e"}, {1, 0, 0}},
        {"3 leaves, 5 renamed", {record(5, "e2"), record(7, "me")}, {"removed 3", "changed 5 e2", "changed 7 me"}, {0, 0}},
        {"spectating nobody", {record(5, "e2", 99), record(7, "me")}, {"changed 5 e2"}, {0, 0}},
        {"same again", {record(5, "e2", 99), record(7, "me")}, {}, {0, 0}},
        {"additions before removals", {record(1, "a"), record(7, "me")}, {"added 1 a", "removed 5"}, {0, 0}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        client.setUsers(step.roster);
        EXPECT_EQ(rosterEvents.take(), step.events);
        ASSERT_EQ(client.getUsers().size(), step.counts.size());
        for (std::size_t i = 0; i < step.counts.size(); ++i)
            EXPECT_EQ(client.getUsers()[i].getSpectatorCount(), step.counts[i]) << i;
        EXPECT_TRUE(client.isJoinCompleted());
    }
    // The own record follows the recomputed count; other users keep roster order.
    client.setUsers({record(2, "b", 7), record(7, "me"), record(4, "d", 7)});
    EXPECT_EQ(client.getUser().getSpectatorCount(), 2);
    const auto others = client.getOtherUsers();
    ASSERT_EQ(others.size(), 2u);
    EXPECT_EQ(others[0].getId(), 2);
    EXPECT_EQ(others[1].getId(), 4);
    // Passing the roster itself changes nothing and raises nothing.
    rosterEvents.take();
    client.setUsers(client.getUsers());
    EXPECT_TRUE(rosterEvents.take().empty());
}

TEST(ClientRoster, JoinCompletesOnlyWithTheOwnIdentifier)
{
    Session session;
    session.join();
    session.client->setUsers({record(3, "c")});
    EXPECT_FALSE(session.client->isJoinCompleted());
    session.client->setUsers({record(3, "c"), record(7, "me")});
    EXPECT_TRUE(session.client->isJoinCompleted());
    session.client->setUsers({});
    EXPECT_TRUE(session.client->isJoinCompleted());
}

TEST(ClientRoster, UpdateUserInfoSendsTheRecordPastBlocks)
{
    Session session;
    session.join();
    koSessionClient& client = *session.client;
    koSessionUser info = record(99, "renamed");
    info.setColor(QColor(Qt::transparent));
    client.block(0);
    client.updateUserInfo(info);
    client.unblock(0);

    const auto arrived = FakeSessionServer::readChanges(*session.server.main.stream, 1).front();
    koSessionUserInfoCommand sent;
    ASSERT_TRUE(arrived->tryGetCommand(sent));
    EXPECT_EQ(arrived->getChangedBy(), 7);
    EXPECT_TRUE(arrived->isServerCommand());
    EXPECT_TRUE(arrived->isTransient());
    EXPECT_FALSE(arrived->isEchoing());
    EXPECT_EQ(sent.getUser().getId(), 7);
    EXPECT_EQ(sent.getUser().getName(), QStringLiteral("renamed"));
    EXPECT_EQ(sent.getUser().getColor(), koSession::the().getDefaultColor(0));
    EXPECT_EQ(client.getUser().getName(), QStringLiteral("renamed"));
    EXPECT_EQ(client.getUserId(), 7);

    // Any other colour is kept as given.
    info.setColor(QColor(10, 20, 30));
    client.updateUserInfo(info);
    const auto second = FakeSessionServer::readChanges(*session.server.main.stream, 1).front();
    ASSERT_TRUE(second->tryGetCommand(sent));
    EXPECT_EQ(sent.getUser().getColor(), QColor(10, 20, 30));
}

// --- Server role ------------------------------------------------------------

// A participant's end of a socket pair, and the peer object on the other end.
struct PeerPair
{
    std::shared_ptr<koSocketLink> participantLink;
    std::shared_ptr<koSocketLink> peerLink;
    koNetStream participant;

    PeerPair()
    {
        auto pair = koSocketLink::createPair();
        participantLink = pair.first;
        peerLink = pair.second;
        participantLink->setRecvTimeout(FakeSessionServer::RecvTimeoutSeconds);
        participant.setSender(koNetLinkSender::create(participantLink));
        participant.setReceiver(koNetLinkReceiver::create(participantLink));
    }
};

// Admits a participant on `pair` and returns the record the peer sent back.
koSessionUser admitPeer(koSessionClient& peer, PeerPair& pair, const std::shared_ptr<koSessionChangeList>& changes,
                        const koSessionUser& user, std::uint8_t* sceneFlag = nullptr)
{
    user.putValue(pair.participant);
    pair.participant.flush();
    peer.accept(nullptr, changes, pair.peerLink, 5, 2);
    koSessionUser settled;
    settled.getValue(pair.participant);
    const auto flag = pair.participant.getValue<std::uint8_t>();
    if (sceneFlag)
        *sceneFlag = flag;
    pair.participant.recvResult();
    return settled;
}

TEST(ClientServerRole, AcceptSettlesTheRecordAndAnnouncesTheScene)
{
    struct Row
    {
        QColor sent;
        QColor settled;
        bool sceneHeld;
    };
    const std::vector<Row> rows = {{QColor(Qt::transparent), koSession::the().getDefaultColor(2), false},
                                   {QColor(4, 5, 6), QColor(4, 5, 6), true}};
    for (const Row& row : rows) {
        auto changes = std::make_shared<koSessionChangeList>();
        if (row.sceneHeld)
            changes->push(LoadSceneCommand());
        PeerPair pair;
        koSessionClient peer;
        koSessionUser user = record(0, "p");
        user.setColor(row.sent);
        std::uint8_t flag = 9;
        const koSessionUser settled = admitPeer(peer, pair, changes, user, &flag);
        EXPECT_EQ(settled.getId(), 5);
        EXPECT_EQ(settled.getColor(), row.settled);
        EXPECT_EQ(flag, row.sceneHeld ? 1 : 0);
        EXPECT_EQ(peer.copyUser().getColor(), row.settled);
        EXPECT_EQ(peer.getUserId(), 5);
        EXPECT_EQ(peer.getColorIndex(), 2);
        EXPECT_TRUE(peer.isConnected());
        if (row.sceneHeld) {
            // The indexed reader hands the new participant what the list holds.
            EXPECT_TRUE(FakeSessionServer::readChanges(pair.participant, 1).front()->isLoadScene());
        }
    }
}

TEST(ClientServerRole, PeerSendsOnlyWhatItsParticipantShouldGet)
{
    auto changes = std::make_shared<koSessionChangeList>();
    PeerPair pair;
    koSessionClient peer;
    admitPeer(peer, pair, changes, record(0, "p"));

    struct Row
    {
        unsigned short changedBy;
        unsigned short destination;
        bool echoing;
        bool sent;
    };
    const std::vector<Row> rows = {{5, 0, false, false}, {5, 0, true, true},  {3, 0, false, true},
                                   {3, 9, false, false}, {3, 5, false, true}, {5, 5, false, false},
                                   {0, 0, true, true}};
    int value = 200;
    std::vector<int> expected;
    for (const Row& row : rows) {
        CommandA command(value);
        command.setDestinationUserId(row.destination);
        command.setEchoing(row.echoing);
        changes->push(std::make_shared<koSessionChange>(command, row.changedBy));
        if (row.sent)
            expected.push_back(value);
        ++value;
    }
    changes->push(std::make_shared<koSessionChange>(CommandA(-1), 3));
    std::vector<int> arrived;
    for (;;) {
        const int got = valueOf(*FakeSessionServer::readChanges(pair.participant, 1).front());
        if (got == -1)
            break;
        arrived.push_back(got);
    }
    EXPECT_EQ(arrived, expected);
}

TEST(ClientServerRole, ServerCommandsRunOnThePeerOthersGoIntoTheSharedList)
{
    auto changes = std::make_shared<koSessionChangeList>();
    PeerPair pair;
    koSessionClient peer;
    admitPeer(peer, pair, changes, record(0, "before"));
    auto watcher = changes->getReader(true);

    // The accept thread's time limit must not cut an idle participant off.
    koSessionClient quiet;
    PeerPair quietPair;
    quietPair.peerLink->setRecvTimeout(0.2);
    admitPeer(quiet, quietPair, std::make_shared<koSessionChangeList>(), record(0, "q"));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_TRUE(quiet.isConnected());

    sendChange(pair.participant, koSessionUserInfoCommand(record(77, "after")), 5);
    sendChange(pair.participant, CommandA(61), 5);
    std::shared_ptr<koSessionChange> relayed;
    ASSERT_TRUE(koTest::waitFor([&] { return watcher->tryPop(relayed); }));
    EXPECT_EQ(valueOf(*relayed), 61);
    EXPECT_EQ(relayed->getChangedBy(), 5);
    EXPECT_FALSE(watcher->tryPop(relayed)); // the info update was not relayed
    EXPECT_EQ(peer.copyUser().getName(), QStringLiteral("after"));
    EXPECT_EQ(peer.getUserId(), 5);
}

TEST(ClientServerRole, AsyncLinkIsTakenOnceAndRelaysIntoItsOwnList)
{
    auto changes = std::make_shared<koSessionChangeList>();
    auto asyncChanges = std::make_shared<koSessionChangeList>();
    PeerPair pair;
    koSessionClient peer;
    admitPeer(peer, pair, changes, record(0, "p"));

    PeerPair second;
    second.peerLink->setRecvTimeout(0.2);
    peer.acceptAsyncLink(asyncChanges, second.peerLink);
    second.participant.recvResult();
    auto watcher = asyncChanges->getReader(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    sendChange(second.participant, CommandA(71), 5);
    std::shared_ptr<koSessionChange> relayed;
    ASSERT_TRUE(koTest::waitFor([&] { return watcher->tryPop(relayed); }));
    EXPECT_EQ(valueOf(*relayed), 71);
    EXPECT_TRUE(changes->empty());

    asyncChanges->push(std::make_shared<koSessionChange>(CommandA(72), 3));
    EXPECT_EQ(valueOf(*FakeSessionServer::readChanges(second.participant, 1).front()), 72);

    PeerPair third;
    EXPECT_THROW(peer.acceptAsyncLink(asyncChanges, third.peerLink), koNetError);
    EXPECT_TRUE(peer.isConnected());
}

TEST(ClientServerRole, MalformedRecordStopsOnlyThatPeer)
{
    auto changes = std::make_shared<koSessionChangeList>();
    PeerPair bad;
    PeerPair good;
    koSessionClient badPeer;
    koSessionClient goodPeer;
    admitPeer(badPeer, bad, changes, record(0, "bad"));
    admitPeer(goodPeer, good, changes, record(0, "good"));
    const std::vector<unsigned char> garbage = {1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
    bad.participant.putBytes(garbage.data(), garbage.size());
    bad.participant.flush();
    EXPECT_TRUE(koTest::waitFor([&] { return !badPeer.isConnected(); }));
    EXPECT_TRUE(linkEnds(bad.participant));
    EXPECT_TRUE(goodPeer.isConnected());
    EXPECT_TRUE(changes->empty());
}

} // namespace

