#include "koBenchCommand.h"

#include "koSessionCommandFactory.h"

#include <QDataStream>

#include <cstring>

namespace {

koSessionCommandFactory::Register<koBenchCommand> registerBench("SessionBenchPayload");

koBenchCommand::Observer& observerSlot()
{
    static koBenchCommand::Observer observer;
    return observer;
}

// Payload layout: i64 time | u32 sequence | u8 lane | filler up to 100 bytes,
// all raw in this machine's byte order (both ends are this process).
constexpr int HeaderBytes = 8 + 4 + 1;

} // namespace

koBenchCommand::koBenchCommand()
    : koSessionCommand(false, false, true)
{
}

koBenchCommand::koBenchCommand(std::int64_t sent, std::uint32_t number, std::uint8_t linkLane)
    : koSessionCommand(false, false, true)
    , sentNanoseconds(sent)
    , sequence(number)
    , lane(linkLane)
{
}

void koBenchCommand::setObserver(Observer observer)
{
    observerSlot() = std::move(observer);
}

void koBenchCommand::execute(koSessionClient* client) const
{
    const Observer& observer = observerSlot();
    if (observer)
        observer(*this, client);
}

void koBenchCommand::putData(QDataStream& stream) const
{
    char bytes[PayloadBytes];
    std::memset(bytes, 0x5a, sizeof bytes);
    std::memcpy(bytes, &sentNanoseconds, 8);
    std::memcpy(bytes + 8, &sequence, 4);
    std::memcpy(bytes + 12, &lane, 1);
    stream.writeRawData(bytes, PayloadBytes);
}

void koBenchCommand::getData(QDataStream& stream)
{
    char bytes[PayloadBytes];
    if (stream.readRawData(bytes, PayloadBytes) < HeaderBytes)
        return;
    std::memcpy(&sentNanoseconds, bytes, 8);
    std::memcpy(&sequence, bytes + 8, 4);
    std::memcpy(&lane, bytes + 12, 1);
}
