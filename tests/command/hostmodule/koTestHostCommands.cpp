#include "koTestHostCommands.h"

#include "koSessionCommandFactory.h"

#include <QDataStream>

static const koSessionCommandFactory::Register<koTestHostCommand> registerFirst("HostModuleFirst");
static const koSessionCommandFactory::Register<koTestHostOtherCommand> registerSecond("HostModuleSecond");

void koTestHostCommand::putData(QDataStream& stream) const
{
    stream << value;
}

void koTestHostCommand::getData(QDataStream& stream)
{
    stream >> value;
}

const std::type_info& koTestHostCommandClass()
{
    return typeid(koTestHostCommand);
}
