#pragma once

#include "koSessionExport.h"

#include <QByteArray>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class koNetSerializer;
class koSessionClient;
class koSessionCommand;
class koSessionCommandContext;

// One command frozen into bytes: its type, its payload as its putData wrote it,
// its delivery flags, the user who made it and, for state-mergable commands, the
// state identifier (the type as a big-endian qint32 followed by what putStateId
// writes). Records of types this process does not know are stored and relayed
// unchanged.
//
// Threads: immutable once made or read, so any number of threads may read one
// record at the same time; records are shared as std::shared_ptr<koSessionChange>.
class KOSESSION_EXPORT koSessionChange
{
public:
    // The payload goes to and from the serializer in pieces of this size, so no
    // second copy of a large payload is ever made in one block.
    static constexpr std::size_t pieceSize = 65000;
    // Longest state identifier that getValue accepts. A state identifier is a
    // command type and a small key (a user, an object path); 64 KiB is far above
    // any real one and keeps a corrupt length from reserving gigabytes.
    static constexpr std::int32_t maxStateIdLength = 64 * 1024;
    // Longest payload that getValue accepts. Payloads carry commands, and
    // scenes travel on transfer connections of their own, so 256 MiB is far
    // above any real command; without a bound a peer could make the relay
    // buffer gigabytes for one record.
    static constexpr std::uint64_t maxPayloadSize = std::uint64_t(256) << 20;
    // A received record of up to this many wire bytes (a command, a pose)
    // keeps them inside itself, so it costs one allocation with its
    // shared_ptr from std::make_shared.
    static constexpr std::size_t inlineWireSize = 256;

    koSessionChange();
    // Freezes `command` as made by `changedBy` (the command's own changedBy is not
    // used). A command of an unregistered class gives type 0 and an error line.
    // Throws koNetError when the state identifier or the payload is above its
    // limit, so that the maker learns of it before anything is queued.
    koSessionChange(const koSessionCommand& command, unsigned short changedBy);
    koSessionChange(const koSessionChange& other);
    koSessionChange(koSessionChange&& other);
    koSessionChange& operator=(const koSessionChange& other);
    koSessionChange& operator=(koSessionChange&& other);
    ~koSessionChange();

    unsigned int getCommandType() const;
    unsigned short getChangedBy() const;
    const QByteArray& getStateId() const;
    unsigned short getDestinationUserId() const;
    bool isStateMergable() const;
    bool isEchoing() const;
    bool isTransient() const;
    bool isServerCommand() const;
    // Bytes the record holds: its state identifier and payload, with the
    // fixed part.
    std::size_t getByteSize() const;
    // True when the command type is that of the name "LoadScene".
    bool isLoadScene() const;

    // Rebuilds the command through the factory and fills it from the payload;
    // empty when the type is not registered in this process. The rebuilt command
    // keeps the flags its constructor set and gets the record's changedBy.
    std::shared_ptr<koSessionCommand> getCommand() const;
    // Fills `command` when it is of the record's type; false, leaving it
    // untouched, otherwise.
    bool tryGetCommand(koSessionCommand& command) const;
    // Rebuilds the command and executes it; does nothing for an unknown type.
    void execute(koSessionClient* client) const;
    // The same through the receiving side's context (koSessionCommand::executeIn).
    void execute(koSessionCommandContext& context) const;

    // Writes the wire form, the same bytes for every receiver: they are made
    // once, with the record. A serializer gets everything before the
    // payload in one putBytes, then the payload in pieces of at most
    // pieceSize (none for an empty one); the links' own koNetStream takes the
    // same bytes in fewer calls. Serializer failures (koNetError) pass out
    // unchanged.
    void putValue(koNetSerializer& serializer) const;
    // Reads the wire form, replacing every field; on failure (koNetError from the
    // serializer, a state identifier length outside 0..maxStateIdLength or a
    // payload length above maxPayloadSize) the record keeps its previous content.
    void getValue(koNetSerializer& serializer);

private:
    void fillCommand(koSessionCommand& command) const;
    // Everything but `wire`; of inlineWire only the bytes in use.
    void copyAllButWire(const koSessionChange& other);
    // Writes the fields, the state identifier and the payload length: the
    // payloadOffset() bytes in front of the payload.
    void encodePrefix(char* bytes) const;
    // Room for the `front` bytes of a record being read: inline when they fit.
    char* startWire(std::size_t front);
    void getPayload(koNetSerializer& serializer, std::size_t front, std::uint64_t size);
    const char* wireData() const;
    std::size_t wireSize() const;
    std::size_t payloadOffset() const;
    std::size_t payloadSize() const;

    QByteArray stateId;
    // The whole record in its wire form, the payload at its tail: in `wire`
    // for records made from a command and large received ones, else the
    // first inlineSize bytes of inlineWire. Both empty only in a record made
    // by the default constructor.
    std::vector<char> wire;
    std::array<char, inlineWireSize> inlineWire;
    std::size_t inlineSize = 0;
    std::uint32_t commandType = 0;
    unsigned short changedBy = 0;
    bool stateMergable = true;
    bool echoing = true;
    bool transient = false;
    bool serverCommand = false;
    unsigned short destinationUserId = 0;
};
