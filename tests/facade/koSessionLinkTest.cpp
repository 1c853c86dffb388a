#include "koSession.h"

#include "koCrypt.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

// The link key coding, done here from the primitives so the tests pin the
// link format independently of the library's own routine.
QByteArray codeWithPassword(const QString& password, const QByteArray& data)
{
    const QByteArray digest = QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256);
    koCrypt coder(std::vector<unsigned char>(digest.begin(), digest.end()));
    QByteArray coded;
    for (const char byte : data)
        coded.append(char(coder.code(static_cast<unsigned char>(byte))));
    return coded;
}

// A protected link for a given identifier: check value low byte first, then
// the identifier, all coded with the password's key.
QString protectedLink(const QString& address, const QString& password, const QByteArray& sessionId)
{
    const quint16 check = qChecksum(sessionId.constData(), uint(sessionId.size()));
    QByteArray bytes;
    bytes.append(char(check & 0xff));
    bytes.append(char(check >> 8));
    bytes.append(sessionId);
    return address + "/" + QString::fromLatin1(codeWithPassword(password, bytes).toHex());
}

const QByteArray knownId = QByteArray::fromHex("0a1b2c3d4e");
const QString known = QStringLiteral("0a1b2c3d4e");

struct Decoded
{
    bool usable;
    QString address;
    QString sessionId;
};

Decoded decode(const QString& password, const QString& link)
{
    Decoded result{false, QStringLiteral("untouched"), QStringLiteral("untouched")};
    result.usable = koSession::tryDecryptSessionLink(password, link, result.address, result.sessionId);
    return result;
}

QString identifierField(const QString& link)
{
    return link.section('/', 1);
}

} // namespace

TEST(SessionLink, DecisionTable)
{
    const QString secretLink = protectedLink(QStringLiteral("10.0.0.5"), QStringLiteral("secret"), knownId);
    const QString secretField = identifierField(secretLink);
    struct Row
    {
        const char* what;
        QString password;
        QString link;
        bool usable;
        QString address;
        QString sessionId;
    };
    const std::vector<Row> rows = {
        {"unprotected", "", "host/0123456789", true, "host", "0123456789"},
        {"unprotected upper case kept as typed", "", "host/01234ABCDE", true, "host", "01234ABCDE"},
        {"unprotected with port", "", "10.0.0.5:9000/0123456789", true, "10.0.0.5:9000", "0123456789"},
        {"unprotected with ipv6 and port", "", "[::1]:9000/0123456789", true, "[::1]:9000", "0123456789"},
        {"unprotected, any length but 7 bytes", "", "host/00112233445566778899", true, "host",
         "00112233445566778899"},
        {"unprotected, odd digit count", "", "host/abc", true, "host", "abc"},
        {"unprotected, empty field", "", "host/", true, "host", ""},
        {"no separator", "", "host:9000", true, "host:9000", ""},
        {"no separator with password", "secret", "host:9000", false, "host:9000", ""},
        {"further separators belong to the field", "", "host/01/23", true, "host", "01/23"},
        {"unprotected with a password", "secret", "host/0123456789", false, "host", "0123456789"},
        {"protected", "secret", secretLink, true, "10.0.0.5", known},
        {"protected upper case, returned lower case", "secret", secretLink.toUpper(), true, "10.0.0.5", known},
        {"protected without password", "", secretLink, false, "10.0.0.5", secretField},
        {"protected with another password", "Secret", secretLink, false, "10.0.0.5", secretField},
        {"protected, password with a trailing space", "secret ", secretLink, false, "10.0.0.5", secretField},
        {"protected, password cut short", "secre", secretLink, false, "10.0.0.5", secretField},
        {"protected, password reversed", "terces", secretLink, false, "10.0.0.5", secretField},
        {"protected, digits in a field with separators", "secret",
         "10.0.0.5/" + secretField.left(6) + "-" + secretField.mid(6), true, "10.0.0.5", known},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Decoded decoded = decode(row.password, row.link);
        EXPECT_EQ(decoded.usable, row.usable);
        EXPECT_EQ(decoded.address, row.address);
        EXPECT_EQ(decoded.sessionId, row.sessionId);
    }
}

TEST(SessionLink, UnprotectedLinkHasTenLowerCaseDigits)
{
    const QString link = koSession::createSessionLink(QStringLiteral("192.168.1.20:8889"), QString());
    ASSERT_TRUE(link.startsWith(QStringLiteral("192.168.1.20:8889/")));
    const QString field = identifierField(link);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{10}$")).match(field).hasMatch()) << field.toStdString();

    const Decoded decoded = decode(QString(), link);
    EXPECT_TRUE(decoded.usable);
    EXPECT_EQ(decoded.address, QStringLiteral("192.168.1.20:8889"));
    EXPECT_EQ(decoded.sessionId, field);
    EXPECT_FALSE(decode(QStringLiteral("x"), link).usable);
}

TEST(SessionLink, ProtectedLinkCarriesCheckValueAndIdentifierCoded)
{
    const QString password = QStringLiteral("p\u00e4ssw\u00f6rd");
    const QString link = koSession::createSessionLink(QStringLiteral("host"), password);
    const QString field = identifierField(link);
    ASSERT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{14}$")).match(field).hasMatch()) << field.toStdString();

    const Decoded decoded = decode(password, link);
    ASSERT_TRUE(decoded.usable);
    EXPECT_EQ(decoded.address, QStringLiteral("host"));
    ASSERT_EQ(decoded.sessionId.size(), 10);

    // Decoding the field by hand gives the check value and the identifier.
    const QByteArray plain = codeWithPassword(password, QByteArray::fromHex(field.toLatin1()));
    const QByteArray sessionId = plain.mid(2);
    EXPECT_EQ(QString::fromLatin1(sessionId.toHex()), decoded.sessionId);
    const quint16 check = qChecksum(sessionId.constData(), uint(sessionId.size()));
    EXPECT_EQ(quint8(plain.at(0)), check & 0xff);
    EXPECT_EQ(quint8(plain.at(1)), check >> 8);

    EXPECT_FALSE(decode(QString(), link).usable);
    // A link made by hand from the same pieces reads the same.
    EXPECT_EQ(decode(password, protectedLink(QStringLiteral("host"), password, sessionId)).sessionId,
              decoded.sessionId);
}

TEST(SessionLink, EveryLinkDrawsANewIdentifier)
{
    for (const QString& password : {QString(), QStringLiteral("secret")}) {
        std::set<QString> links;
        for (int i = 0; i < 50; ++i)
            links.insert(koSession::createSessionLink(QStringLiteral("host"), password));
        EXPECT_EQ(links.size(), 50u);
    }
}
