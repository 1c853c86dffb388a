#include "koServerOptions.h"

#include "koPasswordSource.h"
#include "koServerOptionSource.h"
#include "koServerStatusEndpoint.h"

#include "koTerminalOutput.h"

#include "koVersionInfo.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSysInfo>

namespace {

const char description[] =
    "Hosts a koSession relay server. Participants join it with the session link that it prints\n"
    "on start-up (kosession-client, or any application built on koSession). One line is logged\n"
    "per join, leave, scene upload, scene download and stop, on standard error. The program exits\n"
    "with status 0 when the session ends: nobody joined within 60 seconds, the last participant\n"
    "left (neither with --keep-running), a participant stopped the session for everybody, or\n"
    "Ctrl-C or SIGTERM. Without --state-dir these tell the participants that the session ended;\n"
    "with it the participants rejoin when a server starts again on the same folder. It exits with\n"
    "status 1 when it cannot listen or cannot read the kept session back, and 2 on a bad option\n"
    "or a --state-dir it cannot use (held by another server, made under another password).\n"
    "The password comes from\n"
    "--password, else --password-file, else the environment variable KOSESSION_PASSWORD.";

// The variable that names the map in deploy/haproxy/kosession.cfg, read
// here too so that a server and its HAProxy agree by default.
const char mapVariable[] = "KOSESSION_MAP";

// The options; their long names are also the keys of the --config file.
struct OptionSet
{
    QCommandLineOption port{{QStringLiteral("p"), QStringLiteral("port")},
                            QStringLiteral("TCP port to listen on (default %1; 0 takes a free one).")
                                .arg(koServerOptions::DefaultPort),
                            QStringLiteral("port")};
    QCommandLineOption listen{QStringLiteral("listen"),
                              QStringLiteral("Listen only on the interface with this address or host name, such "
                                             "as 127.0.0.1 or a VPN address (default: every interface)."),
                              QStringLiteral("address")};
    QCommandLineOption pipe{QStringLiteral("pipe"),
                            QStringLiteral("Listen on the local pipe <name> instead of TCP, for a program on this "
                                           "machine that opens the pipe itself; it admits any session, and no "
                                           "session link is printed, since no link can join a pipe."),
                            QStringLiteral("name")};
    QCommandLineOption address{{QStringLiteral("a"), QStringLiteral("address")},
                               QStringLiteral("Server address put into the session link: a host name or IP address "
                                              "that the participants can reach, optionally with \":port\" "
                                              "(default: the --listen address if it names one interface, else "
                                              "this machine's host name; with the port listened on)."),
                               QStringLiteral("text")};
    QCommandLineOption password{QStringLiteral("password"),
                                QStringLiteral("Protect the session link with a password; participants need both "
                                               "to join. Visible to other users of this machine: prefer "
                                               "--password-file or KOSESSION_PASSWORD."),
                                QStringLiteral("password")};
    QCommandLineOption passwordFile{QStringLiteral("password-file"),
                                    QStringLiteral("Read the password from <file> (one trailing newline is "
                                                   "dropped)."),
                                    QStringLiteral("file")};
    QCommandLineOption open{QStringLiteral("open"),
                            QStringLiteral("Admit connections for any session, such as links that an application "
                                           "made itself. By default only holders of the printed link get in.")};
    QCommandLineOption keepRunning{QStringLiteral("keep-running"),
                                   QStringLiteral("Stay up when nobody joins and when the last participant "
                                                  "leaves, until Ctrl-C, SIGTERM or a stop request.")};
    QCommandLineOption stateDir{
        QStringLiteral("state-dir"),
        QStringLiteral("Keep the session in the folder <dir>, so that a server started again on it (after a crash, "
                       "a reboot or Ctrl-C) holds the same session: the same link (give the same --address and "
                       "--port), the stored scene and the changes kept for newcomers. One server per folder. A "
                       "participant's stop for everybody ends the session for good and empties the folder. With "
                       "--open or --pipe the scene and changes are kept all the same."),
        QStringLiteral("dir")};
    QCommandLineOption status{QStringLiteral("status"),
                              QStringLiteral("Answer HTTP on <host:port>: /metrics (Prometheus text) and /status "
                                             "(JSON). Keep it on 127.0.0.1 or another private address."),
                              QStringLiteral("host:port")};
    QCommandLineOption haproxySocket{
        QStringLiteral("haproxy-socket"),
        QStringLiteral("Route this session through HAProxy: add \"<session hash> <address>:<port>\" to its map "
                       "through the runtime API at <api> (host:port or a Unix socket path) on start, and remove it "
                       "when the session ends. HAProxy connects to the --listen address (an IPv4 address; "
                       "default 127.0.0.1). Give --address the HAProxy frontend's public address."),
        QStringLiteral("api")};
    QCommandLineOption haproxyMap{QStringLiteral("haproxy-map"),
                                  QStringLiteral("The map file as HAProxy's configuration names it (default: the "
                                                 "environment variable %1, as for HAProxy, else %2). Servers on "
                                                 "HAProxy's machine keep their routes in it too, so that a "
                                                 "reloaded HAProxy has them.")
                                      .arg(QLatin1String(mapVariable), QLatin1String(koServerOptions::DefaultHaproxyMap)),
                                  QStringLiteral("file")};
    QCommandLineOption quiet{{QStringLiteral("q"), QStringLiteral("quiet")},
                             QStringLiteral("Log only warnings and errors.")};
    QCommandLineOption verbose{{QStringLiteral("v"), QStringLiteral("verbose")},
                               QStringLiteral("Log debug lines too.")};
    QCommandLineOption config{QStringLiteral("config"),
                              QStringLiteral("Read options from the INI file <file>: one \"option=value\" line "
                                             "per long option name (keep-running=true); the command line wins."),
                              QStringLiteral("file")};
    QCommandLineOption versionText{QStringLiteral("version-text"),
                                   QStringLiteral("Replace this build's version text (for tests of a version "
                                                  "mismatch)."),
                                   QStringLiteral("text")};

    // What a config file may hold: everything but itself and the hidden option.
    QStringList configKeys() const
    {
        QStringList keys;
        for (const QCommandLineOption* option :
             {&port, &listen, &pipe, &address, &password, &passwordFile, &open, &keepRunning, &stateDir, &status,
              &haproxySocket, &haproxyMap, &quiet, &verbose})
            keys.append(option->names().last());
        return keys;
    }
};

const OptionSet& optionSet()
{
    static const OptionSet options = [] {
        OptionSet made;
        made.versionText.setFlags(QCommandLineOption::HiddenFromHelp);
        return made;
    }();
    return options;
}

void printProblem(const QString& text)
{
    koTerminalOutput::printError(QStringLiteral("kosession-server: %1").arg(text));
}

bool parsePort(const QString& text, int& port)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0 || value > 65535)
        return false;
    port = value;
    return true;
}

} // namespace

koServerOptions::Outcome koServerOptions::parse(const QStringList& arguments)
{
    const OptionSet& options = optionSet();
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    const QCommandLineOption helpOption = parser.addHelpOption();
    // Qt's own version option would take -v, which means verbose here.
    const QCommandLineOption versionOption({QStringLiteral("V"), QStringLiteral("version")},
                                           QStringLiteral("Displays version information."));
    parser.addOptions({versionOption, options.port, options.listen, options.pipe, options.address, options.password,
                       options.passwordFile, options.open, options.keepRunning, options.stateDir, options.status,
                       options.haproxySocket, options.haproxyMap, options.quiet, options.verbose, options.config, options.versionText});

    if (!parser.parse(arguments)) {
        printProblem(parser.errorText());
        koTerminalOutput::printError(QStringLiteral("Try 'kosession-server --help'."));
        return Outcome::Invalid;
    }
    if (parser.isSet(helpOption)) {
        koTerminalOutput::print(parser.helpText().trimmed());
        return Outcome::Done;
    }
    if (parser.isSet(versionOption)) {
        koTerminalOutput::print(QStringLiteral("kosession-server %1")
                                    .arg(QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString())));
        return Outcome::Done;
    }
    if (!parser.positionalArguments().isEmpty()) {
        printProblem(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
        return Outcome::Invalid;
    }
    koServerOptionSource source(parser);
    QString error;
    if (parser.isSet(options.config) && !source.load(parser.value(options.config), options.configKeys(), error)) {
        printProblem(error);
        return Outcome::Invalid;
    }
    versionText = parser.value(options.versionText);
    return readValues(source) && readSwitches(source) && readRouting(source) && readPassword(source)
        ? Outcome::Run
        : Outcome::Invalid;
}

bool koServerOptions::readValues(const koServerOptionSource& source)
{
    const OptionSet& options = optionSet();
    if (source.isSet(options.port) && !parsePort(source.value(options.port), port)) {
        printProblem(QStringLiteral("--port needs a number from 0 to 65535, not '%1'").arg(source.value(options.port)));
        return false;
    }
    if (source.isSet(options.pipe) && source.value(options.pipe).isEmpty()) {
        printProblem(QStringLiteral("--pipe needs a name"));
        return false;
    }
    pipeName = source.value(options.pipe);
    listenAddress = source.value(options.listen);
    statusAddress = source.value(options.status);
    stateDirectory = source.value(options.stateDir);
    if (source.isSet(options.stateDir) && stateDirectory.isEmpty()) {
        printProblem(QStringLiteral("--state-dir needs a folder"));
        return false;
    }
    QString statusHost;
    quint16 statusPort = 0;
    if (!statusAddress.isEmpty() && !koServerStatusEndpoint::splitAddress(statusAddress, statusHost, statusPort)) {
        printProblem(QStringLiteral("--status needs host:port, such as 127.0.0.1:9889, not '%1'").arg(statusAddress));
        return false;
    }
    address = source.isSet(options.address) ? source.value(options.address) : defaultLinkAddress();
    if (address.isEmpty() || address.contains(QLatin1Char('/'))) {
        printProblem(QStringLiteral("the address must not be empty nor contain '/', got '%1'").arg(address));
        return false;
    }
    return true;
}

// A server bound to one interface is reached at that interface; the host
// name may resolve to another one.
QString koServerOptions::defaultLinkAddress() const
{
    const bool everyInterface = listenAddress.isEmpty() || listenAddress == QLatin1String("0.0.0.0")
        || listenAddress == QLatin1String("::");
    return everyInterface ? QSysInfo::machineHostName() : listenAddress;
}

bool koServerOptions::readSwitches(const koServerOptionSource& source)
{
    const OptionSet& options = optionSet();
    bool quiet = false;
    bool verbose = false;
    QString error;
    if (!source.isOn(options.open, open, error) || !source.isOn(options.keepRunning, keepRunning, error)
        || !source.isOn(options.quiet, quiet, error) || !source.isOn(options.verbose, verbose, error)) {
        printProblem(error);
        return false;
    }
    logLevel = verbose ? koLog::Level::Debug : quiet ? koLog::Level::Warning : koLog::Level::Info;
    return true;
}

// HAProxy dials the address in the map, so it must be one address it can
// reach, not "every interface"; and only a server that checks the session
// hash keeps a stale map entry from leading into another session.
bool koServerOptions::readRouting(const koServerOptionSource& source)
{
    const OptionSet& options = optionSet();
    haproxySocket = source.value(options.haproxySocket);
    haproxyMap = source.isSet(options.haproxyMap) ? source.value(options.haproxyMap)
                                                  : qEnvironmentVariable(mapVariable, QString::fromLatin1(DefaultHaproxyMap));
    if (haproxySocket.isEmpty())
        return true;
    if (!pipeName.isEmpty() || open) {
        printProblem(QStringLiteral("--haproxy-socket cannot be combined with %1: HAProxy routes a session by its "
                                    "hash to a TCP server that admits only that session")
                         .arg(open ? QStringLiteral("--open") : QStringLiteral("--pipe")));
        return false;
    }
    if (!source.isSet(options.address)) {
        printProblem(QStringLiteral("--haproxy-socket needs --address: HAProxy's public address, which the link "
                                    "names, such as sessions.example.org"));
        return false;
    }
    const QHostAddress backend(listenAddress.isEmpty() ? QStringLiteral("127.0.0.1") : listenAddress);
    if (backend.protocol() != QAbstractSocket::IPv4Protocol || backend == QHostAddress::AnyIPv4) {
        printProblem(QStringLiteral("--haproxy-socket needs --listen to be this machine's IPv4 address that HAProxy "
                                    "connects to, such as 10.0.0.5, not '%1'")
                         .arg(listenAddress));
        return false;
    }
    if (haproxyMap.isEmpty() || haproxyMap.contains(QRegularExpression(QStringLiteral("\\s")))) {
        printProblem(QStringLiteral("--haproxy-map needs a file name without spaces, not '%1'").arg(haproxyMap));
        return false;
    }
    haproxyBackendHost = backend.toString();
    return true;
}

bool koServerOptions::readPassword(const koServerOptionSource& source)
{
    const OptionSet& options = optionSet();
    const auto given = [&source](const QCommandLineOption& option) {
        return source.isSet(option) ? std::optional<QString>(source.value(option)) : std::nullopt;
    };
    koPasswordSource passwordSource;
    QString error;
    if (!passwordSource.read(given(options.password), given(options.passwordFile), error)) {
        printProblem(error);
        return false;
    }
    password = passwordSource.getPassword();
    return true;
}
