#include "koBenchServer.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace {

constexpr std::chrono::seconds StartTimeout(15);

} // namespace

koBenchServer::koBenchServer() = default;

koBenchServer::~koBenchServer()
{
    if (process && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
}

void koBenchServer::start(const QString& program, const QStringList& extra)
{
    folder = std::make_unique<QTemporaryDir>();
    if (!folder->isValid())
        throw std::runtime_error("cannot make a temporary folder for the server's output");
    const QString output = folder->filePath(QStringLiteral("server.log"));
    process = std::make_unique<QProcess>();
    process->setStandardOutputFile(output);
    process->setStandardErrorFile(folder->filePath(QStringLiteral("server.err")));
    process->start(program, QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--address"),
                                        QStringLiteral("127.0.0.1")}
                                + extra);
    if (!process->waitForStarted(10000))
        throw std::runtime_error("cannot start " + program.toStdString() + ": "
                                 + process->errorString().toStdString());

    const QRegularExpression linkLine(QStringLiteral("^Session link: (\\S+)$"),
                                      QRegularExpression::MultilineOption);
    const auto deadline = std::chrono::steady_clock::now() + StartTimeout;
    while (std::chrono::steady_clock::now() < deadline && process->state() == QProcess::Running) {
        QFile file(output);
        if (file.open(QIODevice::ReadOnly)) {
            const QRegularExpressionMatch match = linkLine.match(QString::fromUtf8(file.readAll()));
            if (match.hasMatch()) {
                link = match.captured(1);
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("kosession-server printed no session link");
}

const QString& koBenchServer::getLink() const
{
    return link;
}

long long koBenchServer::getPid() const
{
    return process ? process->processId() : 0;
}

QString koBenchServer::readStatusFile(const char* name) const
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(getPid()).arg(QString::fromLatin1(name)));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(std::string("cannot read /proc/<server>/") + name);
    return QString::fromLatin1(file.readAll());
}

double koBenchServer::getCpuSeconds() const
{
    // The command name may hold spaces, so the fields are counted after its ')'.
    const QString stat = readStatusFile("stat");
    const QStringList fields = stat.mid(stat.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
    if (fields.size() < 13)
        throw std::runtime_error("unexpected /proc/<server>/stat");
    // Fields 14 (utime) and 15 (stime) of the whole line; 12 and 13 after the name.
    const double ticks = fields[11].toDouble() + fields[12].toDouble();
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double koBenchServer::getResidentBytes() const
{
    const QRegularExpression rss(QStringLiteral("^VmRSS:\\s+(\\d+) kB"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = rss.match(readStatusFile("status"));
    if (!match.hasMatch())
        throw std::runtime_error("no VmRSS in /proc/<server>/status");
    return match.captured(1).toDouble() * 1024.0;
}

bool koBenchServer::waitForExit(std::chrono::milliseconds timeout)
{
    if (!process || process->state() == QProcess::NotRunning)
        return true;
    if (process->waitForFinished(static_cast<int>(timeout.count())))
        return true;
    process->kill();
    process->waitForFinished(5000);
    return false;
}
