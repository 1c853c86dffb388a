#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class QProcess;
class QTemporaryDir;

// kosession-server run as a child process on a free loopback port, so that its
// CPU time and resident memory can be read apart from the participants'.
// Its output goes to a file: a pipe nobody drains would stall its log lines.
// Main thread only; the destructor ends a server that still runs.
class koBenchServer
{
public:
    koBenchServer();
    ~koBenchServer();

    koBenchServer(const koBenchServer&) = delete;
    koBenchServer& operator=(const koBenchServer&) = delete;

    // Starts `program` and waits for its session link; throws std::runtime_error.
    // `extra` follows the bench's own arguments, so it may override them.
    void start(const QString& program, const QStringList& extra = QStringList());
    const QString& getLink() const;
    long long getPid() const;
    // User plus system CPU seconds the server has used so far.
    double getCpuSeconds() const;
    // Resident memory now, in bytes.
    double getResidentBytes() const;
    // Waits for the server to end by itself (the last participant left); kills
    // it after `timeout`. Answers whether it ended by itself.
    bool waitForExit(std::chrono::milliseconds timeout);

private:
    QString readStatusFile(const char* name) const;

    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<QProcess> process;
    QString link;
};
