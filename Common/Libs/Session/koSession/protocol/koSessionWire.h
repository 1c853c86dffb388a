#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class koNetLink;
class koNetSerializer;
class koSocketLink;

// The pieces of the connection handshake that the client and the server both
// write and read, kept in one place so the two ends cannot drift apart:
// request types, the tunnel header, the cipher set-up and the handshake texts.
//
// Every operation is static, keeps no state and may be called from any thread
// on a link or serializer that this thread uses. Failures are koNetError and
// are not logged here: a server logs them rate-limited per peer address, a
// client hands them to its caller.
class koSessionWire
{
public:
    // The first value of every connection after the tunnel exchange and the
    // cipher: unsigned 32-bit, least significant byte first.
    enum RequestType : std::uint32_t {
        RequestJoin = 0,
        RequestDownloadScene = 1,
        RequestUploadScene = 2,
        RequestStop = 3,
        RequestAsyncStream = 4
    };

    // Longest tunnel header (request line or its answer) read before giving up.
    static constexpr std::size_t MaxTunnelHeaderBytes = 8 * 1024;
    // Longest handshake text, in UTF-16 code units (128 KiB on the wire).
    static constexpr std::uint32_t MaxTextUnits = 64 * 1024;
    // Most participant names in the version answer: one per user identifier.
    static constexpr std::uint64_t MaxNames = 0xffff;

    // Reads raw bytes (before any cipher), one at a time, up to and including
    // the first "\r\n\r\n", and returns them. Throws koNetError naming `what`,
    // the peer and the limit when MaxTunnelHeaderBytes pass without it.
    static std::string readTunnelHeader(koSocketLink& link, const char* what);

    // The session field of the tunnel request line: the SHA-256 digest of the
    // session identifier's UTF-8 form, each byte scrambled by one keyed coder,
    // as 64 lower-case hexadecimal digits. The client sends it; a server that
    // knows its session compares it.
    static QString sessionHash(const QString& sessionId);
    // The session field of a tunnel request line as read ("CONNECT session_"
    // up to the next '.'); empty when the line has none.
    static std::string getTunnelSessionHash(const std::string& header);
    // The tunnel request line a participant opens each connection with: the
    // session field, the build's version and "force" or "join", then a blank
    // line, as UTF-8.
    static QByteArray tunnelRequest(const QString& sessionId, bool force);

    // Runs the cipher's key exchange over a temporary stream on `link` and sets
    // the cipher on it: `client` true on the connecting side, false on the server.
    static void setUpCipher(const std::shared_ptr<koNetLink>& link, bool client);
    // The peer's host without its port (the whole peer name when it does not
    // parse): the unit of the server's per-address bounds.
    static std::string peerHost(const koNetLink& link);

    static void putRequest(koNetSerializer& serializer, RequestType request);

    // Handshake text: unsigned 32-bit count of UTF-16 code units, then the
    // units, two bytes each; everything least significant byte first. A count
    // of 0 carries nothing more. getText checks the count against MaxTextUnits
    // before it allocates and names `what` in its error.
    static void putText(koNetSerializer& serializer, const QString& text);
    static QString getText(koNetSerializer& serializer, const char* what = "Handshake text");

    // The names of the version answer: the count as an unsigned 64-bit value
    // (the serializer's value-size form), then each name as a handshake text.
    // getNames checks the count against MaxNames before reading any name.
    static void putNames(koNetSerializer& serializer, const QStringList& names);
    static QStringList getNames(koNetSerializer& serializer);
};
