#include "koHaproxyRoute.h"

#include "koTerminalOutput.h"

koHaproxyRoute::koHaproxyRoute(const QString& api, const QString& mapFile, const QString& key, const QString& target)
    : client(api, mapFile)
    , mapFile(mapFile)
    , key(key)
    , target(target)
{
    // A map file path names a file on HAProxy's machine.
    if (client.isLocal())
        file = std::make_unique<koHaproxyMapFile>(mapFile);
}

bool koHaproxyRoute::open(QString& error)
{
    if (!client.add(key, target, error))
        return false;
    keepInFile();
    return true;
}

void koHaproxyRoute::keepInFile()
{
    QString error;
    if (file && !file->put(key, target, error))
        koTerminalOutput::printError(
            QStringLiteral("kosession-server: warning: %1; until then a reloaded HAProxy routes this session only "
                           "once this server announces it again (within %2 s)")
                .arg(error)
                .arg(CheckMilliseconds / 1000));
}

void koHaproxyRoute::check()
{
    bool found = false;
    QString problem;
    if (client.contains(key, found, problem) && !found && client.add(key, target, problem)) {
        koTerminalOutput::print(QStringLiteral("HAProxy had lost this session's route (reloaded or restarted "
                                               "without it): announced it again."));
        keepInFile();
    }
    if (problem == lastProblem)
        return;
    lastProblem = problem;
    if (problem.isEmpty())
        koTerminalOutput::print(QStringLiteral("HAProxy answers again and routes this session."));
    else
        koTerminalOutput::printError(QStringLiteral("kosession-server: warning: %1; new participants cannot reach "
                                                    "this session until HAProxy answers again")
                                         .arg(problem));
}

// A route left behind is harmless (HAProxy's connections to a server that is
// gone are refused), but it is clutter that the operator should clear.
void koHaproxyRoute::close()
{
    QString error;
    if (client.remove(key, error))
        koTerminalOutput::print(QStringLiteral("Removed this session from HAProxy's map."));
    else
        koTerminalOutput::printError(
            QStringLiteral("kosession-server: the session stays in HAProxy's map: %1; remove it with 'del map %2 %3'")
                .arg(error, mapFile, key));
    if (file && !file->remove(key, error))
        koTerminalOutput::printError(
            QStringLiteral("kosession-server: the session stays in the map file: %1; remove its line %2 by hand")
                .arg(error, key));
}
