#pragma once

// The fuzz targets: one function per reader of bytes that come from outside,
// each checking that reader's invariants and aborting with a message when one
// breaks. koFuzzEntry.cpp makes each of them a program of its own.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace koFuzz {

// Change records back to back, as a link's receiving thread reads them, into
// a change list.
int changeRecord(const std::uint8_t* data, std::size_t size);
// A participant record; the first byte picks the form (even: QDataStream,
// odd: counted, as in the join handshake).
int userRecord(const std::uint8_t* data, std::size_t size);
// A built-in command's payload; the first byte picks the command.
int commandPayloads(const std::uint8_t* data, std::size_t size);
// The server's version answer: version text, participant count and names.
int handshake(const std::uint8_t* data, std::size_t size);
// The tunnel header, read raw from a socket before any cipher.
int tunnelHeader(const std::uint8_t* data, std::size_t size);
// Raw bytes into the receiving cipher of a keyed link, in pieces.
int cipherFrames(const std::uint8_t* data, std::size_t size);
// Plain bytes sealed in runs and opened as they arrive in pieces.
int cipherSealed(const std::uint8_t* data, std::size_t size);
// Change records through an enciphered link, written in chosen pieces.
int cipherLink(const std::uint8_t* data, std::size_t size);
// A scene upload's name, size and bytes.
int sceneHeaders(const std::uint8_t* data, std::size_t size);
// A session link with its password: "password\nlink".
int sessionLink(const std::uint8_t* data, std::size_t size);

} // namespace koFuzz
