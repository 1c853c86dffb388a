#pragma once

// Helpers for tests that run a real server and real participants over
// loopback with the real cipher: log capture, a server on a free port, raw
// connections that speak the handshake byte by byte, and a pump that executes
// received changes while waiting.

#include "koSessionServer.h"
#include "koSessionUser.h"

#include <QColor>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
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

// Captures every koLog line while it lives (the sink is process-wide).
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    int count(const std::string& part) const;
    bool waitFor(const std::string& part, std::chrono::milliseconds timeout = 10s) const;

private:
    // Guards captured; taken by the sink (any thread) and the test's readers.
    mutable std::mutex mutex;
    std::vector<std::string> captured;
};

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
