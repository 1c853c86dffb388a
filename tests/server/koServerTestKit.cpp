#include "koServerTestKit.h"

#include "koTestExecutionLog.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionChange.h"
#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionUsersCommand.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <atomic>
#include <future>
#include <stdexcept>
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

void TestServer::startPipe(const QString& pipeName)
{
    server.start(pipeName, 0);
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

std::string tunnelLine()
{
    return "CONNECT session_" + std::string(64, 'a') + ".version_" + koVersionInfo::the().getVersionString()
        + ".join.KOVASessionServer HTTP/1.1\r\n\r\n";
}

std::shared_ptr<koSocketLink> connectTcp(int port)
{
    return std::make_shared<koSocketLink>(koSocketAddress("127.0.0.1", port), 5.0);
}

std::shared_ptr<koSocketLink> connectCiphered(int port)
{
    auto link = connectTcp(port);
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
    participant.serverVersion = koSessionWire::getText(stream);
    participant.names = koSessionWire::getNames(stream);
    makeUser(name).putValue(stream);
    stream.flush();
    participant.user.getValue(stream);
    participant.sceneFlag = stream.getValue<std::uint8_t>();
    stream.recvResult();
    return participant;
}

std::vector<koSessionUser> readRoster(koNetStream& stream)
{
    const unsigned int rosterType = koSessionCommandFactory::the().getType("UpdateUsers");
    for (;;) {
        koSessionChange change;
        change.getValue(stream);
        if (change.getCommandType() != rosterType)
            continue;
        koSessionUsersCommand command;
        if (!change.tryGetCommand(command))
            throw std::runtime_error("roster record does not rebuild");
        return command.getUsers();
    }
}

} // namespace koServerTest
