#pragma once

#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QProcess;

// A program run as a child process and driven through its standard input,
// with every line it prints kept and stamped with the moment it was read.
// The demo and the end-to-end tests drive the server and the participants
// with it. Waits run the event loop, so all children are read meanwhile.
//
// A child never outlives its owner: the destructor kills a child that still
// runs and reaps it, and on Linux a child is also killed when the process
// that started it dies. Main thread only (the one running the event loop).
class koChildProcess : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    struct Line
    {
        QString text;
        Clock::time_point when; // when this process read it
        bool fromError = false; // printed on standard error
    };
    // Sees each line as it is read.
    using LineObserver = std::function<void(const koChildProcess& child, const Line& line)>;

    explicit koChildProcess(const QString& label);
    ~koChildProcess() override;

    koChildProcess(const koChildProcess&) = delete;
    koChildProcess& operator=(const koChildProcess&) = delete;

    const QString& getLabel() const;
    void setLineObserver(LineObserver observer);

    // Starts `program`; answers whether it runs (false after `timeout`).
    bool start(const QString& program, const QStringList& arguments,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Writes one line to the child's standard input; answers when.
    Clock::time_point writeLine(const QString& line);
    void closeInput();
    // Sends SIGINT, as Ctrl-C in a terminal would.
    void interrupt();
    // Kills the child at once (SIGKILL) and reaps it.
    void kill();

    bool isRunning() const;
    // Waits until the child has exited; false when it still runs after `timeout`.
    bool waitForExit(std::chrono::milliseconds timeout);
    // The exit status after a normal exit; -1 while it runs or after a crash or kill.
    int getExitCode() const;

    const std::vector<Line>& getLines() const;
    // Index of the first line from `from` on that `pattern` matches; -1 if none.
    int findLine(const QRegularExpression& pattern, int from = 0) const;
    int countLines(const QRegularExpression& pattern) const;
    // Waits for such a line (the child may have exited meanwhile); its index or -1.
    int waitForLine(const QRegularExpression& pattern, std::chrono::milliseconds timeout, int from = 0);
    // Everything printed so far, one line each, for failure messages.
    QString getText() const;

private:
    void readChannel(bool fromError);
    void addLine(const QByteArray& bytes, bool fromError);
    void flushPartialLines();

    QString label;
    std::unique_ptr<QProcess> process;
    LineObserver observer;
    std::vector<Line> lines;
    QByteArray pendingOutput; // read, not yet ended by a newline
    QByteArray pendingError;
};
