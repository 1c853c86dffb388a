#include "koUserLookup.h"

#include "koTerminalText.h"

#include "koSession.h"

#include <vector>

namespace {

std::vector<const koSessionUser*> matching(const std::vector<koSessionUser>& users, const QString& typed)
{
    std::vector<const koSessionUser*> found;
    for (const koSessionUser& user : users) {
        bool isNumber = false;
        const uint number = typed.toUInt(&isNumber);
        if (isNumber ? number == user.getId() : user.getName().startsWith(typed, Qt::CaseInsensitive))
            found.push_back(&user);
    }
    // A whole name wins over the longer names that it begins.
    for (const koSessionUser* user : found) {
        if (found.size() > 1 && user->getName().compare(typed, Qt::CaseInsensitive) == 0)
            return {user};
    }
    return found;
}

} // namespace

unsigned short koUserLookup::findOther(const QString& typed, const QString& verb, QString& error)
{
    const std::vector<koSessionUser> users = koSession::the().getUsers();
    const std::vector<const koSessionUser*> found = matching(users, typed);
    const QString shown = koTerminalText::escaped(typed);
    if (found.empty())
        error = QStringLiteral("no participant '%1' in the session; 'users' lists them").arg(shown);
    else if (found.size() > 1)
        error = QStringLiteral("'%1' names %2 participants; type more of the name or the number").arg(shown).arg(found.size());
    else if (found.front()->getId() == koSession::the().getUser().getId())
        error = QStringLiteral("you cannot %1 yourself").arg(verb);
    return error.isEmpty() ? found.front()->getId() : 0;
}
