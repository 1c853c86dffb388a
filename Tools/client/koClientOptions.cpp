#include "koClientOptions.h"

#include "koCommandInterpreter.h"
#include "koPasswordSource.h"
#include "koTerminalOutput.h"

#include "koVersionInfo.h"

#include <QCommandLineParser>

namespace {

const char description[] =
    "Joins a koSession session as a participant in the terminal. It prints the roster's changes,\n"
    "the messages, poses and scenes of the others as they arrive, and reads commands, one per\n"
    "line, on its standard input (type 'help' for the list). When the connection to the server is\n"
    "lost, it rejoins (see --rejoin-for) and then sends the lines typed meanwhile. It exits with\n"
    "status 0 when it leaves or a participant or the server's operator ends the session for\n"
    "everybody, 1 when it cannot join (no server, wrong link or password, another version) or\n"
    "cannot rejoin a lost session, and 2 on a bad option. The password comes from --password, else\n"
    "--password-file, else the environment variable KOSESSION_PASSWORD.";

void printUsageError(const QString& message)
{
    koTerminalOutput::printError(QStringLiteral("kosession-client: %1").arg(message));
    koTerminalOutput::printError(QStringLiteral("Try 'kosession-client --help'."));
}

} // namespace

koClientOptions::Outcome koClientOptions::parse(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    const QCommandLineOption helpOption = parser.addHelpOption();
    // -v is verbose, as for kosession-server.
    const QCommandLineOption versionOption({QStringLiteral("V"), QStringLiteral("version")},
                                           QStringLiteral("Displays version information."));
    parser.addPositionalArgument(QStringLiteral("link"),
                                 QStringLiteral("The session link that kosession-server printed."));
    const QCommandLineOption nameOption({QStringLiteral("n"), QStringLiteral("name")},
                                        QStringLiteral("Your name in the session (default \"participant\")."),
                                        QStringLiteral("name"));
    const QCommandLineOption passwordOption(QStringLiteral("password"),
                                            QStringLiteral("The session password, if the link has one. Visible "
                                                           "to other users of this machine: prefer "
                                                           "--password-file or KOSESSION_PASSWORD."),
                                            QStringLiteral("password"));
    const QCommandLineOption passwordFileOption(
        QStringLiteral("password-file"),
        QStringLiteral("Read the password from <file> (one trailing newline is dropped)."), QStringLiteral("file"));
    const QCommandLineOption colorOption(
        QStringLiteral("color"),
        QStringLiteral("Your colour: a name such as \"orange\" or #rrggbb (default: the server picks one)."),
        QStringLiteral("color"));
    const QCommandLineOption spectateOption(
        QStringLiteral("spectate"), QStringLiteral("Join as a spectator of the participant with this user number."),
        QStringLiteral("number"));
    const QCommandLineOption declineOption(
        QStringLiteral("decline-scene"),
        QStringLiteral("When the session already holds a scene, do not wait for it while joining (the first "
                       "'download' is then skipped, as when a user answers Cancel)."));
    const QCommandLineOption rejoinOption(
        QStringLiteral("rejoin-for"),
        QStringLiteral("When the connection is lost, try to rejoin for this long, with pauses from 0.5 to 10 "
                       "seconds (default %1; 0: end at once).")
            .arg(DefaultRejoinSeconds),
        QStringLiteral("seconds"));
    const QCommandLineOption verboseOption({QStringLiteral("v"), QStringLiteral("verbose")},
                                           QStringLiteral("Also print the library's informational log lines."));
    QCommandLineOption versionTextOption(
        QStringLiteral("version-text"),
        QStringLiteral("Replace this build's version text (for tests of a version mismatch)."),
        QStringLiteral("text"));
    versionTextOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({versionOption, nameOption, passwordOption, passwordFileOption, colorOption, spectateOption,
                       declineOption, rejoinOption, verboseOption, versionTextOption});

    if (!parser.parse(arguments)) {
        printUsageError(parser.errorText());
        return Outcome::Invalid;
    }
    if (parser.isSet(helpOption)) {
        koTerminalOutput::print(parser.helpText() + QLatin1Char('\n') + koCommandInterpreter::helpText());
        return Outcome::Done;
    }
    if (parser.isSet(versionOption)) {
        koTerminalOutput::print(QStringLiteral("kosession-client %1")
                                    .arg(QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString())));
        return Outcome::Done;
    }
    if (parser.positionalArguments().size() != 1) {
        printUsageError(QStringLiteral("give exactly one session link"));
        return Outcome::Invalid;
    }
    // A pasted link often brings a blank or a line end with it.
    link = parser.positionalArguments().first().trimmed();
    name = parser.isSet(nameOption) ? parser.value(nameOption) : QStringLiteral("participant");
    const auto given = [&parser](const QCommandLineOption& option) {
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    koPasswordSource passwordSource;
    QString error;
    if (!passwordSource.read(given(passwordOption), given(passwordFileOption), error)) {
        printUsageError(error);
        return Outcome::Invalid;
    }
    password = passwordSource.getPassword();
    passwordOrigin = passwordSource.getOrigin();

    color = QColor(Qt::transparent);
    if (parser.isSet(colorOption)) {
        color = QColor(parser.value(colorOption));
        if (!color.isValid()) {
            printUsageError(QStringLiteral("'%1' is not a colour").arg(parser.value(colorOption)));
            return Outcome::Invalid;
        }
    }
    if (parser.isSet(spectateOption)) {
        bool ok = false;
        const uint id = parser.value(spectateOption).toUInt(&ok);
        if (!ok || id == 0 || id > 0xffff) {
            printUsageError(QStringLiteral("--spectate needs a user number from 1 to 65535"));
            return Outcome::Invalid;
        }
        spectatedUserId = static_cast<unsigned short>(id);
    }
    if (parser.isSet(rejoinOption)) {
        bool ok = false;
        rejoinSeconds = parser.value(rejoinOption).toInt(&ok);
        if (!ok || rejoinSeconds < 0) {
            printUsageError(QStringLiteral("--rejoin-for needs a number of seconds, 0 or more"));
            return Outcome::Invalid;
        }
    }
    loadScene = !parser.isSet(declineOption);
    verbose = parser.isSet(verboseOption);
    versionText = parser.value(versionTextOption);
    return Outcome::Run;
}
