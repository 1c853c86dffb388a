#include "koFakeSessionServer.h"

#include "koSession.h"
#include "koSessionChange.h"

#include "koNetCipher.h"
#include "koNetError.h"
#include "koNetLinkReceiver.h"
#include "koNetLinkSender.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <stdexcept>

namespace koTest {

namespace {

// The handshake text, written out here by hand so that the tests do not
// check the client's encoding against itself.
QString readText(koNetSerializer& in)
{
    const auto units = in.getValue<std::uint32_t>();
    if (units > 1024)
        throw std::runtime_error("fake server: text of " + std::to_string(units) + " units");
    QString text;
    for (std::uint32_t i = 0; i < units; ++i)
        text.append(QChar(in.getValue<std::uint16_t>()));
    return text;
}

void writeText(koNetSerializer& out, const QString& text)
{
    out.putValue(static_cast<std::uint32_t>(text.size()));
    for (const QChar unit : text)
        out.putValue(static_cast<std::uint16_t>(unit.unicode()));
}

void expect(bool condition, const std::string& what)
{
    if (!condition)
        throw std::runtime_error("fake server: " + what);
}

} // namespace

FakeSessionServer::FakeSessionServer(const QString& password)
    : bound(new koBoundSocketLink(0))
{
    link = koSession::createSessionLink(QStringLiteral("127.0.0.1:%1").arg(getPort()), password);
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
    const std::string end = "\r\n\r\n";
    while (connection.header.size() < end.size()
           || connection.header.compare(connection.header.size() - end.size(), end.size(), end) != 0) {
        expect(connection.header.size() < 64 * 1024, "endless tunnel header");
        char byte = 0;
        connection.link->recv(&byte, 1);
        connection.header.push_back(byte);
    }
    return connection;
}

void FakeSessionServer::answerTunnel(FakeConnection& connection, const std::string& answer)
{
    connection.link->send(answer.data(), answer.size());
    koNetStream keyExchange(connection.link);
    connection.link->setCipher(std::make_shared<koNetCipher>(false, keyExchange));
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
    receivedVersion = readText(in);
    const QString own = QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString());
    const QString version = admission.version.isEmpty() ? own : admission.version;
    writeText(in, version);
    in.putValue(static_cast<std::uint64_t>(admission.names.size()));
    for (const QString& name : admission.names)
        writeText(in, name);
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
