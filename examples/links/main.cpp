// kosession-links: a host makes a session link for its server, a participant
// splits it again with the password that came with it.
#include "koSession.h"

#include <QDebug>

int main()
{
    // An empty password makes and reads unprotected links.
    for (const QString password : {QStringLiteral("s3cret"), QString()}) {
        // Host: make a link for the server's address and hand it to the participants.
        const QString link = koSession::createSessionLink(QStringLiteral("192.168.1.20:8889"), password);
        qInfo() << link; // "192.168.1.20:8889/" and 14 hex digits, 10 without a password

        // Participant: split the link again with the password that came with it.
        QString address;
        QString sessionId;
        if (!koSession::tryDecryptSessionLink(password, link, address, sessionId)) {
            qWarning() << "Invalid session link or password";
            return 1;
        }
        qInfo() << "server" << address << "session" << sessionId; // 10 hex digits
    }
    return 0;
}
