#pragma once

#include "koHaproxyMapClient.h"
#include "koHaproxyMapFile.h"

#include <QString>

#include <memory>

// One session's route through HAProxy: "<key> <target>" in the running
// HAProxy's map and, when HAProxy runs on this machine, in its map file, so
// that a reloaded or restarted HAProxy reads it back. A HAProxy that lost it
// anyway (a map file this server cannot write, or HAProxy on another machine)
// gets it again from `check`. Prints what it does and what goes wrong.
// Main thread; blocking, each step bounded in time.
class koHaproxyRoute
{
public:
    // How often `check` is meant to run: the longest a route stays lost.
    static constexpr int CheckMilliseconds = 1000;

    koHaproxyRoute(const QString& api, const QString& mapFile, const QString& key, const QString& target);

    // Adds the route; false with `error` set when the running HAProxy did not
    // take it. A map file that cannot be written only warns.
    bool open(QString& error);
    // Announces the route again when the running HAProxy does not hold it.
    void check();
    // Takes the route out of the map and the map file.
    void close();

private:
    void keepInFile();

    koHaproxyMapClient client;
    // Null when HAProxy runs on another machine.
    std::unique_ptr<koHaproxyMapFile> file;
    QString mapFile;
    QString key;
    QString target;
    // What the last check found wrong, printed once until it changes.
    QString lastProblem;
};
