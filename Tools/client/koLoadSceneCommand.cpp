#include "koLoadSceneCommand.h"

#include "koCommandInbox.h"

#include "koSessionCommandFactory.h"

#include <QDataStream>

namespace {

const koSessionCommandFactory::Register<koLoadSceneCommand> registration("LoadScene");

} // namespace

koLoadSceneCommand::koLoadSceneCommand()
    : koSessionCommand(true, false, false)
{
}

koLoadSceneCommand::koLoadSceneCommand(const QString& name, qint64 size, const QByteArray& checksum)
    : koSessionCommand(true, false, false)
    , name(name)
    , size(size)
    , checksum(checksum)
{
}

void koLoadSceneCommand::execute(koSessionClient*) const
{
    emit koCommandInbox::the().sceneAnnounced(getChangedBy(), name, size, checksum);
}

void koLoadSceneCommand::putData(QDataStream& stream) const
{
    stream << name << size << checksum;
}

void koLoadSceneCommand::getData(QDataStream& stream)
{
    stream >> name >> size >> checksum;
}
