#include "koSoakStepCommand.h"

#include "koSoakJournal.h"

#include "koSessionClient.h"
#include "koSessionCommandFactory.h"

#include <QDataStream>

namespace {

koSessionCommandFactory::Register<koSoakStepCommand> registerStep("SoakStep");

} // namespace

koSoakStepCommand::koSoakStepCommand()
    : koSessionCommand(false, false, true)
{
}

koSoakStepCommand::koSoakStepCommand(unsigned short sender, std::uint32_t sequence, Link link, bool barrier)
    : koSessionCommand(false, barrier, true)
    , sender(sender)
    , sequence(sequence)
    , link(link)
    , barrier(barrier)
{
}

void koSoakStepCommand::execute(koSessionClient* client) const
{
    koSoakJournal::the().addStep({client ? client->getUserId() : (unsigned short)0, getChangedBy(), sender,
                                  sequence, static_cast<int>(link), barrier});
}

void koSoakStepCommand::putData(QDataStream& stream) const
{
    stream << quint16(sender) << quint32(sequence) << quint8(link) << barrier;
}

void koSoakStepCommand::getData(QDataStream& stream)
{
    quint16 readSender = 0;
    quint32 readSequence = 0;
    quint8 readLink = 0;
    stream >> readSender >> readSequence >> readLink >> barrier;
    sender = readSender;
    sequence = readSequence;
    link = readLink == SecondLink ? SecondLink : MainLink;
}
