#pragma once

// Helpers for tests that run a real server and real participants over
// loopback with the real cipher: a server on a free port, the fixture of
// whole-session tests, raw
// connections that speak the handshake byte by byte, and a pump that executes
// received changes while waiting.

#include "koTestLogCapture.h"

#include "koSessionServer.h"
#include "koSessionUser.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class koNetStream;
class koSessionChange;
class koSessionClient;
class koSocketLink;

namespace koServerTest {

using namespace std::chrono_literals;

// Creates the facade on this thread and answers the scene question of join()
// without a message box: `load` true waits for the scene, false declines it.
// Returns the number of questions asked so far in this process.
void prepareProcess(bool load = false);
int sceneQuestionsAsked();

using koTest::LogCapture;

// A server started on a free loopback port (or on a pipe).
class TestServer
{
public:
    explicit TestServer(bool start = true);
    ~TestServer();

    void start();
    void startPipe(const QString& pipeName);
    int port();
    // A session link to this server, without password.
    QString link();

    koSessionServer server;
};

// Waits for the server's accept thread and jobs to end; false (after stopping
// the server so that the wait ends) when they did not end within `timeout`.
bool waitStopped(koSessionServer& server, std::chrono::milliseconds timeout = 10s);

// A participant record as a host would fill it before joining.
koSessionUser makeUser(const QString& name, const QColor& color = QColor(Qt::transparent));

// koSessionClient::join with a fresh client; throws what join throws.
std::shared_ptr<koSessionClient> join(const QString& link, const QString& name,
                                      const QColor& color = QColor(Qt::transparent));

// Calls executeCommands() on every client until `condition` holds; bounded.
bool pumpUntil(const std::vector<koSessionClient*>& clients, const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = 10s);

// The client's own roster as identifiers, in roster order.
std::vector<unsigned short> rosterIds(koSessionClient& client);

// Prepares the process (prepareProcess) before each test.
class ProcessTest : public ::testing::Test
{
protected:
    void SetUp() override { prepareProcess(); }
};

// A running server on a free port and a fresh execution log (koTest::
// ExecutionLog) whose main thread is the test's, for whole-session tests.
class SessionTest : public ::testing::Test
{
protected:
    using ClientPtr = std::shared_ptr<koSessionClient>;

    void SetUp() override;
    void TearDown() override;
    // A participant joined to `host` with a fresh koSessionClient.
    ClientPtr join(const QString& name);

    std::unique_ptr<TestServer> host;
};

// --- Raw connections -------------------------------------------------------

// A well-formed tunnel request line for a made-up session.
std::string tunnelLine();
// A plain TCP connection to the loopback server.
std::shared_ptr<koSocketLink> connectTcp(int port);
// Connects, sends the tunnel line and reads the answer, then sets up the
// client's cipher: ready for a request.
std::shared_ptr<koSocketLink> connectCiphered(int port);
// Sends a request with nothing after it.
void sendRequest(const std::shared_ptr<koSocketLink>& link, std::uint32_t request);
// True when the server closes the link (a read fails) within the time-out.
bool waitClosed(const std::shared_ptr<koSocketLink>& link, std::chrono::milliseconds timeout = 10s);

// A participant that speaks the join handshake by hand on `link` (already
// ciphered) and leaves its stream to the test.
struct RawParticipant
{
    std::shared_ptr<koSocketLink> link;
    std::unique_ptr<koNetStream> stream;
    QString serverVersion;
    QStringList names;
    koSessionUser user;
    unsigned char sceneFlag = 0;
};
RawParticipant rawJoin(const std::shared_ptr<koSocketLink>& link, const QString& name);
// Reads change records until a roster command arrives and returns its records.
std::vector<koSessionUser> readRoster(koNetStream& stream);

} // namespace koServerTest
