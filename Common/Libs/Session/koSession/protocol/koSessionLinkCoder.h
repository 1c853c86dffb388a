#pragma once

#include <QByteArray>
#include <QString>

// Makes and reads session links "<address>/<identifier>": the identifier is
// 5 random bytes in hexadecimal; a protected link puts a 16-bit check value
// (low byte first) in front and enciphers all 7 with a key derived from the
// password. Static, stateless; any thread; never throws for a malformed link.
class koSessionLinkCoder
{
public:
    // A new link with a fresh random identifier; an empty password makes an
    // unprotected link.
    static QString create(const QString& address, const QString& password);
    // Splits `link` into `address` and `sessionId` and answers whether it is
    // usable with `password`. Fills both outputs even when it answers false.
    static bool tryDecrypt(const QString& password, const QString& link, QString& address, QString& sessionId);

private:
    // Enciphers or deciphers `data` in place; applying it twice gives back
    // the original bytes.
    static void crypt(const QString& password, QByteArray& data);
};
