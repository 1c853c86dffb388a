#pragma once

#include "koLog.h"

#include <QString>
#include <QStringList>

class koServerOptionSource;

// The command line of kosession-server, with the INI file of --config
// behind it and the password from a file or KOSESSION_PASSWORD.
class koServerOptions
{
public:
    static constexpr int DefaultPort = 8889;
    static constexpr const char* DefaultHaproxyMap = "/etc/haproxy/kosession.map";

    enum class Outcome {
        Run,     // options are valid: host the session
        Done,    // --help or --version was answered
        Invalid, // an error was printed
    };

    // Parses the arguments (the program name first) and prints help, the
    // version or what is wrong.
    Outcome parse(const QStringList& arguments);

    int getPort() const { return port; }
    const QString& getPipeName() const { return pipeName; }
    // The server address for the session link: the --address text, or this
    // machine's host name.
    const QString& getAddress() const { return address; }
    // The interface to listen on (--listen); empty: every interface.
    const QString& getListenAddress() const { return listenAddress; }
    const QString& getPassword() const { return password; }
    // Admit any session (--open) instead of only holders of the printed link.
    // A pipe has no link to hold and only this machine reaches it: it admits
    // any session too.
    bool isOpen() const { return open || !pipeName.isEmpty(); }
    // Stay up when the session is empty (--keep-running).
    bool isKeepRunning() const { return keepRunning; }
    // Where the session is kept across restarts (--state-dir); empty: nowhere.
    const QString& getStateDirectory() const { return stateDirectory; }
    // HOST:PORT of the status endpoint (--status); empty: none.
    const QString& getStatusAddress() const { return statusAddress; }
    // HAProxy's runtime API (--haproxy-socket); empty: no routing.
    const QString& getHaproxySocket() const { return haproxySocket; }
    const QString& getHaproxyMap() const { return haproxyMap; }
    // The IPv4 address HAProxy connects to: the --listen address or 127.0.0.1.
    const QString& getHaproxyBackendHost() const { return haproxyBackendHost; }
    // The lowest log level printed: Warning with -q, Debug with -v.
    koLog::Level getLogLevel() const { return logLevel; }
    // Replacement display version text (hidden test option); empty: the build's own.
    const QString& getVersionText() const { return versionText; }

private:
    bool readValues(const koServerOptionSource& source);
    bool readSwitches(const koServerOptionSource& source);
    QString defaultLinkAddress() const;
    bool readRouting(const koServerOptionSource& source);
    bool readPassword(const koServerOptionSource& source);

    int port = DefaultPort;
    QString pipeName;
    QString address;
    QString listenAddress;
    QString password;
    QString statusAddress;
    QString stateDirectory;
    QString versionText;
    QString haproxySocket;
    QString haproxyMap;
    QString haproxyBackendHost;
    bool open = false;
    bool keepRunning = false;
    koLog::Level logLevel = koLog::Level::Info;
};
