#include "koFaultKit.h"

#include "koServerTestKit.h"

#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <algorithm>
#include <memory>

namespace koFaultTest {

namespace {

const koSessionCommandFactory::Register<koTest::TextCommand> registerNote("FaultNote");

constexpr std::size_t garbageBytes = 4096;

HostileOutcome outcome(const std::string& what, bool asExpected, const std::string& detail)
{
    return HostileOutcome{what, asExpected, detail};
}

} // namespace

koTest::TextCommand makeNote(qint32 number, int fillerBytes)
{
    // Two bytes a character on the wire.
    return koTest::TextCommand(QString::number(number) + QLatin1Char(' ') + QString(fillerBytes / 2, QLatin1Char('f')),
                               false);
}

std::vector<qint32> notesOf(koSessionClient& client)
{
    std::vector<qint32> numbers;
    for (const QString& text : koTest::ExecutionLog::the().texts(client.getUserId()))
        numbers.push_back(text.section(QLatin1Char(' '), 0, 0).toInt());
    return numbers;
}

bool hasNote(koSessionClient& client, qint32 number)
{
    const std::vector<qint32> numbers = notesOf(client);
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

bool drainUntilClosed(const std::shared_ptr<koSocketLink>& link, std::chrono::milliseconds limit, std::string& why)
{
    link->setRecvTimeout(std::chrono::duration<double>(limit).count());
    try {
        char byte = 0;
        for (;;)
            link->read(&byte, 1);
    } catch (const std::exception& e) {
        why = e.what();
        return why.find("timed out") == std::string::npos;
    }
}

HostileOutcome silentConnection(int port, std::chrono::milliseconds limit, double& droppedAfterSeconds)
{
    const std::string what = "connection that sends nothing";
    try {
        const auto link = koServerTest::connectTcp(port);
        const auto start = std::chrono::steady_clock::now();
        std::string why;
        const bool dropped = drainUntilClosed(link, limit, why);
        droppedAfterSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return outcome(what, dropped, why);
    } catch (const std::exception& e) {
        return outcome(what, false, std::string("could not connect: ") + e.what());
    }
}

HostileOutcome endlessTunnelHeader(int port)
{
    const std::string what = "tunnel header that never ends";
    constexpr std::size_t most = 16u << 20;
    const std::string piece(4096, 'X');
    std::size_t sent = 0;
    try {
        const auto link = koServerTest::connectTcp(port);
        try {
            while (sent < most) {
                link->send(piece.data(), piece.size());
                sent += piece.size();
            }
        } catch (const koNetError& e) {
            return outcome(what, true, "dropped after " + std::to_string(sent) + " bytes sent: " + e.what());
        }
        return outcome(what, false, "still open after " + std::to_string(sent) + " bytes");
    } catch (const std::exception& e) {
        return outcome(what, false, std::string("could not connect: ") + e.what());
    }
}

std::vector<HostileOutcome> randomAfterEachRequest(int port, int rounds)
{
    std::vector<HostileOutcome> outcomes;
    const auto attempt = [&outcomes](const std::string& what, const std::function<void()>& action) {
        try {
            action();
            outcomes.push_back(outcome(what, true, "sent"));
        } catch (const std::exception& e) {
            outcomes.push_back(outcome(what, false, e.what()));
        }
    };
    const std::uint32_t requests[] = {koSessionWire::RequestJoin, koSessionWire::RequestDownloadScene,
                                      koSessionWire::RequestUploadScene, koSessionWire::RequestAsyncStream, 5,
                                      0xffffffffu};
    for (int round = 0; round < rounds; ++round) {
        const std::vector<char> garbage = randomBytes(garbageBytes, 1000u + static_cast<std::uint32_t>(round));
        attempt("random bytes instead of the tunnel header", [&] {
            const auto link = koServerTest::connectTcp(port);
            link->send(garbage.data(), garbage.size());
        });
        attempt("random bytes instead of the key exchange", [&] {
            const auto link = koServerTest::connectTcp(port);
            link->setRecvTimeout(10.0);
            const std::string line = koServerTest::tunnelLine();
            link->send(line.data(), line.size());
            koSessionWire::readTunnelHeader(*link, "Tunnel answer");
            link->send(garbage.data(), garbage.size());
        });
        for (std::uint32_t request : requests) {
            attempt("random bytes after request type " + std::to_string(request), [&] {
                const auto link = koServerTest::connectCiphered(port);
                koNetStream stream(link);
                stream.putValue(request);
                stream.putBytes(garbage.data(), garbage.size());
                stream.flush();
            });
        }
    }
    return outcomes;
}

HostileOutcome joinThenGarbage(int port, std::uint32_t seed)
{
    const std::string what = "random bytes in place of change records";
    try {
        koServerTest::RawParticipant mallory =
            koServerTest::rawJoin(koServerTest::connectCiphered(port), QStringLiteral("Mallory"));
        const std::vector<char> garbage = randomBytes(64 * 1024, seed);
        try {
            mallory.stream->putBytes(garbage.data(), garbage.size());
            mallory.stream->flush();
        } catch (const koNetError&) {
            // The server may drop the link before the last bytes are out.
        }
        std::string why;
        const bool dropped = drainUntilClosed(mallory.link, 10s, why);
        return outcome(what, dropped, "joined as user " + std::to_string(mallory.user.getId()) + ", then: " + why);
    } catch (const std::exception& e) {
        return outcome(what, false, std::string("could not join: ") + e.what());
    }
}

HostileOutcome openAndDrop(int port, int count)
{
    const std::string what = std::to_string(count) + " connections opened and dropped at once";
    std::vector<std::shared_ptr<koSocketLink>> links;
    try {
        for (int i = 0; i < count; ++i)
            links.push_back(koServerTest::connectTcp(port));
    } catch (const std::exception& e) {
        return outcome(what, false, "only " + std::to_string(links.size()) + " connected: " + e.what());
    }
    links.clear();
    return outcome(what, true, "all connected");
}

} // namespace koFaultTest
