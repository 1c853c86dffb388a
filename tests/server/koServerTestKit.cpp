#include "koServerTestKit.h"

#include "koTestExecutionLog.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <QRegularExpression>

#include <atomic>
#include <future>
#include <thread>

namespace koServerTest {

namespace {

std::atomic<int> questionsAsked{0};

} // namespace

void prepareProcess(bool load)
{
    koSession::the();
    koSessionClient::setSceneQuestion([load] {
        ++questionsAsked;
        return load;
    });
}

int sceneQuestionsAsked()
{
    return questionsAsked.load();
}

// ---------------------------------------------------------------------------

TestServer::TestServer(bool startNow)
{
    if (startNow)
        start();
}

TestServer::~TestServer() = default;

void TestServer::start()
{
    server.start(QString(), 0);
}

int TestServer::port()
{
    return server.getPort();
}

QString TestServer::link()
{
    return koTest::loopbackLink(port());
}

bool waitStopped(koSessionServer& server, std::chrono::milliseconds timeout)
{
    auto done = std::async(std::launch::async, [&server] { server.wait(); });
    if (done.wait_for(timeout) == std::future_status::ready) {
        done.get();
        return true;
    }
    server.stop();
    done.get();
    return false;
}

koSessionUser makeUser(const QString& name, const QColor& color)
{
    koSessionUser user;
    user.setName(name);
    user.setColor(color);
    user.setDeviceName(QStringLiteral("test rig"));
    return user;
}

std::shared_ptr<koSessionClient> join(const QString& link, const QString& name, const QColor& color)
{
    auto client = std::make_shared<koSessionClient>();
    client->join(link, makeUser(name, color), QString(), false);
    return client;
}

bool pumpUntil(const std::vector<koSessionClient*>& clients, const std::function<bool()>& condition,
               std::chrono::milliseconds timeout)
{
    return koTest::waitFor([&] {
        for (koSessionClient* client : clients)
            client->executeCommands();
        return condition();
    }, timeout);
}

std::vector<unsigned short> rosterIds(koSessionClient& client)
{
    std::vector<unsigned short> ids;
    for (const koSessionUser& user : client.getUsers())
        ids.push_back(user.getId());
    return ids;
}

void SessionTest::SetUp()
{
    prepareProcess();
    koTest::ExecutionLog::the().reset(std::this_thread::get_id());
    host = std::make_unique<TestServer>();
}

void SessionTest::TearDown()
{
    host.reset();
}

SessionTest::ClientPtr SessionTest::join(const QString& name)
{
    return koServerTest::join(host->link(), name);
}

// ---------------------------------------------------------------------------

void Scenario::SetUp()
{
    SessionTest::SetUp();
    // A row marked 'x' is pushed from inside the execution of a trigger that
    // its actor sent to itself, so the actor is executing at that moment.
    koTest::ExecutionLog::the().reset(std::this_thread::get_id(), [this](koTest::Execution& execution) {
        if (!execution.onMainThread || execution.text != QStringLiteral("trigger") || !pending
            || execution.executor != pendingMaker)
            return;
        for (const auto& client : clients) {
            if (client->getUserId() == pendingMaker)
                client->push(*std::exchange(pending, nullptr));
        }
    });
}

void Scenario::TearDown()
{
    clients.clear();
    koTest::ExecutionLog::the().reset(std::this_thread::get_id());
    SessionTest::TearDown();
}

void Scenario::joinAll(const QStringList& names)
{
    for (const QString& name : names)
        clients.push_back(join(name));
    ASSERT_TRUE(settled());
}

koSessionClient& Scenario::at(char who)
{
    return *clients.at(std::size_t(who - 'A'));
}

bool Scenario::pump(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    std::vector<koSessionClient*> all;
    for (const auto& client : clients)
        all.push_back(client.get());
    return pumpUntil(all, condition, timeout);
}

bool Scenario::settled()
{
    return pump([this] {
        for (const auto& client : clients) {
            if (client->getUsers().size() != clients.size())
                return false;
        }
        return true;
    });
}

QStringList Scenario::executed(char who) const
{
    QStringList texts = koTest::ExecutionLog::the().texts(clients.at(std::size_t(who - 'A'))->getUserId());
    texts.removeAll(QStringLiteral("trigger"));
    return texts.filter(QRegularExpression(QStringLiteral("^(?!end [A-Z]$)")));
}

void Scenario::upload(char who, const std::vector<char>& scene, const QString& name)
{
    const int stored = log.count("uploaded by");
    at(who).uploadScene(scene, name);
    ASSERT_TRUE(koTest::waitFor([&] { return log.count("uploaded by") > stored; }))
        << "the server did not store the scene";
}

std::unique_ptr<koTest::TextCommand> Scenario::makeCommand(const Step& step) const
{
    const QString text = QString::fromUtf8(step.text);
    if (step.kind == Step::State)
        return std::make_unique<koTest::StateCommand>(text);
    if (step.kind == Step::Scene)
        return std::make_unique<koTest::LoadSceneCommand>(text);
    return std::make_unique<koTest::TextCommand>(text);
}

void Scenario::pushStep(const Step& step, const QString& how)
{
    std::unique_ptr<koTest::TextCommand> command = makeCommand(step);
    if (how.contains('q'))
        command->setEchoing(false);
    const int to = how.indexOf('>');
    if (to >= 0)
        command->setDestinationUserId(at(how.at(to + 1).toLatin1()).getUserId());
    koSessionClient& maker = at(step.actor);
    if (how.contains('x')) {
        pendingMaker = maker.getUserId();
        pending = std::move(command);
        koTest::TextCommand trigger(QStringLiteral("trigger"));
        trigger.setDestinationUserId(pendingMaker);
        maker.push(trigger);
        ASSERT_TRUE(pump([this] { return !pending; })) << "the trigger never executed";
        return;
    }
    // 'o' blocks a type that is not the command's.
    const bool blocked = how.contains('t') || how.contains('b') || how.contains('o');
    const unsigned int type = how.contains('t') ? command->getType() : how.contains('o') ? command->getType() ^ 1 : 0;
    if (blocked)
        maker.block(type);
    if (how.contains('a'))
        maker.pushAsync(*command);
    else
        maker.push(*command);
    if (blocked)
        maker.unblock(type);
}

void Scenario::play(const std::vector<Step>& steps)
{
    std::map<char, QStringList> expected;
    std::map<QString, const Step*> rows;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.text);
        if (step.kind == Step::Join) {
            ASSERT_EQ(std::size_t(step.actor - 'A'), clients.size());
            clients.push_back(join(QString::fromUtf8(step.text)));
            const QStringList owed = expected[step.actor];
            ASSERT_TRUE(pump([&] { return executed(step.actor) == owed; })) << "late joiner did not catch up";
            continue;
        }
        const QString logged = step.kind == Step::Scene ? QStringLiteral("LoadScene:") + step.text : step.text;
        ASSERT_EQ(rows.count(logged), 0u) << "texts of a table must differ";
        rows[logged] = &step;
        pushStep(step, QString::fromLatin1(step.how));
        for (const char* who = step.executedBy; *who; ++who)
            expected[*who] << logged;
        ASSERT_TRUE(pump([&] {
            for (const char* who = step.executedBy; *who; ++who) {
                if (std::size_t(*who - 'A') < clients.size() && !executed(*who).contains(logged))
                    return false;
            }
            return true;
        })) << "not executed by all of " << step.executedBy;
    }
    expectAllExecuted(expected, rows);
}

void Scenario::expectAllExecuted(const std::map<char, QStringList>& expected,
                                 const std::map<QString, const Step*>& rows)
{
    // A last echoing change from each: anything stray would have come before it.
    for (std::size_t i = 0; i < clients.size(); ++i)
        clients[i]->push(koTest::TextCommand(QStringLiteral("end %1").arg(QChar('A' + int(i)))));
    ASSERT_TRUE(pump([this] {
        for (const auto& client : clients) {
            if (koTest::ExecutionLog::the().texts(client->getUserId()).filter(QStringLiteral("end ")).size()
                != int(clients.size()))
                return false;
        }
        return true;
    }));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const char who = char('A' + i);
        const auto found = expected.find(who);
        EXPECT_EQ(executed(who), found == expected.end() ? QStringList() : found->second) << "participant " << who;
    }
    for (const koTest::Execution& entry : koTest::ExecutionLog::the().all()) {
        const auto row = rows.find(entry.text);
        if (row == rows.end())
            continue;
        const unsigned short maker = at(row->second->actor).getUserId();
        EXPECT_EQ(entry.onMainThread, !QString::fromLatin1(row->second->how).contains('a')) << entry.text.toStdString();
        if (entry.executor != maker) {
            EXPECT_EQ(entry.changedBy, maker) << entry.text.toStdString();
        }
    }
}

// ---------------------------------------------------------------------------

std::string tunnelLine()
{
    return "CONNECT session_" + std::string(64, 'a') + ".version_" + koVersionInfo::the().getVersionString()
        + ".join.KOVASessionServer HTTP/1.1\r\n\r\n";
}

std::shared_ptr<koSocketLink> connectTcp(int port, const std::string& host)
{
    return std::make_shared<koSocketLink>(koSocketAddress(host, port), 5.0);
}

std::shared_ptr<koSocketLink> connectCiphered(int port, const std::string& host)
{
    auto link = connectTcp(port, host);
    link->setRecvTimeout(10.0);
    const std::string line = tunnelLine();
    link->send(line.data(), line.size());
    koSessionWire::readTunnelHeader(*link, "Tunnel answer");
    koSessionWire::setUpCipher(link, true);
    return link;
}

void sendRequest(const std::shared_ptr<koSocketLink>& link, std::uint32_t request)
{
    koNetStream stream(link);
    stream.putValue(request);
    stream.flush();
}

bool waitClosed(const std::shared_ptr<koSocketLink>& link, std::chrono::milliseconds timeout)
{
    link->setRecvTimeout(std::chrono::duration<double>(timeout).count());
    try {
        char byte = 0;
        link->read(&byte, 1);
        return false; // the server sent something instead of closing
    } catch (const koNetError& e) {
        // A time-out means the server kept the link open.
        return std::string(e.what()).find("timed out") == std::string::npos;
    }
}

RawParticipant rawJoin(const std::shared_ptr<koSocketLink>& link, const QString& name)
{
    RawParticipant participant;
    participant.link = link;
    participant.stream = std::make_unique<koNetStream>(link);
    koNetStream& stream = *participant.stream;
    koSessionWire::putRequest(stream, koSessionWire::RequestJoin);
    stream.flush();
    koSessionWire::putText(stream, QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString()));
    stream.flush();
    koSessionWire::getText(stream);
    koSessionWire::getNames(stream);
    makeUser(name).putValue(stream);
    stream.flush();
    participant.user.getValue(stream);
    stream.getValue<std::uint8_t>(); // the scene flag
    stream.recvResult();
    return participant;
}

} // namespace koServerTest
