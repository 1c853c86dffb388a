#include "koSessionLinkCoder.h"

#include "koCrypt.h"

#include <QCryptographicHash>
#include <QUuid>

#include <vector>

namespace {

constexpr int sessionIdSize = 5;
constexpr int checkValueSize = 2;
constexpr int protectedIdSize = checkValueSize + sessionIdSize;

quint16 checkValueOf(const QByteArray& sessionId)
{
    return qChecksum(sessionId.constData(), static_cast<uint>(sessionId.size()));
}

} // namespace

QString koSessionLinkCoder::create(const QString& address, const QString& password)
{
    const QByteArray digest = QCryptographicHash::hash(QUuid::createUuid().toString().toUtf8(),
                                                       QCryptographicHash::Sha256);
    QByteArray bytes = digest.left(sessionIdSize);
    if (!password.isEmpty()) {
        const quint16 check = checkValueOf(bytes);
        bytes.prepend(char(check >> 8));
        bytes.prepend(char(check & 0xff));
        crypt(password, bytes);
    }
    return address + QLatin1Char('/') + QString::fromLatin1(bytes.toHex());
}

bool koSessionLinkCoder::tryDecrypt(const QString& password, const QString& link, QString& address,
                                    QString& sessionId)
{
    const QString separator = QStringLiteral("/");
    address = link.section(separator, 0, 0);
    sessionId = link.section(separator, 1, -1);
    QByteArray bytes = QByteArray::fromHex(sessionId.toUtf8());

    // Only the decoded length tells a protected link from an unprotected one.
    const bool isProtected = bytes.size() == protectedIdSize;
    if (password.isEmpty())
        return !isProtected;
    if (!isProtected)
        return false;

    crypt(password, bytes);
    const quint16 stored = quint16(quint8(bytes.at(0)) | (quint8(bytes.at(1)) << 8));
    bytes.remove(0, checkValueSize);
    // A wrong password shows only as a check value that does not match.
    if (stored != checkValueOf(bytes))
        return false;
    sessionId = QString::fromLatin1(bytes.toHex());
    return true;
}

void koSessionLinkCoder::crypt(const QString& password, QByteArray& data)
{
    const QByteArray digest = QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256);
    const std::vector<unsigned char> key(digest.constBegin(), digest.constEnd());
    koCrypt coder(key);
    QByteArray coded;
    coded.reserve(data.size());
    for (const char byte : qAsConst(data))
        coded.append(char(coder.code(static_cast<unsigned char>(byte))));
    data = coded;
}
