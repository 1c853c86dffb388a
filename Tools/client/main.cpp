// kosession-client: a session participant in the terminal. See --help.
#include "koClientOptions.h"
#include "koProgressBar.h"
#include "koTerminalParticipant.h"

#include "koInterruptWatcher.h"
#include "koTerminalLog.h"

#include "koSession.h"
#include "koVersionInfo.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kosession-client"));

    koClientOptions options;
    switch (options.parse(QCoreApplication::arguments())) {
    case koClientOptions::Outcome::Done:
        return 0;
    case koClientOptions::Outcome::Invalid:
        return 2;
    case koClientOptions::Outcome::Run:
        break;
    }
    if (!options.getVersionText().isEmpty())
        koVersionInfo::the().setVersionStrings(koVersionInfo::the().getVersionString(),
                                               options.getVersionText().toStdString());
    koTerminalLog::install(koTerminalLog::Destination::Error,
                           options.isVerbose() ? koLog::Level::Info : koLog::Level::Warning);
    koInterruptWatcher::install();
    koProgressBar::install();
    // The facade belongs to the thread that first asks for it.
    koSession::the();

    int status = 1;
    {
        koTerminalParticipant participant(options);
        QObject::connect(&participant, &koTerminalParticipant::finished, &application,
                         [](int exitCode) { QCoreApplication::exit(exitCode); });
        if (participant.join())
            status = QCoreApplication::exec();
    }
    koProgressBar::uninstall();
    koTerminalLog::uninstall();
    return status;
}
