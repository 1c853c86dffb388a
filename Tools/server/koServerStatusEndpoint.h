#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpServer>

class QTcpSocket;
class koSessionServer;

// The HTTP endpoint of --status: GET /metrics and GET /status, anything else
// 404. One request per connection, closed after the answer. Whoever reaches
// it may be hostile: a request is bounded in size and in time, and so is the
// number of connections at once. Runs on the main thread's event loop.
class koServerStatusEndpoint
{
public:
    static constexpr int MaxRequestBytes = 8192;
    static constexpr int DeadlineMilliseconds = 3000;
    static constexpr int MaxConnections = 16;

    explicit koServerStatusEndpoint(koSessionServer& server);

    // Splits "host:port" or "[v6]:port"; false when it is not of that form.
    static bool splitAddress(const QString& hostPort, QString& host, quint16& port);
    // Listens on "host:port" (host: an address or a name). False with
    // `error` set when the text or the listening fails.
    bool listen(const QString& hostPort, QString& error);
    // "host:port" actually listened on.
    QString getAddress() const;

private:
    void acceptPending();
    void admit(QTcpSocket* socket);
    void read(QTcpSocket* socket);
    QByteArray answer(const QByteArray& requestLine);

    koSessionServer& server;
    // Connections open now; a new one over MaxConnections is closed at once.
    // Declared before the listener, whose sockets count down as they go.
    int connections = 0;
    QTcpServer listener;
};
