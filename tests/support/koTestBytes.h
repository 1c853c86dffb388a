#pragma once

// Byte forms of commands and participant records, built the
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

// Reads `payload` into `command` and returns the stream's status.
inline QDataStream::Status readPayload(koSessionCommand& command, const QByteArray& payload)
{
    QDataStream stream(payload);
    command.getData(stream);
    return stream.status();
}

} // namespace koTest
