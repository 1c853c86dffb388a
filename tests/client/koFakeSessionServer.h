#pragma once

// A minimal session server for the client's tests. It speaks the wire step by
// step (tunnel header, cipher, handshake, change records) over a real
// listening socket on loopback, so the tests can pin and provoke every byte
// the client sees; the handshake pieces come from koSessionWire, whose bytes
// the wire tests pin. It is not the product's server: it does only what a
// test tells it.

#include "koSessionUser.h"

#include "koBoundSocketLink.h"
#include "koNetStream.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class koSessionChange;
class koSocketLink;

namespace koTest {

// One accepted connection: the raw link, the tunnel header it opened with and,
// once the cipher is set, a stream with a sender and a receiver.
struct FakeConnection
{
    std::shared_ptr<koSocketLink> link;
    std::string header;
    std::unique_ptr<koNetStream> stream;
};

// How the fake server answers a join.
struct FakeAdmission
{
    std::string tunnelAnswer = "HTTP/1.1 200 OK\r\n\r\n";
    QString version;            // empty: this build's display version
    QStringList names;          // participants "already in the session"
    unsigned short userId = 7;
    QColor color;               // invalid: keep the colour the client sent
    std::uint8_t sceneFlag = 0;
};

class FakeSessionServer
{
public:
    // Reads stall for at most this long, so a test that goes wrong ends.
    static constexpr double RecvTimeoutSeconds = 10.0;

    explicit FakeSessionServer(const QString& password = QString());
    // Shuts every socket down, then joins the background thread.
    ~FakeSessionServer();

    // The session link that leads to this server.
    const QString& getLink() const { return link; }
    int getPort() const;

    // Runs `body` on a background thread (the client's join blocks the test's
    // thread). An exception in it is kept for getError().
    void run(std::function<void(FakeSessionServer&)> body);
    // Joins the background thread and returns what it threw ("" if nothing).
    std::string finish();

    // Accepts one connection and reads its tunnel header.
    FakeConnection acceptTunnel();
    // Sends `answer` raw, then sets up the server's side of the cipher.
    void answerTunnel(FakeConnection& connection, const std::string& answer);

    // The whole server side of a join: main link (request 0, version answer,
    // record, scene flag, success) and, unless the versions differ, the second
    // link (request 4, user identifier, success). Results go to the members.
    void admit(const FakeAdmission& admission);

    // Reads change records from a stream until `count` have arrived.
    static std::vector<std::shared_ptr<koSessionChange>> readChanges(koNetStream& stream, std::size_t count);

    FakeConnection main;
    FakeConnection second;
    koSessionUser receivedUser;   // the record as the client sent it
    QString receivedVersion;      // the client's version text

private:
    std::unique_ptr<koBoundSocketLink> bound;
    QString link;
    // Guards `accepted`; taken by acceptTunnel and the destructor.
    std::mutex mutex;
    std::vector<std::weak_ptr<koSocketLink>> accepted;
    std::thread thread;
    std::string error;
};

} // namespace koTest
