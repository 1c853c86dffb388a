#include "koSessionUsersCommand.h"

#include "koSessionCommandContext.h"

#include <QDataStream>

koSessionUsersCommand::koSessionUsersCommand()
    : koSessionCommand(true, true, false)
{
}

koSessionUsersCommand::koSessionUsersCommand(const std::vector<koSessionUser>& users)
    : koSessionCommand(true, true, false)
    , users(users)
{
}

void koSessionUsersCommand::execute(koSessionClient* client) const
{
    if (client)
        executeIn(*koSessionCommandContext::of(client));
}

void koSessionUsersCommand::executeIn(koSessionCommandContext& context) const
{
    context.setUsers(users);
}

void koSessionUsersCommand::putData(QDataStream& stream) const
{
    stream << qint32(users.size());
    for (const koSessionUser& user : users)
        user.put(stream);
}

void koSessionUsersCommand::getData(QDataStream& stream)
{
    users.clear();
    qint32 count = 0;
    stream >> count;
    // The count is taken as it comes and compared unsigned. Nothing is
    // reserved from it, and the loop ends once the stream has failed, so a
    // bogus count costs no more than the bytes that really arrived.
    for (quint32 read = 0; read < quint32(count) && stream.status() == QDataStream::Ok; ++read) {
        koSessionUser user;
        user.get(stream);
        users.push_back(user);
    }
}
