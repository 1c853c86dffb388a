#pragma once

// Helpers for tests that run a real server and real participants over
// loopback with the real cipher: a server on a free port, the scenario
// fixture of whole-session tests, raw connections that speak the handshake
// byte by byte, and a pump that executes received changes while waiting.

#include "koTestLogCapture.h"

#include "koSessionServer.h"
#include "koSessionUser.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class koNetStream;
class koSessionClient;
class koSocketLink;

namespace koTest {
class TextCommand;
}

namespace koServerTest {

using namespace std::chrono_literals;

// Creates the facade on this thread and answers the scene question of join()
// without a message box: `load` true waits for the scene, false declines it.
// Returns the number of questions asked so far in this process.
void prepareProcess(bool load = false);
int sceneQuestionsAsked();

using koTest::LogCapture;

// A server started on a free loopback port.
class TestServer
{
public:
    explicit TestServer(bool start = true);
    ~TestServer();

    void start();
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

// --- Scenario tables -------------------------------------------------------

// One row of a scenario: a participant pushes a command or joins.
struct Step
{
    enum Kind { Text, State, Scene, Join };

    char actor;             // 'A', 'B', ...: who pushes, or who joins (the next letter)
    Kind kind;
    const char* text;       // the text, "key=value", the scene's name or the joiner's name
    // How it is pushed, any of: 'q' quiet (not echoing), 'a' on the second
    // link, 't' its type blocked, 'o' another type blocked, 'b' every type
    // blocked, 'x' while the actor executes a received change; ">C"
    // addressed to participant C.
    const char* how;
    const char* executedBy; // who must execute it, e.g. "BC"; "" nobody
};

// A server and participants A, B, C, ... that push the test program's
// commands, which it registers: koTest::TextCommand, koTest::StateCommand and
// koTest::LoadSceneCommand (the last as "LoadScene"). Every server log line
// is captured in `log`.
class Scenario : public SessionTest
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Joins one participant per name, as A, B, ... in turn, and waits until
    // every roster holds everybody.
    void joinAll(const QStringList& names);
    koSessionClient& at(char who);
    // Plays the rows one by one, each until whoever must execute it (and is
    // there) has; then checks that every participant executed exactly what
    // the table says, in order, second-link rows on receiving threads and
    // the others on the main thread, each with its maker. A late joiner
    // catches up on what it is owed before the next row.
    void play(const std::vector<Step>& steps);
    // Executes received changes on every participant until `condition` holds.
    bool pump(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);
    // Until every participant's roster holds every participant.
    bool settled();
    // What `who` executed, in order, without the table's own markers.
    QStringList executed(char who) const;
    // Uploads from `who` and waits until the server has stored the scene.
    void upload(char who, const std::vector<char>& scene, const QString& name);

    std::vector<std::shared_ptr<koSessionClient>> clients;
    LogCapture log;

private:
    std::unique_ptr<koTest::TextCommand> makeCommand(const Step& step) const;
    void pushStep(const Step& step, const QString& how);
    void expectAllExecuted(const std::map<char, QStringList>& expected, const std::map<QString, const Step*>& rows);

    // The command that a row marked 'x' pushes while its actor executes;
    // main thread only.
    std::unique_ptr<koTest::TextCommand> pending;
    unsigned short pendingMaker = 0;
};

// --- Raw connections -------------------------------------------------------

// A well-formed tunnel request line for a made-up session.
std::string tunnelLine();
// A plain TCP connection to the server on `host` (loopback by default).
std::shared_ptr<koSocketLink> connectTcp(int port, const std::string& host = "127.0.0.1");
// Connects, sends the tunnel line and reads the answer, then sets up the
// client's cipher: ready for a request.
std::shared_ptr<koSocketLink> connectCiphered(int port, const std::string& host = "127.0.0.1");
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
    koSessionUser user;
};
RawParticipant rawJoin(const std::shared_ptr<koSocketLink>& link, const QString& name);

} // namespace koServerTest
