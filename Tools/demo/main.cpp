// kosession-demo: runs a whole session on this machine and tells what
// happened. `make demo` runs it; it exits with status 0 only if everything
// arrived.
#include "koDemoSession.h"

#include "koInterruptWatcher.h"
#include "koTerminalOutput.h"

#include "koVersionInfo.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 2 && (arguments[1] == QLatin1String("-V") || arguments[1] == QLatin1String("--version"))) {
        koTerminalOutput::print(QStringLiteral("kosession-demo %1")
                                    .arg(QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString())));
        return 0;
    }
    if (argc > 1) {
        koTerminalOutput::print(QStringLiteral(
            "Usage: kosession-demo [--help | -V | --version]\n"
            "Starts kosession-server on a free loopback port and kosession-client participants as child\n"
            "processes (both are looked for next to this program), runs a scripted session and prints a\n"
            "transcript and a summary. Exits with status 0 only if everything arrived."));
        return arguments[1] == QLatin1String("--help") ? 0 : 2;
    }
    koInterruptWatcher::install();
    koDemoSession session;
    return session.run() ? 0 : 1;
}
