#include "koServerOptions.h"

#include "koTerminalOutput.h"

#include "koVersionInfo.h"

#include <QCommandLineParser>
#include <QSysInfo>

namespace {

const char description[] =
    "Hosts a koSession relay server. Participants join it with the session link that it prints\n"
    "on start-up (kosession-client, or any application built on koSession). One line is logged\n"
    "per join, leave, scene upload, scene download and stop. The program exits with status 0\n"
    "when the session ends: nobody joined within 60 seconds, the last participant left, a\n"
    "participant stopped the session for everybody, or Ctrl-C (which stops it cleanly first).\n"
    "It exits with status 1 when it cannot listen, and 2 on a bad option.";

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
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("TCP port to listen on, on every interface (default %1; 0 takes a free one).")
            .arg(DefaultPort),
        QStringLiteral("port"));
    const QCommandLineOption pipeOption(
        QStringLiteral("pipe"),
        QStringLiteral("Listen on the local pipe <name> instead of TCP, for a host application on this "
                       "machine that talks to the server through it."),
        QStringLiteral("name"));
    const QCommandLineOption addressOption(
        {QStringLiteral("a"), QStringLiteral("address")},
        QStringLiteral("Server address put into the session link: a host name or IP address that the "
                       "participants can reach, optionally with \":port\" (default: this machine's host "
                       "name, with the port listened on)."),
        QStringLiteral("text"));
    const QCommandLineOption passwordOption(
        QStringLiteral("password"),
        QStringLiteral("Protect the session link with a password; participants need both to join."),
        QStringLiteral("password"));
    const QCommandLineOption openOption(
        QStringLiteral("open"),
        QStringLiteral("Admit connections for any session, as servers without a session did before. "
                       "By default only holders of the printed link get in."));
    QCommandLineOption versionTextOption(
        QStringLiteral("version-text"),
        QStringLiteral("Replace this build's version text (for tests of a version mismatch)."),
        QStringLiteral("text"));
    versionTextOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({portOption, pipeOption, addressOption, passwordOption, openOption, versionTextOption});

    if (!parser.parse(arguments)) {
        koTerminalOutput::printError(QStringLiteral("kosession-server: %1").arg(parser.errorText()));
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
        koTerminalOutput::printError(QStringLiteral("kosession-server: unexpected argument '%1'")
                                         .arg(parser.positionalArguments().first()));
        return Outcome::Invalid;
    }
    if (parser.isSet(portOption) && !parsePort(parser.value(portOption), port)) {
        koTerminalOutput::printError(QStringLiteral("kosession-server: --port needs a number from 0 to 65535, "
                                                    "not '%1'")
                                         .arg(parser.value(portOption)));
        return Outcome::Invalid;
    }
    if (parser.isSet(pipeOption) && parser.value(pipeOption).isEmpty()) {
        koTerminalOutput::printError(QStringLiteral("kosession-server: --pipe needs a name"));
        return Outcome::Invalid;
    }
    pipeName = parser.value(pipeOption);
    address = parser.isSet(addressOption) ? parser.value(addressOption) : QSysInfo::machineHostName();
    if (address.isEmpty() || address.contains(QLatin1Char('/'))) {
        koTerminalOutput::printError(QStringLiteral("kosession-server: the address must not be empty nor "
                                                    "contain '/', got '%1'")
                                         .arg(address));
        return Outcome::Invalid;
    }
    password = parser.value(passwordOption);
    versionText = parser.value(versionTextOption);
    open = parser.isSet(openOption);
    return Outcome::Run;
}
