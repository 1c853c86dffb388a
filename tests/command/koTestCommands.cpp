#include "koTestCommands.h"

#include "koSessionCommandFactory.h"

#include <QDataStream>

static const koSessionCommandFactory::Register<koTestBytesCommand> registerBytes("TestBytes");
static const koSessionCommandFactory::Register<koTestRosterCommand> registerRoster("TestRoster");
static const koSessionCommandFactory::Register<koTestExecuteCommand> registerExecute("TestExecute");

void koTestBytesCommand::putStateId(QDataStream& stream) const
{
    stream << key;
}

void koTestBytesCommand::putData(QDataStream& stream) const
{
    stream.writeRawData(payload.data(), static_cast<int>(payload.size()));
}

void koTestBytesCommand::getData(QDataStream& stream)
{
    payload.clear();
    char piece[4096];
    int count = 0;
    while ((count = stream.readRawData(piece, sizeof piece)) > 0)
        payload.insert(payload.end(), piece, piece + count);
}

void koTestRosterCommand::putData(QDataStream& stream) const
{
    stream << userCount;
}

void koTestRosterCommand::getData(QDataStream& stream)
{
    stream >> userCount;
}

koTestExecuteCommand::Execution koTestExecuteCommand::lastExecution;

void koTestExecuteCommand::execute(koSessionClient* client) const
{
    ++lastExecution.count;
    lastExecution.client = client;
    lastExecution.changedBy = getChangedBy();
    lastExecution.value = value;
}

void koTestExecuteCommand::putData(QDataStream& stream) const
{
    stream << value;
}

void koTestExecuteCommand::getData(QDataStream& stream)
{
    stream >> value;
}
