#include "koJoinProblem.h"

#include "koSession.h"

#include <QRegularExpression>

namespace {

// The identifier field of a link that a password protects: 14 hexadecimal
// digits. Links without one carry any other identifier (the library makes 10).
constexpr int ProtectedDigits = 14;

bool opens(const QString& link, const QString& password)
{
    QString address;
    QString sessionId;
    return koSession::tryDecryptSessionLink(password, link, address, sessionId);
}

bool isHexIdentifier(const QString& sessionId)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]+$"));
    return hex.match(sessionId).hasMatch();
}

} // namespace

QString koJoinProblem::ofLink(const QString& link, const QString& password, const QString& origin)
{
    // Whatever the library takes is joined: the program judges nothing more.
    if (opens(link, password))
        return QString();
    const QString sessionId = link.section(QLatin1Char('/'), 1);
    if (!isHexIdentifier(sessionId))
        return QStringLiteral("not a session link: expected host[:port]/identifier");
    const bool protectedLink = sessionId.size() == ProtectedDigits;
    if (protectedLink && password.isEmpty())
        return QStringLiteral("this link is protected: give its password with --password-file, "
                              "KOSESSION_PASSWORD or --password");
    if (protectedLink)
        return QStringLiteral("the password from %1 does not match this link").arg(origin);
    // A password from the environment may be meant for another session.
    if (opens(link, QString()))
        return QStringLiteral("this link has no password: join it without %1").arg(origin);
    // An identifier that reads as a protected one's 7 bytes but has not its 14 digits.
    return QStringLiteral("not a session link: expected host[:port]/identifier");
}

QString koJoinProblem::ofFailure(const QString& error)
{
    // The socket layer's texts for a connection that nobody took.
    static const QRegularExpression unanswered(
        QStringLiteral("^Connection to (\\S+) (refused|timed out|failed)"));
    const QRegularExpressionMatch match = unanswered.match(error);
    if (!match.hasMatch())
        return error;
    return QStringLiteral("no server answers at %1; is it running?").arg(match.captured(1));
}
