#pragma once

#include <QString>

// HAProxy's map file, kept in step with the routes servers add at run time:
// HAProxy reads only this file when it is reloaded or restarted, so without
// it every running session would vanish from the map. Servers on this
// machine share the file: each change holds a lock file beside it and
// replaces the file whole (written apart, then renamed), so HAProxy never
// reads half a file. One "<key> <value>" line per route; lines of other keys
// are kept as they are. Any thread; blocking.
class koHaproxyMapFile
{
public:
    static constexpr int LockMilliseconds = 3000;

    explicit koHaproxyMapFile(const QString& path);

    // False with `error` set (what happened and what to do) on failure.
    bool put(const QString& key, const QString& value, QString& error) const;
    bool remove(const QString& key, QString& error) const;

    const QString& getPath() const { return path; }

private:
    // Drops the lines of `key`, then adds "<key> <value>" unless `value` is empty.
    bool rewrite(const QString& key, const QString& value, QString& error) const;

    QString path;
};
