#include "koServerStatusEndpoint.h"

#include "koServerStatusReport.h"

#include "koSessionServer.h"

#include "koLog.h"
#include "koSocketAddress.h"

#include <QHostInfo>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray response(const char* status, const char* contentType, const QByteArray& body)
{
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray plain(const char* status)
{
    return response(status, "text/plain; charset=utf-8", QByteArray(status) + '\n');
}

QHostAddress resolve(const QString& host)
{
    const QHostAddress numeric(host);
    if (!numeric.isNull())
        return numeric;
    const QList<QHostAddress> found = QHostInfo::fromName(host).addresses();
    return found.isEmpty() ? QHostAddress() : found.first();
}

} // namespace

koServerStatusEndpoint::koServerStatusEndpoint(koSessionServer& server)
    : server(server)
{
    listener.setMaxPendingConnections(MaxConnections);
    QObject::connect(&listener, &QTcpServer::newConnection, [this] { acceptPending(); });
}

bool koServerStatusEndpoint::splitAddress(const QString& hostPort, QString& host, quint16& port)
{
    static const QRegularExpression form(QStringLiteral("^\\[?([^\\[\\]]+?)\\]?:(\\d{1,5})$"));
    const QRegularExpressionMatch match = form.match(hostPort);
    const int number = match.captured(2).toInt();
    if (!match.hasMatch() || number > 65535)
        return false;
    host = match.captured(1);
    port = static_cast<quint16>(number);
    return true;
}

bool koServerStatusEndpoint::listen(const QString& hostPort, QString& error)
{
    QString host;
    quint16 port = 0;
    if (!splitAddress(hostPort, host, port)) {
        error = QStringLiteral("--status needs host:port, such as 127.0.0.1:9889, not '%1'").arg(hostPort);
        return false;
    }
    const QHostAddress address = resolve(host);
    if (address.isNull() || !listener.listen(address, port)) {
        error = QStringLiteral("cannot listen for status requests on %1: %2")
                    .arg(hostPort, address.isNull() ? QStringLiteral("unknown host") : listener.errorString());
        return false;
    }
    return true;
}

QString koServerStatusEndpoint::getAddress() const
{
    const koSocketAddress address(listener.serverAddress().toString().toStdString(), listener.serverPort());
    return QString::fromStdString(address.toString());
}

void koServerStatusEndpoint::acceptPending()
{
    while (QTcpSocket* socket = listener.nextPendingConnection()) {
        if (connections >= MaxConnections) {
            koLog::debug("Status request from %s refused: %d connections are open",
                         socket->peerAddress().toString().toUtf8().constData(), connections);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        admit(socket);
    }
}

void koServerStatusEndpoint::admit(QTcpSocket* socket)
{
    ++connections;
    // Qt buffers no more than one byte past the bound, so a flood costs nothing.
    socket->setReadBufferSize(MaxRequestBytes + 1);
    QObject::connect(socket, &QObject::destroyed, [this] { --connections; });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
    // Covers the request and the answer: a reader that never takes it goes too.
    QTimer::singleShot(DeadlineMilliseconds, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

// Waits for the whole header, and answers only its request line.
void koServerStatusEndpoint::read(QTcpSocket* socket)
{
    const QByteArray received = socket->peek(MaxRequestBytes + 1);
    const bool complete = received.contains("\r\n\r\n") || received.contains("\n\n");
    if (!complete && received.size() <= MaxRequestBytes)
        return;
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    const QByteArray reply = complete ? answer(received.left(received.indexOf('\n')).trimmed())
                                      : plain("431 Request Header Fields Too Large");
    socket->write(reply);
    socket->disconnectFromHost();
}

QByteArray koServerStatusEndpoint::answer(const QByteArray& requestLine)
{
    koLog::debug("Status request: %s", requestLine.left(200).constData());
    const QList<QByteArray> words = requestLine.split(' ');
    if (words.size() != 3 || !words[2].startsWith("HTTP/"))
        return plain("400 Bad Request");
    if (words[0] != "GET")
        return plain("405 Method Not Allowed");
    if (words[1] == "/metrics")
        return response("200 OK", "text/plain; version=0.0.4; charset=utf-8",
                        koServerStatusReport::metrics(server.getStatistics()));
    if (words[1] == "/status")
        return response("200 OK", "application/json", koServerStatusReport::status(server.getParticipants()));
    return plain("404 Not Found");
}
