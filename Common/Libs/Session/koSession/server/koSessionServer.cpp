#include "koSessionServer.h"

#include "koSessionRelay.h"

koSessionServer* koSessionServer::s_the = nullptr;

koSessionServer::koSessionServer()
    : relay(std::make_unique<koSessionRelay>())
{
    s_the = this;
}

// The relay's destructor stops, waits and lets nothing escape.
koSessionServer::~koSessionServer() = default;

koSessionServer& koSessionServer::the()
{
    return *s_the;
}

void koSessionServer::start(const QString& pipeName, int port, const QString& listenAddress)
{
    relay->start(pipeName, port, listenAddress);
}

void koSessionServer::stop()
{
    relay->stop();
}

void koSessionServer::endSession(const QString& reason)
{
    relay->endSession(reason);
}

void koSessionServer::wait()
{
    relay->wait();
}

int koSessionServer::getPort()
{
    return relay->getPort();
}

void koSessionServer::checkClients()
{
    relay->checkClients();
}

void koSessionServer::sendUpdatedUsers()
{
    relay->sendUpdatedUsers();
}

void koSessionServer::setSessionId(const QString& sessionId)
{
    relay->setSessionId(sessionId);
}

void koSessionServer::setStopsWhenEmpty(bool stops)
{
    relay->setStopsWhenEmpty(stops);
}

koSessionServerStatistics koSessionServer::getStatistics()
{
    return relay->getStatistics();
}

std::vector<koSessionServerParticipant> koSessionServer::getParticipants()
{
    return relay->getParticipants();
}

void koSessionServer::setMaxSceneSize(std::uint64_t bytes)
{
    relay->setMaxSceneSize(bytes);
}

std::uint64_t koSessionServer::getMaxSceneSize() const
{
    return relay->getMaxSceneSize();
}

void koSessionServer::setMaxRetainedBytes(std::uint64_t bytes)
{
    relay->setMaxRetainedBytes(bytes);
}
