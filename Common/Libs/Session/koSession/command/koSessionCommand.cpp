#include "koSessionCommand.h"

#include "koSessionCommandContext.h"
#include "koSessionCommandFactory.h"

koSessionCommand::koSessionCommand(bool stateMergable, bool echoing, bool transient)
    : stateMergable(stateMergable)
    , echoing(echoing)
    , transient(transient)
{
}

koSessionCommand::koSessionCommand(const koSessionCommand& other) = default;
koSessionCommand::koSessionCommand(koSessionCommand&& other) = default;
koSessionCommand& koSessionCommand::operator=(const koSessionCommand& other) = default;
koSessionCommand& koSessionCommand::operator=(koSessionCommand&& other) = default;
koSessionCommand::~koSessionCommand() = default;

unsigned int koSessionCommand::getType() const
{
    return koSessionCommandFactory::the().getType(this);
}

void koSessionCommand::setStateMergable(bool value)
{
    stateMergable = value;
}

bool koSessionCommand::isStateMergable() const
{
    return stateMergable;
}

void koSessionCommand::setEchoing(bool value)
{
    echoing = value;
}

bool koSessionCommand::isEchoing() const
{
    return echoing;
}

void koSessionCommand::setTransient(bool value)
{
    transient = value;
}

bool koSessionCommand::isTransient() const
{
    return transient;
}

void koSessionCommand::setServerCommand(bool value)
{
    serverCommand = value;
}

bool koSessionCommand::isServerCommand() const
{
    return serverCommand;
}

void koSessionCommand::setDestinationUserId(unsigned short value)
{
    destinationUserId = value;
}

unsigned short koSessionCommand::getDestinationUserId() const
{
    return destinationUserId;
}

void koSessionCommand::setChangedBy(unsigned short value)
{
    changedBy = value;
}

unsigned short koSessionCommand::getChangedBy() const
{
    return changedBy;
}

void koSessionCommand::execute(koSessionClient*) const
{
}

void koSessionCommand::executeIn(koSessionCommandContext& context) const
{
    execute(context.getClient());
}

void koSessionCommand::putStateId(QDataStream&) const
{
}

void koSessionCommand::putData(QDataStream&) const
{
}

void koSessionCommand::getData(QDataStream&)
{
}
