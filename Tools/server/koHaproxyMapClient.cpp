#include "koHaproxyMapClient.h"

#include "koServerStatusEndpoint.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QTcpSocket>

#include <algorithm>

namespace {

// Sends `command` and reads the answer until HAProxy closes the connection,
// which it does after one command outside its interactive mode.
template <typename Socket>
bool talk(Socket& socket, const QByteArray& command, QByteArray& answer, QString& error)
{
    QElapsedTimer clock;
    clock.start();
    const auto left = [&clock] {
        return std::max(1, koHaproxyMapClient::DeadlineMilliseconds - static_cast<int>(clock.elapsed()));
    };
    if (!socket.waitForConnected(left())) {
        error = socket.errorString();
        return false;
    }
    socket.write(command);
    while (socket.bytesToWrite() > 0 && clock.elapsed() < koHaproxyMapClient::DeadlineMilliseconds)
        socket.waitForBytesWritten(left());
    while (clock.elapsed() < koHaproxyMapClient::DeadlineMilliseconds) {
        socket.waitForReadyRead(left());
        answer += socket.readAll();
        if (socket.state() != Socket::ConnectedState)
            break;
    }
    answer += socket.readAll();
    if (clock.elapsed() >= koHaproxyMapClient::DeadlineMilliseconds) {
        error = QStringLiteral("no answer within %1 ms").arg(koHaproxyMapClient::DeadlineMilliseconds);
        return false;
    }
    return true;
}

} // namespace

koHaproxyMapClient::koHaproxyMapClient(const QString& api, const QString& mapFile)
    : api(api)
    , mapFile(mapFile)
{
}

bool koHaproxyMapClient::add(const QString& key, const QString& value, QString& error) const
{
    return run(QStringLiteral("add map %1 %2 %3").arg(mapFile, key, value), error);
}

bool koHaproxyMapClient::remove(const QString& key, QString& error) const
{
    return run(QStringLiteral("del map %1 %2").arg(mapFile, key), error);
}

// HAProxy answers a map change that worked with an empty line, anything
// else with a line that says what was wrong.
bool koHaproxyMapClient::run(const QString& command, QString& error) const
{
    QByteArray answer;
    QString problem;
    if (!exchange(command.toUtf8() + '\n', answer, problem)) {
        error = QStringLiteral("HAProxy's runtime API at %1 did not take '%2': %3; check that HAProxy runs, that "
                               "its configuration has \"stats socket %1 level admin\" and that this user may "
                               "open that socket")
                    .arg(api, command, problem);
        return false;
    }
    const QString text = QString::fromUtf8(answer).trimmed();
    if (!text.isEmpty()) {
        error = QStringLiteral("HAProxy refused '%1': %2; check that its configuration uses the map '%3' and that "
                               "the runtime API is at admin level")
                    .arg(command, text, mapFile);
        return false;
    }
    return true;
}

bool koHaproxyMapClient::exchange(const QByteArray& command, QByteArray& answer, QString& error) const
{
    QString host;
    quint16 port = 0;
    if (!api.startsWith(QLatin1Char('/')) && koServerStatusEndpoint::splitAddress(api, host, port)) {
        QTcpSocket socket;
        socket.connectToHost(host, port);
        return talk(socket, command, answer, error);
    }
    QLocalSocket socket;
    socket.connectToServer(api);
    return talk(socket, command, answer, error);
}
