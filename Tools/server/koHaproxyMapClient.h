#pragma once

#include <QByteArray>
#include <QString>

// Changes one map of a running HAProxy through its runtime API (the "stats
// socket" at admin level), so that HAProxy routes a session to this server
// without a reload. One command per connection, each bounded in time.
// Any thread; blocking.
class koHaproxyMapClient
{
public:
    static constexpr int DeadlineMilliseconds = 3000;

    // `api`: "host:port" or the path of a Unix socket. `mapFile`: the map as
    // HAProxy's configuration names it.
    koHaproxyMapClient(const QString& api, const QString& mapFile);

    // False with `error` set (what happened and what to do) on failure.
    // Adding replaces an entry the key already has, such as one a killed
    // server of the same session left behind.
    bool add(const QString& key, const QString& value, QString& error) const;
    bool remove(const QString& key, QString& error) const;
    // Whether the running HAProxy's map holds `key`.
    bool contains(const QString& key, bool& found, QString& error) const;

    const QString& getApi() const { return api; }
    // Whether the API is a Unix socket, so that HAProxy runs on this machine.
    bool isLocal() const;

private:
    // HAProxy answers a map change that worked with an empty line; `tolerated`
    // is another answer that counts as success.
    bool run(const QString& command, QString& error, const QString& tolerated = QString()) const;
    bool exchange(const QString& command, QByteArray& answer, QString& error) const;

    QString api;
    QString mapFile;
};
