#include "koSessionEndCommand.h"

#include "koSessionCommandContext.h"

#include <QDataStream>

koSessionEndCommand::koSessionEndCommand()
    : koSessionEndCommand(QString())
{
}

koSessionEndCommand::koSessionEndCommand(const QString& reason)
    : koSessionCommand(false, false, true)
    , reason(reason)
{
}

void koSessionEndCommand::execute(koSessionClient* client) const
{
    if (client)
        executeIn(*koSessionCommandContext::of(client));
}

void koSessionEndCommand::executeIn(koSessionCommandContext& context) const
{
    context.endForEverybody(reason);
}

void koSessionEndCommand::putData(QDataStream& stream) const
{
    stream << reason;
}

void koSessionEndCommand::getData(QDataStream& stream)
{
    stream >> reason;
}
