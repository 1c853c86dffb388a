#include "koHaproxyMapClient.h"

#include "koServerStatusEndpoint.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QTcpSocket>

#include <algorithm>

namespace {

// Why a connection to the API failed, and what to do, in the user's terms:
// Qt calls a missing socket file an "Invalid name".
QString connectProblem(const QLocalSocket& socket, const QString& api)
{
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        return QStringLiteral("there is no socket at %1: start HAProxy with deploy/haproxy/kosession.cfg, or give "
                              "--haproxy-socket the path its \"stats socket\" line names")
            .arg(api);
    case QLocalSocket::ConnectionRefusedError:
        return QStringLiteral("nothing listens on the socket %1 (left behind by a HAProxy that stopped?): start "
                              "HAProxy, or give --haproxy-socket the socket of the one running")
            .arg(api);
    case QLocalSocket::SocketAccessError:
        return QStringLiteral("this user may not open the socket %1: run kosession-server as HAProxy's user, or "
                              "give the \"stats socket\" line a group you share (mode 660 group ...)")
            .arg(api);
    default:
        return QStringLiteral("cannot open the socket %1 (%2): check that HAProxy runs and that its configuration "
                              "has \"stats socket %1 level admin\"")
            .arg(api, socket.errorString());
    }
}

QString connectProblem(const QTcpSocket& socket, const QString& api)
{
    if (socket.error() == QAbstractSocket::ConnectionRefusedError)
        return QStringLiteral("nothing listens at %1: start HAProxy, or give --haproxy-socket the address its "
                              "\"stats socket\" line names")
            .arg(api);
    return QStringLiteral("cannot reach HAProxy's runtime API at %1 (%2): check that HAProxy runs and that its "
                          "configuration has \"stats socket %1 level admin\"")
        .arg(api, socket.errorString());
}

// Sends `command` and reads the answer until HAProxy closes the connection,
// which it does after one command outside its interactive mode.
template <typename Socket>
bool talk(Socket& socket, const QString& api, const QString& command, QByteArray& answer, QString& error)
{
    QElapsedTimer clock;
    clock.start();
    const auto left = [&clock] {
        return std::max(1, koHaproxyMapClient::DeadlineMilliseconds - static_cast<int>(clock.elapsed()));
    };
    if (!socket.waitForConnected(left())) {
        error = connectProblem(socket, api);
        return false;
    }
    socket.write(command.toUtf8() + '\n');
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
        error = QStringLiteral("HAProxy's runtime API at %1 did not answer '%2' within %3 ms; check that HAProxy "
                               "runs and that its configuration has \"stats socket %1 level admin\"")
                    .arg(api, command)
                    .arg(koHaproxyMapClient::DeadlineMilliseconds);
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
    return run(QStringLiteral("del map %1 %2").arg(mapFile, key), error, QStringLiteral("Key not found."))
        && run(QStringLiteral("add map %1 %2 %3").arg(mapFile, key, value), error);
}

bool koHaproxyMapClient::remove(const QString& key, QString& error) const
{
    return run(QStringLiteral("del map %1 %2").arg(mapFile, key), error);
}

bool koHaproxyMapClient::contains(const QString& key, bool& found, QString& error) const
{
    QByteArray answer;
    if (!exchange(QStringLiteral("get map %1 %2").arg(mapFile, key), answer, error))
        return false;
    found = answer.contains("found=yes");
    if (found || answer.contains("found=no"))
        return true;
    error = QStringLiteral("HAProxy did not look up '%1' in its map '%2': %3; check that its configuration uses "
                           "that map")
                .arg(key, mapFile, QString::fromUtf8(answer).trimmed());
    return false;
}

bool koHaproxyMapClient::isLocal() const
{
    QString host;
    quint16 port = 0;
    return api.startsWith(QLatin1Char('/')) || !koServerStatusEndpoint::splitAddress(api, host, port);
}

bool koHaproxyMapClient::run(const QString& command, QString& error, const QString& tolerated) const
{
    QByteArray answer;
    if (!exchange(command, answer, error))
        return false;
    const QString text = QString::fromUtf8(answer).trimmed();
    if (!text.isEmpty() && text != tolerated) {
        error = QStringLiteral("HAProxy refused '%1': %2; check that its configuration uses the map '%3' and that "
                               "the runtime API is at admin level")
                    .arg(command, text, mapFile);
        return false;
    }
    return true;
}

bool koHaproxyMapClient::exchange(const QString& command, QByteArray& answer, QString& error) const
{
    if (!isLocal()) {
        QString host;
        quint16 port = 0;
        koServerStatusEndpoint::splitAddress(api, host, port);
        QTcpSocket socket;
        socket.connectToHost(host, port);
        return talk(socket, api, command, answer, error);
    }
    QLocalSocket socket;
    socket.connectToServer(api);
    return talk(socket, api, command, answer, error);
}
