#include "koTextMessageCommand.h"

#include "koCommandInbox.h"

#include "koSessionCommandFactory.h"

#include <QDataStream>

namespace {

const koSessionCommandFactory::Register<koTextMessageCommand> registration("TextMessage");

} // namespace

koTextMessageCommand::koTextMessageCommand()
    : koSessionCommand(false, false, true)
{
}

koTextMessageCommand::koTextMessageCommand(const QString& text, unsigned short addressee)
    : koSessionCommand(false, false, true)
    , text(text)
    , addressee(addressee)
{
    setDestinationUserId(addressee);
}

void koTextMessageCommand::execute(koSessionClient*) const
{
    emit koCommandInbox::the().messageReceived(getChangedBy(), text, addressee != 0);
}

void koTextMessageCommand::putData(QDataStream& stream) const
{
    stream << text << quint16(addressee);
}

void koTextMessageCommand::getData(QDataStream& stream)
{
    quint16 to = 0;
    stream >> text >> to;
    addressee = to;
}
