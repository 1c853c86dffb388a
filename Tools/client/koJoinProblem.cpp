#include "koJoinProblem.h"

#include "koSession.h"

#include <QRegularExpression>

namespace {

// The identifier field of the links the library makes: 10 hexadecimal
// digits, or 14 when a password protects the link.
constexpr int OpenDigits = 10;
constexpr int ProtectedDigits = 14;

bool isSessionLink(const QString& link)
{
    static const QRegularExpression shape(QStringLiteral("^[^/]+/([0-9a-fA-F]{%1}|[0-9a-fA-F]{%2})$")
                                              .arg(OpenDigits)
                                              .arg(ProtectedDigits));
    return shape.match(link).hasMatch();
}

} // namespace

QString koJoinProblem::ofLink(const QString& link, const QString& password, const QString& origin)
{
    if (!isSessionLink(link))
        return QStringLiteral("not a session link: expected host[:port]/identifier");
    const bool protectedLink = link.section(QLatin1Char('/'), 1).size() == ProtectedDigits;
    if (protectedLink && password.isEmpty())
        return QStringLiteral("this link is protected: give its password with --password-file, "
                              "KOSESSION_PASSWORD or --password");
    // A password from the environment may be meant for another session.
    if (!protectedLink && !password.isEmpty())
        return QStringLiteral("this link has no password: join it without %1").arg(origin);
    QString address;
    QString sessionId;
    if (!koSession::tryDecryptSessionLink(password, link, address, sessionId))
        return QStringLiteral("the password from %1 does not match this link").arg(origin);
    return QString();
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
