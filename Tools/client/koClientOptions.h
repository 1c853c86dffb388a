#pragma once

#include "koSessionRejoiner.h"

#include <QColor>
#include <QString>
#include <QStringList>

// The command line of kosession-client.
class koClientOptions
{
public:
    static constexpr int DefaultRejoinSeconds = koSessionRejoiner::DefaultLimitSeconds;

    enum class Outcome {
        Run,     // options are valid: join the session
        Done,    // --help or --version was answered
        Invalid, // an error was printed
    };

    // Parses the arguments (the program name first) and prints help, the
    // version or what is wrong.
    Outcome parse(const QStringList& arguments);

    const QString& getLink() const { return link; }
    const QString& getName() const { return name; }
    const QString& getPassword() const { return password; }
    // Where the password came from: "--password", "--password-file" or
    // "KOSESSION_PASSWORD"; empty without a password.
    const QString& getPasswordOrigin() const { return passwordOrigin; }
    // Fully transparent when none was given: the server then assigns one.
    const QColor& getColor() const { return color; }
    // The participant to watch from the start; 0 for none.
    unsigned short getSpectatedUserId() const { return spectatedUserId; }
    // The answer to "the session holds a scene: load it?"
    bool getLoadScene() const { return loadScene; }
    // How long to try rejoining a lost session; 0: not at all.
    int getRejoinSeconds() const { return rejoinSeconds; }
    // Print the library's informational log lines as well.
    bool isVerbose() const { return verbose; }
    // Replacement display version text (hidden test option); empty: the build's own.
    const QString& getVersionText() const { return versionText; }

private:
    QString link;
    QString name;
    QString password;
    QString passwordOrigin;
    QColor color;
    unsigned short spectatedUserId = 0;
    bool loadScene = true;
    int rejoinSeconds = DefaultRejoinSeconds;
    bool verbose = false;
    QString versionText;
};
