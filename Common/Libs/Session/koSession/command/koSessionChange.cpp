#include "koSessionChange.h"

#include "koSessionCommand.h"
#include "koSessionCommandFactory.h"

#include "koMemoryIStream.h"
#include "koNetError.h"
#include "koNetSerializer.h"
#include "koNetStream.h"
#include "koQStreamDevice.h"

#include <QDataStream>

#include <algorithm>
#include <cstring>
#include <string>
#include <typeinfo>

namespace {

QByteArray makeStateId(const koSessionCommand& command, std::uint32_t commandType)
{
    QByteArray stateId;
    QDataStream stream(&stateId, QIODevice::WriteOnly);
    stream << static_cast<qint32>(commandType);
    command.putStateId(stream);
    return stateId;
}

// Wire form, little-endian, no padding:
//   u32 commandType | u16 changedBy | u8 stateMergable | u8 echoing |
//   u8 transient | u8 serverCommand | u16 destinationUserId |
//   i32 state identifier length | state identifier |
//   value-size payload length | payload
// The fixed part up to the state identifier length travels as one block of
// kHeaderSize bytes, so a record costs the link three reads, not ten.
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kLengthSize = sizeof(std::uint64_t);

// Fixed-size fields in memory, written and read through the serializer's own
// number encoding.
class FieldBlock : public koNetSerializer
{
public:
    FieldBlock(char* bytes, std::size_t size)
        : bytes(bytes)
        , size(size)
    {
    }

    void putBytes(const void* data, std::size_t count) override
    {
        std::memcpy(bytes + fill(count), data, count);
    }

    void getBytes(void* data, std::size_t count) override
    {
        std::memcpy(data, bytes + fill(count), count);
    }

private:
    char* bytes;
    std::size_t size;
    std::size_t position = 0;

    // Claims `count` bytes of the block; the caller's layout fits by construction.
    std::size_t fill(std::size_t count)
    {
        if (position + count > size)
            throw koNetError("Change record: field past " + std::to_string(size) + " bytes");
        const std::size_t at = position;
        position += count;
        return at;
    }
};

// Room for the payload of a typical command from the start, so that it grows
// the vector once at most.
constexpr std::size_t kFirstPayloadRoom = 240;

// A write-only device that appends to a vector. Every pushed command is
// written through one, so it has no standard stream underneath, whose
// construction alone (a locale) cost more than writing a small payload.
class WireDevice : public QIODevice
{
public:
    explicit WireDevice(std::vector<char>& bytes)
        : bytes(bytes)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        bytes.insert(bytes.end(), data, data + size);
        return size;
    }

private:
    std::vector<char>& bytes;
};

// The payload is written behind room for the record's front, so the wire form
// is made without a second copy of it.
std::vector<char> makeWire(const koSessionCommand& command, std::size_t front)
{
    std::vector<char> bytes;
    bytes.reserve(front + kFirstPayloadRoom);
    bytes.resize(front);
    {
        WireDevice device(bytes);
        QDataStream stream(&device);
        command.putData(stream);
    }
    return bytes;
}

void checkStateIdLength(std::int32_t length)
{
    if (length < 0 || length > koSessionChange::maxStateIdLength)
        throw koNetError("Change record: state identifier length " + std::to_string(length)
                         + " is outside 0.." + std::to_string(koSessionChange::maxStateIdLength) + " bytes");
}

// Flag bytes as read may hold any non-zero value for true; they are relayed
// as 1 like every other writer's.
constexpr std::size_t kFlagsOffset = 6;
constexpr std::size_t kFlagCount = 4;

void normalizeFlags(char* header)
{
    for (std::size_t i = kFlagsOffset; i < kFlagsOffset + kFlagCount; ++i)
        header[i] = header[i] != 0 ? 1 : 0;
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
    wire = makeWire(command, kHeaderSize + static_cast<std::size_t>(stateId.size()) + kLengthSize);
    // Refused here, where the sender can still be told, rather than by the
    // receiver, which would end the sender's link.
    if (stateId.size() > maxStateIdLength)
        throw koNetError("Command of type " + std::to_string(commandType) + ": state identifier of "
                         + std::to_string(stateId.size()) + " bytes exceeds the limit of "
                         + std::to_string(maxStateIdLength) + " bytes");
    if (payloadSize() > maxPayloadSize)
        throw koNetError("Command of type " + std::to_string(commandType) + ": payload of "
                         + std::to_string(payloadSize()) + " bytes exceeds the limit of "
                         + std::to_string(maxPayloadSize) + " bytes; send large data as a scene instead");
    encodePrefix(wire.data());
}

koSessionChange::koSessionChange(const koSessionChange& other)
    : wire(other.wire)
{
    copyAllButWire(other);
}

koSessionChange::koSessionChange(koSessionChange&& other)
    : wire(std::move(other.wire))
{
    copyAllButWire(other);
}

koSessionChange& koSessionChange::operator=(const koSessionChange& other)
{
    if (this != &other) {
        wire = other.wire;
        copyAllButWire(other);
    }
    return *this;
}

koSessionChange& koSessionChange::operator=(koSessionChange&& other)
{
    if (this != &other) {
        wire = std::move(other.wire);
        copyAllButWire(other);
    }
    return *this;
}

koSessionChange::~koSessionChange() = default;

void koSessionChange::copyAllButWire(const koSessionChange& other)
{
    stateId = other.stateId;
    std::memcpy(inlineWire.data(), other.inlineWire.data(), other.inlineSize);
    inlineSize = other.inlineSize;
    commandType = other.commandType;
    changedBy = other.changedBy;
    stateMergable = other.stateMergable;
    echoing = other.echoing;
    transient = other.transient;
    serverCommand = other.serverCommand;
    destinationUserId = other.destinationUserId;
}

const char* koSessionChange::wireData() const
{
    return wire.empty() ? inlineWire.data() : wire.data();
}

std::size_t koSessionChange::wireSize() const
{
    return wire.empty() ? inlineSize : wire.size();
}

std::size_t koSessionChange::getByteSize() const
{
    return kHeaderSize + static_cast<std::size_t>(stateId.size()) + payloadSize();
}

std::size_t koSessionChange::payloadOffset() const
{
    return kHeaderSize + static_cast<std::size_t>(stateId.size()) + kLengthSize;
}

// A record made by the default constructor has no wire bytes yet.
std::size_t koSessionChange::payloadSize() const
{
    const std::size_t size = wireSize();
    return size == 0 ? 0 : size - payloadOffset();
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

void koSessionChange::execute(koSessionCommandContext& context) const
{
    const std::shared_ptr<koSessionCommand> command = getCommand();
    if (command)
        command->executeIn(context);
}

void koSessionChange::fillCommand(koSessionCommand& command) const
{
    koMemoryIStream bytes(wireSize() == 0 ? wireData() : wireData() + payloadOffset(), payloadSize());
    koQStreamDevice device(&bytes);
    QDataStream stream(&device);
    command.setChangedBy(changedBy);
    command.getData(stream);
}

void koSessionChange::encodePrefix(char* bytes) const
{
    FieldBlock front(bytes, payloadOffset());
    front.putValue<std::uint32_t>(commandType);
    front.putValue<std::uint16_t>(changedBy);
    front.putValue(stateMergable);
    front.putValue(echoing);
    front.putValue(transient);
    front.putValue(serverCommand);
    front.putValue<std::uint16_t>(destinationUserId);
    front.putValue<std::int32_t>(stateId.size());
    front.putBytes(stateId.constData(), static_cast<std::size_t>(stateId.size()));
    front.putValueSize(payloadSize());
}

void koSessionChange::putValue(koNetSerializer& serializer) const
{
    const std::size_t size = wireSize();
    if (size == 0) {
        char front[kHeaderSize + kLengthSize];
        encodePrefix(front);
        serializer.putBytes(front, sizeof front);
        return;
    }
    // A serializer sees the front, then the payload in pieces of its own.
    // The links' stream is the exception: it only copies into its buffer,
    // where call boundaries leave no trace, and the relay writes every record
    // once per receiver, so it takes the record in as few calls as pieces
    // allow (measured by kosession-changebench's BM_RecordWrite).
    const char* bytes = wireData();
    const std::size_t front = typeid(serializer) == typeid(koNetStream) ? 0 : payloadOffset();
    if (front > 0)
        serializer.putBytes(bytes, front);
    for (std::size_t offset = front; offset < size; offset += pieceSize)
        serializer.putBytes(bytes + offset, std::min(pieceSize, size - offset));
}

// The record keeps its bytes as read; the link is read three times: the fixed
// fields, then the state identifier with the payload length, then the payload.
void koSessionChange::getValue(koNetSerializer& serializer)
{
    // Read into a fresh record and take it over only when complete, so a record
    // that fails half-way keeps what it held.
    koSessionChange read;
    char fields[kHeaderSize];
    serializer.getBytes(fields, sizeof fields);
    FieldBlock header(fields, sizeof fields);
    header.getValue(read.commandType);
    header.getValue(read.changedBy);
    header.getValue(read.stateMergable);
    header.getValue(read.echoing);
    header.getValue(read.transient);
    header.getValue(read.serverCommand);
    header.getValue(read.destinationUserId);
    const auto stateIdLength = header.getValue<std::int32_t>();
    checkStateIdLength(stateIdLength);
    const std::size_t front = kHeaderSize + static_cast<std::size_t>(stateIdLength) + kLengthSize;
    char* bytes = read.startWire(front);
    std::memcpy(bytes, fields, sizeof fields);
    normalizeFlags(bytes);
    serializer.getBytes(bytes + kHeaderSize, front - kHeaderSize);
    // An empty identifier (every non-mergable record) allocates nothing.
    if (stateIdLength > 0)
        read.stateId = QByteArray(bytes + kHeaderSize, stateIdLength);
    read.getPayload(serializer, front, FieldBlock(bytes + front - kLengthSize, kLengthSize).getValueSize());
    *this = std::move(read);
}

char* koSessionChange::startWire(std::size_t front)
{
    if (front <= inlineWireSize) {
        inlineSize = front;
        return inlineWire.data();
    }
    wire.resize(front);
    return wire.data();
}

// The declared length is not trusted: it is checked against the limit before
// anything is read, and a record too large to be held inline grows one piece
// at a time, by what the serializer has delivered, so a corrupt length cannot
// reserve memory that never arrives.
void koSessionChange::getPayload(koNetSerializer& serializer, std::size_t front, std::uint64_t size)
{
    if (size > koSessionChange::maxPayloadSize)
        throw koNetError("Change record: payload length of " + std::to_string(size)
                         + " bytes exceeds the limit of " + std::to_string(koSessionChange::maxPayloadSize)
                         + " bytes");
    if (wire.empty() && front + size <= inlineWireSize) {
        serializer.getBytes(inlineWire.data() + front, size);
        inlineSize = front + size;
        return;
    }
    if (wire.empty()) {
        wire.reserve(front + std::min(koSessionChange::pieceSize, size));
        wire.assign(inlineWire.data(), inlineWire.data() + front);
        inlineSize = 0;
    }
    while (wire.size() - front < size) {
        const std::size_t offset = wire.size();
        const std::size_t piece = std::min(koSessionChange::pieceSize, size - (offset - front));
        wire.resize(offset + piece);
        serializer.getBytes(wire.data() + offset, piece);
    }
}
