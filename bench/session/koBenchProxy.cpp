#include "koBenchProxy.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>

#include <chrono>
#include <stdexcept>
#include <thread>

koBenchProxy::~koBenchProxy()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
}

void koBenchProxy::start(const QString& config)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("haproxy"),
                                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    if (program.isEmpty())
        throw std::runtime_error("--via-haproxy needs haproxy: run scripts/install-deps");
    QTcpServer probe;
    if (!folder.isValid() || !probe.listen(QHostAddress::LocalHost))
        throw std::runtime_error("cannot prepare a folder and a free port for haproxy");
    publicPort = probe.serverPort();
    probe.close();
    QFile(folder.filePath(QStringLiteral("kosession.map"))).open(QIODevice::WriteOnly);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KOSESSION_PUBLIC"), QStringLiteral("127.0.0.1:%1").arg(publicPort));
    environment.insert(QStringLiteral("KOSESSION_MAP"), folder.filePath(QStringLiteral("kosession.map")));
    environment.insert(QStringLiteral("KOSESSION_HAPROXY_API"), folder.filePath(QStringLiteral("api.sock")));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(folder.filePath(QStringLiteral("haproxy.log")));
    process.start(program, {QStringLiteral("-db"), QStringLiteral("-f"), config});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!QFile::exists(folder.filePath(QStringLiteral("api.sock")))) {
        if (process.state() == QProcess::NotRunning || std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("haproxy did not start with " + config.toStdString());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

QStringList koBenchProxy::getServerArguments() const
{
    return {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--address"),
            QStringLiteral("127.0.0.1:%1").arg(publicPort), QStringLiteral("--haproxy-socket"),
            folder.filePath(QStringLiteral("api.sock")), QStringLiteral("--haproxy-map"),
            folder.filePath(QStringLiteral("kosession.map"))};
}
