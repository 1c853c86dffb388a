#include "koFakeSessionServer.h"

#include "koTestSupport.h"

#include "koSessionChange.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koNetLinkReceiver.h"
#include "koNetLinkSender.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <stdexcept>

namespace koTest {

namespace {

void expect(bool condition, const std::string& what)
{
    if (!condition)
        throw std::runtime_error("fake server: " + what);
}

} // namespace

FakeSessionServer::FakeSessionServer(const QString& password)
    : bound(new koBoundSocketLink(0))
{
    link = loopbackLink(getPort(), password);
}

FakeSessionServer::~FakeSessionServer()
{
    bound->shutdown();
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& weak : accepted) {
            if (const auto open = weak.lock())
                open->shutdown();
        }
    }
    if (thread.joinable())
        thread.join();
}

int FakeSessionServer::getPort() const
{
    return bound->getAddress().getPort();
}

void FakeSessionServer::run(std::function<void(FakeSessionServer&)> body)
{
    thread = std::thread([this, body] {
        try {
            body(*this);
        } catch (const std::exception& e) {
            error = e.what();
        } catch (...) {
            error = "unknown exception";
        }
    });
}

std::string FakeSessionServer::finish()
{
    if (thread.joinable())
        thread.join();
    return error;
}

FakeConnection FakeSessionServer::acceptTunnel()
{
    FakeConnection connection;
    connection.link = std::make_shared<koSocketLink>(*bound);
    {
        std::lock_guard<std::mutex> lock(mutex);
        accepted.push_back(connection.link);
    }
    connection.link->setRecvTimeout(RecvTimeoutSeconds);
    connection.header = koSessionWire::readTunnelHeader(*connection.link, "Tunnel request");
    return connection;
}

void FakeSessionServer::answerTunnel(FakeConnection& connection, const std::string& answer)
{
    connection.link->send(answer.data(), answer.size());
    koSessionWire::setUpCipher(connection.link, false);
    connection.stream.reset(new koNetStream);
    connection.stream->setSender(koNetLinkSender::create(connection.link));
    connection.stream->setReceiver(koNetLinkReceiver::create(connection.link));
}

void FakeSessionServer::admit(const FakeAdmission& admission)
{
    main = acceptTunnel();
    answerTunnel(main, admission.tunnelAnswer);
    koNetStream& in = *main.stream;
    expect(in.getValue<std::uint32_t>() == 0, "main link without the join request");
    // The wire helpers' bytes are pinned by the wire tests, so the fake may
    // use them.
    receivedVersion = koSessionWire::getText(in);
    const QString own = QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString());
    const QString version = admission.version.isEmpty() ? own : admission.version;
    koSessionWire::putText(in, version);
    koSessionWire::putNames(in, admission.names);
    in.flush();
    if (version != receivedVersion)
        return;

    receivedUser.getValue(in);
    koSessionUser settled = receivedUser;
    settled.setId(admission.userId);
    if (admission.color.isValid())
        settled.setColor(admission.color);
    settled.putValue(in);
    in.putValue(admission.sceneFlag);
    in.sendSuccess();
    in.flush();

    second = acceptTunnel();
    answerTunnel(second, admission.tunnelAnswer);
    expect(second.stream->getValue<std::uint32_t>() == 4, "second link without its request");
    expect(second.stream->getValue<std::uint16_t>() == admission.userId, "second link for another user");
    second.stream->sendSuccess();
    second.stream->flush();
}

std::vector<std::shared_ptr<koSessionChange>> FakeSessionServer::readChanges(koNetStream& stream, std::size_t count)
{
    std::vector<std::shared_ptr<koSessionChange>> changes;
    while (changes.size() < count) {
        auto change = std::make_shared<koSessionChange>();
        change->getValue(stream);
        changes.push_back(change);
    }
    return changes;
}

} // namespace koTest
