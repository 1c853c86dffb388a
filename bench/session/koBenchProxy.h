#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// HAProxy run as a child process with the shipped configuration, on a free
// loopback port with its map and runtime API in a folder of its own, so that
// a scenario's participants reach their server through it (--via-haproxy).
// Main thread only; the destructor ends it.
class koBenchProxy
{
public:
    koBenchProxy() = default;
    ~koBenchProxy();

    koBenchProxy(const koBenchProxy&) = delete;
    koBenchProxy& operator=(const koBenchProxy&) = delete;

    // Starts haproxy with `config` and waits for its runtime API; throws std::runtime_error.
    void start(const QString& config);
    // What kosession-server needs to register its session with this proxy.
    QStringList getServerArguments() const;

private:
    QTemporaryDir folder;
    QProcess process;
    quint16 publicPort = 0;
};
