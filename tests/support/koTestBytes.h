#pragma once

// Byte forms of commands, participant records and change records, built the
// way the wire carries them. Header-only, so that fuzz targets and the seed
// writer use the same helpers as the tests.

#include "koSessionChange.h"
#include "koSessionCommand.h"
#include "koSessionUser.h"
#include "koTestMemorySerializer.h"

#include <QByteArray>
#include <QDataStream>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace koTest {

// What a command's putData writes into a fresh QDataStream.
inline QByteArray payloadOf(const koSessionCommand& command)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    command.putData(stream);
    return bytes;
}

// The QDataStream form of a participant record, as roster and info payloads
// carry it.
inline QByteArray streamFormOf(const koSessionUser& user)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    user.put(stream);
    return bytes;
}

// The change record a peer would send for `payload` under command type
// `type`: every flag clear, addressed to everybody, no state identifier.
inline std::vector<char> rawRecord(unsigned int type, unsigned short changedBy, const std::vector<char>& payload)
{
    MemorySerializer out;
    out.recordPieces = false;
    out.putValue<std::uint32_t>(type);
    out.putValue<std::uint16_t>(changedBy);
    for (int flag = 0; flag < 4; ++flag)
        out.putValue<std::uint8_t>(0);
    out.putValue<std::uint16_t>(0);
    out.putValue<std::int32_t>(0);
    out.putValueSize(payload.size());
    out.putBytes(payload.data(), payload.size());
    return out.bytes;
}

// Reads `payload` into `command` and returns the stream's status.
inline QDataStream::Status readPayload(koSessionCommand& command, const QByteArray& payload)
{
    QDataStream stream(payload);
    command.getData(stream);
    return stream.status();
}

inline void appendBigEndian(QByteArray& bytes, std::uint64_t value, int size)
{
    for (int i = size - 1; i >= 0; --i)
        bytes.append(char((value >> (8 * i)) & 0xff));
}

// Floats as IEEE-754 bits, least significant byte first.
inline void appendFloatsLittleEndian(QByteArray& bytes, const float* values, int count)
{
    for (int i = 0; i < count; ++i) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &values[i], sizeof bits);
        for (int b = 0; b < 4; ++b)
            bytes.append(char((bits >> (8 * b)) & 0xff));
    }
}

// The state identifier that a change record builds for a command whose own
// part is `key`: the command type, most significant byte first, then the key.
inline QByteArray stateIdOf(unsigned int type, const QByteArray& key = QByteArray())
{
    QByteArray bytes;
    appendBigEndian(bytes, type, 4);
    return bytes + key;
}

} // namespace koTest
