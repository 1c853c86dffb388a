#include "koSessionUserInfoCommand.h"

#include "koSessionCommandContext.h"

#include <QDataStream>

koSessionUserInfoCommand::koSessionUserInfoCommand()
    : koSessionUserInfoCommand(koSessionUser())
{
}

koSessionUserInfoCommand::koSessionUserInfoCommand(const koSessionUser& user)
    : koSessionCommand(true, false, true)
    , user(user)
{
    setServerCommand(true);
}

void koSessionUserInfoCommand::execute(koSessionClient* client) const
{
    if (client)
        executeIn(*koSessionCommandContext::of(client));
}

void koSessionUserInfoCommand::executeIn(koSessionCommandContext& context) const
{
    context.updateUserInfo(user);
}

void koSessionUserInfoCommand::putStateId(QDataStream&) const
{
    // Nothing beyond the command type: one state for every info update.
}

void koSessionUserInfoCommand::putData(QDataStream& stream) const
{
    user.put(stream);
}

void koSessionUserInfoCommand::getData(QDataStream& stream)
{
    user.get(stream);
}
