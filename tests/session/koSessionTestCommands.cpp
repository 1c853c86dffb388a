#include "koSessionTestCommands.h"

#include "koSessionCommandFactory.h"

#include <QDataStream>

namespace {

koSessionCommandFactory::Register<TextCommand> registerText("SessionTestText");
koSessionCommandFactory::Register<koStateCommand> registerState("SessionTestState");
koSessionCommandFactory::Register<LoadSceneCommand> registerLoadScene("LoadScene");

} // namespace

koStateCommand::koStateCommand()
    : koSessionCommand(true, true)
{
}

koStateCommand::koStateCommand(const QString& key, int value)
    : koSessionCommand(true, true)
    , key(key)
    , value(value)
{
}

void koStateCommand::execute(koSessionClient* client) const
{
    koTest::ExecutionLog::the().record(*this, client, QStringLiteral("%1=%2").arg(key).arg(value));
}

void koStateCommand::putStateId(QDataStream& stream) const
{
    stream << key;
}

void koStateCommand::putData(QDataStream& stream) const
{
    stream << key << qint32(value);
}

void koStateCommand::getData(QDataStream& stream)
{
    qint32 read = 0;
    stream >> key >> read;
    value = read;
}
