#include "koSessionChange.h"

#include "koSessionCommand.h"
#include "koSessionCommandFactory.h"

#include "koMemoryIStream.h"
#include "koMemoryOStream.h"
#include "koNetError.h"
#include "koNetSerializer.h"
#include "koQStreamDevice.h"

#include <QDataStream>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

QByteArray makeStateId(const koSessionCommand& command, std::uint32_t commandType)
{
    QByteArray stateId;
    QDataStream stream(&stateId, QIODevice::WriteOnly);
    stream << static_cast<qint32>(commandType);
    command.putStateId(stream);
    return stateId;
}

std::vector<char> makePayload(const koSessionCommand& command)
{
    koMemoryOStream bytes;
    {
        koQStreamDevice device(&bytes);
        QDataStream stream(&device);
        command.putData(stream);
    }
    return bytes.takeData();
}

// Wire form, little-endian, no padding:
//   u32 commandType | u16 changedBy | u8 stateMergable | u8 echoing |
//   u8 transient | u8 serverCommand | u16 destinationUserId |
//   i32 state identifier length | state identifier |
//   value-size payload length | payload
// The fixed part up to the state identifier length travels as one block of
// kHeaderSize bytes, so a record costs the link three reads, not ten.
constexpr std::size_t kHeaderSize = 16;

// The fixed part of a record in memory, written and read through the
// serializer's own number encoding.
class HeaderBlock : public koNetSerializer
{
public:
    unsigned char bytes[kHeaderSize] = {};

    void putBytes(const void* data, std::size_t size) override
    {
        std::memcpy(bytes + fill(size), data, size);
    }

    void getBytes(void* data, std::size_t size) override
    {
        std::memcpy(data, bytes + fill(size), size);
    }

private:
    std::size_t position = 0;

    // Claims `size` bytes of the block; the caller's layout fits by construction.
    std::size_t fill(std::size_t size)
    {
        if (position + size > kHeaderSize)
            throw koNetError("Change record: header field past " + std::to_string(kHeaderSize) + " bytes");
        const std::size_t at = position;
        position += size;
        return at;
    }
};

void putPayload(koNetSerializer& serializer, const std::vector<char>& data)
{
    serializer.putValueSize(data.size());
    for (std::size_t offset = 0; offset < data.size(); offset += koSessionChange::pieceSize)
        serializer.putBytes(data.data() + offset, std::min(koSessionChange::pieceSize, data.size() - offset));
}

// An empty identifier (every non-mergable record) allocates nothing.
QByteArray getStateIdBytes(koNetSerializer& serializer, std::int32_t length)
{
    if (length < 0 || length > koSessionChange::maxStateIdLength)
        throw koNetError("Change record: state identifier length " + std::to_string(length)
                         + " is outside 0.." + std::to_string(koSessionChange::maxStateIdLength) + " bytes");
    if (length == 0)
        return QByteArray();
    QByteArray stateId(length, Qt::Uninitialized);
    serializer.getBytes(stateId.data(), static_cast<std::size_t>(length));
    return stateId;
}

// The declared length is not trusted: it is checked against the limit before
// anything is read, and the vector grows one piece at a time, by what the
// serializer has delivered, so a corrupt length cannot reserve memory that
// never arrives.
std::vector<char> getPayload(koNetSerializer& serializer)
{
    const std::size_t size = serializer.getValueSize();
    if (size > koSessionChange::maxPayloadSize)
        throw koNetError("Change record: payload length of " + std::to_string(size)
                         + " bytes exceeds the limit of " + std::to_string(koSessionChange::maxPayloadSize)
                         + " bytes");
    std::vector<char> data;
    while (data.size() < size) {
        const std::size_t offset = data.size();
        const std::size_t piece = std::min(koSessionChange::pieceSize, size - offset);
        data.resize(offset + piece);
        serializer.getBytes(data.data() + offset, piece);
    }
    return data;
}

} // namespace

koSessionChange::koSessionChange() = default;

koSessionChange::koSessionChange(const koSessionCommand& command, unsigned short changedBy)
    : commandType(command.getType())
    , changedBy(changedBy)
    , stateMergable(command.isStateMergable())
    , echoing(command.isEchoing())
    , transient(command.isTransient())
    , serverCommand(command.isServerCommand())
    , destinationUserId(command.getDestinationUserId())
{
    if (stateMergable)
        stateId = makeStateId(command, commandType);
    data = makePayload(command);
    // Refused here, where the sender can still be told, rather than by the
    // receiver, which would end the sender's link.
    if (stateId.size() > maxStateIdLength)
        throw koNetError("Command of type " + std::to_string(commandType) + ": state identifier of "
                         + std::to_string(stateId.size()) + " bytes exceeds the limit of "
                         + std::to_string(maxStateIdLength) + " bytes");
    if (data.size() > maxPayloadSize)
        throw koNetError("Command of type " + std::to_string(commandType) + ": payload of "
                         + std::to_string(data.size()) + " bytes exceeds the limit of "
                         + std::to_string(maxPayloadSize) + " bytes; send large data as a scene instead");
}

koSessionChange::koSessionChange(const koSessionChange& other) = default;
koSessionChange::koSessionChange(koSessionChange&& other) = default;
koSessionChange& koSessionChange::operator=(const koSessionChange& other) = default;
koSessionChange& koSessionChange::operator=(koSessionChange&& other) = default;
koSessionChange::~koSessionChange() = default;

std::size_t koSessionChange::getByteSize() const
{
    return kHeaderSize + static_cast<std::size_t>(stateId.size()) + data.size();
}

unsigned int koSessionChange::getCommandType() const
{
    return commandType;
}

unsigned short koSessionChange::getChangedBy() const
{
    return changedBy;
}

const QByteArray& koSessionChange::getStateId() const
{
    return stateId;
}

unsigned short koSessionChange::getDestinationUserId() const
{
    return destinationUserId;
}

bool koSessionChange::isStateMergable() const
{
    return stateMergable;
}

bool koSessionChange::isEchoing() const
{
    return echoing;
}

bool koSessionChange::isTransient() const
{
    return transient;
}

bool koSessionChange::isServerCommand() const
{
    return serverCommand;
}

bool koSessionChange::isLoadScene() const
{
    // A function-local static is initialised once, thread-safely, on first use.
    static const unsigned int loadSceneType = koSessionCommandFactory::the().getType("LoadScene");
    return commandType == loadSceneType;
}

std::shared_ptr<koSessionCommand> koSessionChange::getCommand() const
{
    std::shared_ptr<koSessionCommand> command = koSessionCommandFactory::the().create(commandType);
    if (command)
        fillCommand(*command);
    return command;
}

bool koSessionChange::tryGetCommand(koSessionCommand& command) const
{
    if (command.getType() != commandType)
        return false;
    fillCommand(command);
    return true;
}

void koSessionChange::execute(koSessionClient* client) const
{
    const std::shared_ptr<koSessionCommand> command = getCommand();
    if (command)
        command->execute(client);
}

void koSessionChange::fillCommand(koSessionCommand& command) const
{
    koMemoryIStream bytes(data);
    koQStreamDevice device(&bytes);
    QDataStream stream(&device);
    command.setChangedBy(changedBy);
    command.getData(stream);
}

void koSessionChange::putValue(koNetSerializer& serializer) const
{
    HeaderBlock header;
    header.putValue<std::uint32_t>(commandType);
    header.putValue<std::uint16_t>(changedBy);
    header.putValue(stateMergable);
    header.putValue(echoing);
    header.putValue(transient);
    header.putValue(serverCommand);
    header.putValue<std::uint16_t>(destinationUserId);
    header.putValue<std::int32_t>(stateId.size());
    serializer.putBytes(header.bytes, sizeof header.bytes);
    if (!stateId.isEmpty())
        serializer.putBytes(stateId.constData(), static_cast<std::size_t>(stateId.size()));
    putPayload(serializer, data);
}

void koSessionChange::getValue(koNetSerializer& serializer)
{
    // Read into a fresh record and take it over only when complete, so a record
    // that fails half-way keeps what it held.
    koSessionChange read;
    HeaderBlock header;
    serializer.getBytes(header.bytes, sizeof header.bytes);
    header.getValue(read.commandType);
    header.getValue(read.changedBy);
    header.getValue(read.stateMergable);
    header.getValue(read.echoing);
    header.getValue(read.transient);
    header.getValue(read.serverCommand);
    header.getValue(read.destinationUserId);
    read.stateId = getStateIdBytes(serializer, header.getValue<std::int32_t>());
    read.data = getPayload(serializer);
    *this = std::move(read);
}
