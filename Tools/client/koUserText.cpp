#include "koUserText.h"

#include "koSessionUser.h"
#include "koTerminalText.h"

#include <QStringList>

QString koUserText::describe(const koSessionUser& user)
{
    QStringList parts;
    parts.append(name(user.getId(), user.getName()) + QLatin1Char(' ') + user.getColor().name());
    if (user.getIsSpectator())
        parts.append(QStringLiteral("spectating user %1").arg(user.getSpectatedUserId()));
    if (user.getSpectatorCount() > 0)
        parts.append(QStringLiteral("watched by %1").arg(user.getSpectatorCount()));
    if (user.getIsHmd())
        parts.append(QStringLiteral("HMD"));
    return parts.join(QStringLiteral(", "));
}

QString koUserText::name(unsigned short id, const QString& name)
{
    return QStringLiteral("user %1 \"%2\"").arg(id).arg(koTerminalText::escaped(name));
}
