#include "koChildProcess.h"

#include "koEventWait.h"

#include <QProcess>

#include <algorithm>
#include <csignal>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;

// How long a killed child may take to be reaped.
constexpr int reapMilliseconds = 5000;

// Runs in the child between fork and exec: ties the child's life to the
// thread that started it, so a crashed or killed parent leaves nothing behind.
class LinkedProcess : public QProcess
{
public:
    LinkedProcess()
#ifdef Q_OS_LINUX
        : parentId(::getpid())
#endif
    {
    }

protected:
    void setupChildProcess() override
    {
#ifdef Q_OS_LINUX
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parentId)
            ::_exit(127); // the parent died before the line above
#endif
    }

private:
#ifdef Q_OS_LINUX
    pid_t parentId;
#endif
};

} // namespace

koChildProcess::koChildProcess(const QString& label)
    : label(label)
    , process(std::make_unique<LinkedProcess>())
{
    process->setProcessChannelMode(QProcess::SeparateChannels);
    connect(process.get(), &QProcess::readyReadStandardOutput, this, [this] { readChannel(false); });
    connect(process.get(), &QProcess::readyReadStandardError, this, [this] { readChannel(true); });
    connect(process.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, [this] {
        readChannel(false);
        readChannel(true);
        flushPartialLines();
    });
}

koChildProcess::~koChildProcess()
{
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(reapMilliseconds);
    }
    // Nothing the process object emits on its way out may reach this half
    // destroyed object.
    process->disconnect(this);
    process.reset();
}

const QString& koChildProcess::getLabel() const
{
    return label;
}

void koChildProcess::setLineObserver(LineObserver lineObserver)
{
    observer = std::move(lineObserver);
}

bool koChildProcess::start(const QString& program, const QStringList& arguments, std::chrono::milliseconds timeout)
{
    process->start(program, arguments);
    return process->waitForStarted(static_cast<int>(timeout.count()));
}

koChildProcess::Clock::time_point koChildProcess::writeLine(const QString& line)
{
    process->write(line.toUtf8() + '\n');
    // Hand the bytes to the pipe now rather than at the next event round, so
    // that the time returned is when the child can read them.
    process->waitForBytesWritten(0);
    return Clock::now();
}

void koChildProcess::closeInput()
{
    process->closeWriteChannel();
}

void koChildProcess::interrupt()
{
    const qint64 id = process->processId();
    if (id > 0 && process->state() == QProcess::Running)
        ::kill(static_cast<pid_t>(id), SIGINT);
}

void koChildProcess::kill()
{
    if (process->state() == QProcess::NotRunning)
        return;
    process->kill();
    process->waitForFinished(reapMilliseconds);
    readChannel(false);
    readChannel(true);
    flushPartialLines();
}

bool koChildProcess::isRunning() const
{
    return process->state() != QProcess::NotRunning;
}

bool koChildProcess::waitForExit(std::chrono::milliseconds timeout)
{
    return koEventWait::until([this] { return !isRunning(); }, timeout);
}

int koChildProcess::getExitCode() const
{
    if (isRunning() || process->exitStatus() != QProcess::NormalExit)
        return -1;
    return process->exitCode();
}

const std::vector<koChildProcess::Line>& koChildProcess::getLines() const
{
    return lines;
}

int koChildProcess::findLine(const QRegularExpression& pattern, int from) const
{
    for (int i = std::max(from, 0); i < static_cast<int>(lines.size()); ++i) {
        if (pattern.match(lines[static_cast<std::size_t>(i)].text).hasMatch())
            return i;
    }
    return -1;
}

int koChildProcess::countLines(const QRegularExpression& pattern) const
{
    int count = 0;
    for (const Line& line : lines)
        count += pattern.match(line.text).hasMatch() ? 1 : 0;
    return count;
}

int koChildProcess::waitForLine(const QRegularExpression& pattern, std::chrono::milliseconds timeout, int from)
{
    int found = -1;
    // Searching only what arrived since the last look keeps long waits cheap.
    int searched = from;
    koEventWait::until(
        [&] {
            found = findLine(pattern, searched);
            searched = std::max(searched, static_cast<int>(lines.size()));
            return found >= 0 || !isRunning();
        },
        timeout);
    if (found < 0)
        found = findLine(pattern, from);
    return found;
}

QString koChildProcess::getText() const
{
    QStringList texts;
    for (const Line& line : lines)
        texts.append((line.fromError ? QStringLiteral("! ") : QStringLiteral("  ")) + line.text);
    return texts.join(QLatin1Char('\n'));
}

void koChildProcess::readChannel(bool fromError)
{
    QByteArray& pending = fromError ? pendingError : pendingOutput;
    pending += fromError ? process->readAllStandardError() : process->readAllStandardOutput();
    for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
        addLine(pending.left(end), fromError);
        pending.remove(0, end + 1);
    }
}

void koChildProcess::addLine(const QByteArray& bytes, bool fromError)
{
    QString text = QString::fromUtf8(bytes);
    // A progress bar redraws its line with carriage returns: keep what it
    // showed last.
    const int lastReturn = text.lastIndexOf(QLatin1Char('\r'));
    if (lastReturn >= 0)
        text = text.mid(lastReturn + 1);
    lines.push_back(Line{text, Clock::now(), fromError});
    if (observer)
        observer(*this, lines.back());
}

void koChildProcess::flushPartialLines()
{
    if (!pendingOutput.isEmpty())
        addLine(pendingOutput, false);
    if (!pendingError.isEmpty())
        addLine(pendingError, true);
    pendingOutput.clear();
    pendingError.clear();
}
