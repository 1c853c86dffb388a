#pragma once

#include "koSessionChange.h"
#include "koSessionCommand.h"

#include <QByteArray>
#include <QDataStream>

#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace koTest {

// What a command's putData writes into a fresh QDataStream.
inline QByteArray payloadOf(const koSessionCommand& command)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    command.putData(stream);
    return bytes;
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
