#include "koServerHost.h"

#include "koInterruptWatcher.h"
#include "koTerminalLog.h"
#include "koTerminalOutput.h"

#include "koSession.h"
#include "koSessionRelay.h"
#include "koSessionServerAccess.h"
#include "koSessionStateDirectory.h"
#include "koSessionWire.h"

#include "koNetError.h"
#include "koSocketAddress.h"
#include "koVersionInfo.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

// How often the main thread looks for Ctrl-C and the end of the session.
constexpr int pollMilliseconds = 20;

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// A journal or a log collector stamps each line itself.
koTerminalLog::Stamp logStamp()
{
    const bool collected = !isatty(fileno(stdout)) || qEnvironmentVariableIsSet("JOURNAL_STREAM");
    return collected ? koTerminalLog::Stamp::None : koTerminalLog::Stamp::TimeOfDay;
}

} // namespace

koServerHost::koServerHost(const koServerOptions& options)
    : options(options)
{
}

koServerHost::~koServerHost()
{
    // The server's own destructor stops it; the waiter must be gone first,
    // since it is inside the server's wait().
    server.stop();
    if (waiter.joinable())
        waiter.join();
    removeRoute();
    koTerminalLog::uninstall();
}

int koServerHost::run()
{
    installLog();
    if (!options.getVersionText().isEmpty())
        koVersionInfo::the().setVersionStrings(koVersionInfo::the().getVersionString(),
                                               options.getVersionText().toStdString());
    QString sessionPart;
    if (!openStateDirectory(sessionPart))
        return 2;
    if (!start(sessionPart))
        return 1;

    waiter = std::thread([this] {
        try {
            server.wait();
        } catch (const std::exception& e) {
            koTerminalOutput::printError(QStringLiteral("kosession-server: waiting for the session failed: %1")
                                             .arg(QString::fromUtf8(e.what())));
        } catch (...) {
            koTerminalOutput::printError(QStringLiteral("kosession-server: waiting for the session failed"));
        }
        stopped = true;
    });

    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [this] { poll(); });
    ticker.start(pollMilliseconds);
    // A reloaded or restarted HAProxy may have lost the route.
    QTimer routeChecker;
    QObject::connect(&routeChecker, &QTimer::timeout, [this] {
        if (route)
            route->check();
    });
    routeChecker.start(koHaproxyRoute::CheckMilliseconds);
    QCoreApplication::exec();
    routeChecker.stop();
    ticker.stop();
    waiter.join();
    removeRoute();

    printEnding();
    return ending == Ending::AcceptFailed ? 1 : 0;
}

void koServerHost::installLog()
{
    koTerminalLog::install(
        koTerminalLog::Destination::Error, options.getLogLevel(),
        [this](koLog::Level, const std::string& line) { noticeLogLine(line); }, logStamp());
}

bool koServerHost::openStateDirectory(QString& sessionPart)
{
    const QString folder = options.getStateDirectory();
    if (folder.isEmpty()) {
        sessionPart = koSession::createSessionLink(QString(), options.getPassword());
        return true;
    }
    try {
        // Nothing is read from the folder before it is ours.
        auto directory = std::make_shared<koSessionStateDirectory>(folder);
        directory->lock();
        sessionPart = directory->readSessionPart();
        QString address;
        QString sessionId;
        if (sessionPart.isEmpty()) {
            sessionPart = koSession::createSessionLink(QString(), options.getPassword());
            directory->writeSessionPart(sessionPart);
        } else if (!koSession::tryDecryptSessionLink(options.getPassword(), sessionPart, address, sessionId)) {
            koTerminalOutput::printError(
                QStringLiteral("kosession-server: the session kept in %1 was made under another password; give "
                               "that password, or delete the folder's files session, scene and changes.log to "
                               "start a new session there")
                    .arg(directory->getPath()));
            return false;
        }
        koSessionServerAccess::relayOf(server).setStateDirectory(std::move(directory));
    } catch (const std::exception& e) {
        koTerminalOutput::printError(QStringLiteral("kosession-server: %1").arg(QString::fromUtf8(e.what())));
        return false;
    }
    return true;
}

bool koServerHost::start(const QString& sessionPart)
{
    // The link's session is fixed before the first connection can come; its
    // address part follows once the port is known.
    QString address;
    QString sessionId;
    koSession::tryDecryptSessionLink(options.getPassword(), sessionPart, address, sessionId);
    if (!options.isOpen())
        server.setSessionId(sessionId);
    server.setStopsWhenEmpty(!options.isKeepRunning());
    try {
        server.start(options.getPipeName(), options.getPort(), options.getListenAddress());
    } catch (const koNetError& e) {
        printListenProblem(QString::fromUtf8(e.what()));
        return false;
    } catch (const std::exception& e) {
        // The kept session could not be read back from its state directory.
        koTerminalOutput::printError(
            QStringLiteral("kosession-server: cannot start the session: %1").arg(QString::fromUtf8(e.what())));
        return false;
    }
    // A link is printed only for a server that runs as asked: status endpoint
    // and route included.
    if (!startStatus())
        return false;
    if (!addRoute(sessionId)) {
        server.stop();
        return false;
    }
    printStartup(sessionPart, server.getPort());
    return true;
}

// The network layer's text names the port or pipe again: only its reason is
// kept, and a port or pipe in use gets the option that picks another.
void koServerHost::printListenProblem(const QString& error) const
{
    const bool pipe = !options.getPipeName().isEmpty();
    const QString where = pipe ? QStringLiteral("local pipe '%1'").arg(options.getPipeName())
                               : QStringLiteral("TCP port %1").arg(options.getPort());
    QString reason = error.section(QStringLiteral(": "), -1);
    if (error.contains(QLatin1String("already in use")))
        reason = pipe ? QStringLiteral("another server already listens there; give another name with --pipe")
                      : QStringLiteral("another program already listens there; choose another port with --port "
                                       "(0 takes a free one)");
    koTerminalOutput::printError(QStringLiteral("kosession-server: cannot listen on %1: %2").arg(where, reason));
}

bool koServerHost::startStatus()
{
    if (options.getStatusAddress().isEmpty())
        return true;
    status = std::make_unique<koServerStatusEndpoint>(server);
    QString error;
    if (status->listen(options.getStatusAddress(), error)) {
        koTerminalOutput::print(QStringLiteral("Status on http://%1/metrics and /status").arg(status->getAddress()));
        return true;
    }
    koTerminalOutput::printError(QStringLiteral("kosession-server: %1").arg(error));
    server.stop();
    removeRoute();
    return false;
}

// Participants reach the session only once HAProxy knows it, so the route
// is in place before the link is printed.
bool koServerHost::addRoute(const QString& sessionId)
{
    if (options.getHaproxySocket().isEmpty())
        return true;
    const QString target = QStringLiteral("%1:%2").arg(options.getHaproxyBackendHost()).arg(server.getPort());
    route = std::make_unique<koHaproxyRoute>(options.getHaproxySocket(), options.getHaproxyMap(),
                                             koSessionWire::sessionHash(sessionId), target);
    QString error;
    if (!route->open(error)) {
        route.reset();
        koTerminalOutput::printError(
            QStringLiteral("kosession-server: cannot route the session through HAProxy: %1").arg(error));
        return false;
    }
    return true;
}

void koServerHost::removeRoute()
{
    if (!route)
        return;
    route->close();
    route.reset();
}

// The participants connect to the address in the link, on port 8889 unless
// it names another one: a server on any other port must put it in the link.
// Behind HAProxy the link names the frontend, whose port --address gives.
QString koServerHost::makeLinkAddress(int port) const
{
    const int linkPort = options.getHaproxySocket().isEmpty() ? port : koServerOptions::DefaultPort;
    const koSocketAddress address(options.getAddress().toStdString(), linkPort);
    return QString::fromStdString(address.toString());
}

// A pipe has no link: participants join over TCP only, so a link to a pipe
// would lead nowhere.
void koServerHost::printStartup(const QString& sessionPart, int port) const
{
    const koVersionInfo& version = koVersionInfo::the();
    koTerminalOutput::print(QStringLiteral("kosession-server %1")
                                .arg(QString::fromStdString(version.getDisplayVersionYearString())));
    if (!options.getPipeName().isEmpty()) {
        koTerminalOutput::print(QStringLiteral("Listening on local pipe '%1'").arg(options.getPipeName()));
        koTerminalOutput::print(QStringLiteral("No session link: only a program on this machine that opens the "
                                               "pipe itself can connect; participants join a TCP server."));
    } else {
        const QString where = options.getListenAddress().isEmpty() ? QStringLiteral("every interface")
                                                                   : options.getListenAddress();
        koTerminalOutput::print(QStringLiteral("Listening on TCP port %1 of %2").arg(port).arg(where));
        koTerminalOutput::print(QStringLiteral("Session link: %1%2").arg(makeLinkAddress(port), sessionPart));
        if (route)
            koTerminalOutput::print(QStringLiteral("HAProxy at %1 routes this session to %2:%3")
                                        .arg(options.getHaproxySocket(), options.getHaproxyBackendHost())
                                        .arg(port));
    }
    if (options.getPipeName().isEmpty())
        koTerminalOutput::print(options.getPassword().isEmpty()
                                    ? QStringLiteral("The link is not protected by a password.")
                                    : QStringLiteral("The link needs the session password to be used."));
    koTerminalOutput::print(options.isOpen()
                                ? QStringLiteral("Open session: connections for any session are admitted.")
                                : QStringLiteral("Only holders of this link are admitted."));
    if (options.isKeepRunning())
        koTerminalOutput::print(QStringLiteral("Waiting for participants; the session stays up when empty. "
                                               "Ctrl-C stops it."));
    else
        koTerminalOutput::print(QStringLiteral("Waiting for participants; the session stops if nobody joins "
                                               "within %1 seconds. Ctrl-C stops it.")
                                    .arg(koSessionServer::EmptySessionSeconds));
}

void koServerHost::poll()
{
    if (koInterruptWatcher::takeRaised() && !interrupted) {
        interrupted = true;
        ending = Ending::Interrupted;
        koTerminalOutput::print(QStringLiteral("Interrupted: stopping the session."));
        // Without a state directory the session is gone with this process:
        // the participants are told, so they end instead of rejoining in
        // vain. With one, they rejoin the server once it is started again.
        if (options.getStateDirectory().isEmpty())
            server.endSession(QStringLiteral("stopped by the server's operator"));
        else
            server.stop();
    }
    if (stopped)
        QCoreApplication::quit();
}

// The library names the automatic stops and a stop request in its log. The
// first of Ctrl-C and a stop request decides: the participants that leave on
// it end the session as the last one goes.
void koServerHost::noticeLogLine(const std::string& line)
{
    if (ending == Ending::Interrupted || ending == Ending::StopRequest)
        return;
    if (startsWith(line, "Ending the session for everybody:"))
        ending = Ending::StopRequest;
    else if (line == "Stopping empty session")
        ending = Ending::Empty;
    else if (line == "Stopping session after last client has disconnected")
        ending = Ending::LastParticipantLeft;
    else if (startsWith(line, "Stop accepting clients:"))
        ending = Ending::AcceptFailed;
}

// A session kept in --state-dir outlives this process (only a stop for
// everybody empties the folder): saying it ended would be wrong.
void koServerHost::printEnding() const
{
    const QString folder = options.getStateDirectory();
    if (folder.isEmpty() || ending == Ending::StopRequest) {
        koTerminalOutput::print(QStringLiteral("Session ended: %1.").arg(describeEnding()));
        return;
    }
    koTerminalOutput::print(QStringLiteral("Server exits: %1. The session is kept in %2: start kosession-server "
                                           "again with the same --state-dir, --address and --port to go on with it "
                                           "under the same link.")
                                .arg(describeEnding(), folder));
}

QString koServerHost::describeEnding() const
{
    switch (ending.load()) {
    case Ending::Unknown:
        return QStringLiteral("the server stopped");
    case Ending::StopRequest:
        return QStringLiteral("a participant stopped it for everybody");
    case Ending::Empty:
        return QStringLiteral("nobody joined within %1 seconds").arg(koSessionServer::EmptySessionSeconds);
    case Ending::LastParticipantLeft:
        return QStringLiteral("the last participant left");
    case Ending::Interrupted:
        return QStringLiteral("stopped by Ctrl-C or SIGTERM");
    case Ending::AcceptFailed:
        return QStringLiteral("the server could no longer accept connections");
    }
    return QString();
}
