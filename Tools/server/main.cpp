// kosession-server: hosts a session until it ends. See --help.
#include "koServerHost.h"
#include "koServerOptions.h"

#include "koInterruptWatcher.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kosession-server"));

    koServerOptions options;
    switch (options.parse(QCoreApplication::arguments())) {
    case koServerOptions::Outcome::Done:
        return 0;
    case koServerOptions::Outcome::Invalid:
        return 2;
    case koServerOptions::Outcome::Run:
        break;
    }
    koInterruptWatcher::install();
    koServerHost host(options);
    return host.run();
}
