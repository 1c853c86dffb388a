#include "koTestChangeCommands.h"

#include "koSessionCommandFactory.h"

#include <QDataStream>

static const koSessionCommandFactory::Register<koTestStateCommand> registerState("TestState");
static const koSessionCommandFactory::Register<koTestPlainCommand> registerPlain("TestPlain");
static const koSessionCommandFactory::Register<koTestTransientCommand> registerTransient("TestTransient");
static const koSessionCommandFactory::Register<koTestLoadSceneCommand> registerLoadScene("LoadScene");

koTestStateCommand::koTestStateCommand(qint32 key, qint32 tag)
    : koSessionCommand(true, true, false)
    , key(key)
    , tag(tag)
{
}

void koTestStateCommand::putStateId(QDataStream& stream) const
{
    stream << key;
}

void koTestStateCommand::putData(QDataStream& stream) const
{
    stream << key << tag;
}

void koTestStateCommand::getData(QDataStream& stream)
{
    stream >> key >> tag;
}

koTestPlainCommand::koTestPlainCommand(qint32 tag)
    : koSessionCommand(false, true, false)
    , tag(tag)
{
}

void koTestPlainCommand::putData(QDataStream& stream) const
{
    stream << tag;
}

void koTestPlainCommand::getData(QDataStream& stream)
{
    stream >> tag;
}

koTestTransientCommand::koTestTransientCommand(qint32 tag)
    : koTestPlainCommand(tag)
{
    setTransient(true);
}

koTestLoadSceneCommand::koTestLoadSceneCommand(qint32 tag, bool stateMergable)
    : koTestPlainCommand(tag)
{
    setStateMergable(stateMergable);
}

namespace koTest {

ChangePtr stateChange(qint32 key, qint32 tag, bool transient)
{
    koTestStateCommand command(key, tag);
    command.setTransient(transient);
    return std::make_shared<koSessionChange>(command, 1);
}

ChangePtr plainChange(qint32 tag)
{
    return std::make_shared<koSessionChange>(koTestPlainCommand(tag), 1);
}

ChangePtr transientChange(qint32 tag)
{
    return std::make_shared<koSessionChange>(koTestTransientCommand(tag), 1);
}

ChangePtr loadSceneChange(qint32 tag, bool stateMergable)
{
    return std::make_shared<koSessionChange>(koTestLoadSceneCommand(tag, stateMergable), 1);
}

qint32 tagOf(const koSessionChange& change)
{
    const auto command = change.getCommand();
    if (const auto* state = dynamic_cast<const koTestStateCommand*>(command.get()))
        return state->tag;
    if (const auto* plain = dynamic_cast<const koTestPlainCommand*>(command.get()))
        return plain->tag;
    return -1;
}

} // namespace koTest
