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

} // namespace koTest
