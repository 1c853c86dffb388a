#pragma once

#include <QString>
#include <QStringList>

// The command line of kosession-server.
class koServerOptions
{
public:
    static constexpr int DefaultPort = 8889;

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
    const QString& getPassword() const { return password; }
    // Admit any session (--open) instead of only holders of the printed link.
    bool isOpen() const { return open; }
    // Replacement display version text (hidden test option); empty: the build's own.
    const QString& getVersionText() const { return versionText; }

private:
    int port = DefaultPort;
    QString pipeName;
    QString address;
    QString password;
    QString versionText;
    bool open = false;
};
