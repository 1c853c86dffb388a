#include "koSessionEndCommand.h"

#include "koSessionClient.h"

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
    client->endForEverybody(reason);
}

void koSessionEndCommand::putData(QDataStream& stream) const
{
    stream << reason;
}

void koSessionEndCommand::getData(QDataStream& stream)
{
    stream >> reason;
}
