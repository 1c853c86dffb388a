#include "koSession.h"

#include "koCrypt.h"

#include <QCryptographicHash>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

// A protected link built from the primitives: the identifier's check value
// (low byte first) and the identifier, coded with the SHA-256 of the password.
QString protectedLink(const QString& address, const QString& password, const QByteArray& sessionId)
{
    const quint16 check = qChecksum(sessionId.constData(), uint(sessionId.size()));
    const QByteArray plain = QByteArray(1, char(check & 0xff)) + char(check >> 8) + sessionId;
    const QByteArray key = QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256);
    koCrypt coder(std::vector<unsigned char>(key.begin(), key.end()));
    QByteArray coded;
    for (const char byte : plain)
        coded.append(char(coder.code(static_cast<unsigned char>(byte))));
    return address + "/" + QString::fromLatin1(coded.toHex());
}

} // namespace

TEST(SessionLink, LinksAndPasswords)
{
    const QString secret = protectedLink("10.0.0.5", "secret", QByteArray::fromHex("0a1b2c3d4e"));
    const QString field = secret.section('/', 1);
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
        {"unprotected, upper case kept as typed", "", "[::1]:9000/01234ABCDE", true, "[::1]:9000", "01234ABCDE"},
        {"unprotected, any length but 7 bytes", "", "h/00112233445566778899", true, "h", "00112233445566778899"},
        {"unprotected, odd digit count", "", "host/abc", true, "host", "abc"},
        {"unprotected, empty field", "", "host/", true, "host", ""},
        {"no separator", "", "host:9000", true, "host:9000", ""},
        {"no separator with a password", "secret", "host:9000", false, "host:9000", ""},
        {"further separators belong to the field", "", "host/01/23", true, "host", "01/23"},
        {"unprotected with a password", "secret", "host/0123456789", false, "host", "0123456789"},
        {"7 bytes without a password", "", "host/00112233445566", false, "host", "00112233445566"},
        {"protected", "secret", secret, true, "10.0.0.5", "0a1b2c3d4e"},
        {"protected, upper case, returned lower case", "secret", secret.toUpper(), true, "10.0.0.5", "0a1b2c3d4e"},
        {"protected, non-digits skipped", "secret", "10.0.0.5/" + field.left(6) + "-" + field.mid(6), true,
         "10.0.0.5", "0a1b2c3d4e"},
        {"protected without the password", "", secret, false, "10.0.0.5", field},
        {"protected, wrong case", "Secret", secret, false, "10.0.0.5", field},
        {"protected, password cut short", "secre", secret, false, "10.0.0.5", field},
        {"protected, one digit missing", "secret", secret.left(secret.size() - 1), false, "10.0.0.5", field.left(13)},
    };
    for (const Row& row : rows) {
        QString address = "untouched";
        QString sessionId = "untouched";
        EXPECT_EQ(koSession::tryDecryptSessionLink(row.password, row.link, address, sessionId), row.usable) << row.what;
        EXPECT_EQ(address, row.address) << row.what;
        EXPECT_EQ(sessionId, row.sessionId) << row.what;
    }
}

TEST(SessionLink, NewLinksCarryAFreshIdentifier)
{
    for (const QString& password : {QString(), QStringLiteral("p\u00e4ssw\u00f6rd")}) {
        std::set<QString> links;
        for (int i = 0; i < 20; ++i) {
            const QString link = koSession::createSessionLink("192.168.1.20:8889", password);
            links.insert(link);
            QString address;
            QString sessionId;
            ASSERT_TRUE(koSession::tryDecryptSessionLink(password, link, address, sessionId));
            ASSERT_TRUE(QRegularExpression("^[0-9a-f]{10}$").match(sessionId).hasMatch());
            const QByteArray id = QByteArray::fromHex(sessionId.toLatin1());
            EXPECT_EQ(link, password.isEmpty() ? address + "/" + sessionId : protectedLink(address, password, id));
            EXPECT_FALSE(koSession::tryDecryptSessionLink(password.isEmpty() ? "x" : "", link, address, sessionId));
        }
        EXPECT_EQ(links.size(), 20u);
    }
}
