#pragma once

#include "koHaproxyRoute.h"
#include "koServerOptions.h"
#include "koServerStatusEndpoint.h"

#include "koSessionServer.h"

#include <QString>

#include <atomic>
#include <memory>
#include <thread>

// Hosts one session for kosession-server: starts the relay and the status
// endpoint, prints the session link, logs the library's lines on standard
// error, and ends when the session does.
// Main thread; needs a QCoreApplication.
class koServerHost
{
public:
    explicit koServerHost(const koServerOptions& options);
    ~koServerHost();

    koServerHost(const koServerHost&) = delete;
    koServerHost& operator=(const koServerHost&) = delete;

    // Runs the session to its end and answers the program's exit status.
    int run();

private:
    // Why the session ended, as far as this program can tell.
    enum class Ending { Unknown, StopRequest, Empty, LastParticipantLeft, Interrupted, AcceptFailed };

    void installLog();
    // Locks the --state-dir folder and takes the session kept there, or
    // keeps a new one; makes `sessionPart`. False after printing why not.
    bool openStateDirectory(QString& sessionPart);
    bool start(const QString& sessionPart);
    bool startStatus();
    // Adds this session to HAProxy's map (--haproxy-socket), and takes it out.
    bool addRoute(const QString& sessionId);
    void removeRoute();
    QString makeLinkAddress(int port) const;
    void printStartup(const QString& sessionPart, int port) const;
    // The event loop's tick: Ctrl-C, and the end of the session.
    void poll();
    void noticeLogLine(const std::string& line);
    QString describeEnding() const;
    void printEnding() const;
    void printListenProblem(const QString& error) const;

    const koServerOptions& options;
    koSessionServer server;
    // Null without --status.
    std::unique_ptr<koServerStatusEndpoint> status;
    // Null without --haproxy-socket, and once the route is removed.
    std::unique_ptr<koHaproxyRoute> route;
    // Runs server.wait(), which returns once the session has stopped.
    std::thread waiter;
    std::atomic<bool> stopped{false};
    // Set by the log observer on a library thread, read by the main thread.
    std::atomic<Ending> ending{Ending::Unknown};
    bool interrupted = false;
};
