#include "koSessionWire.h"

#include "koSessionUser.h"

#include "koCrypt.h"
#include "koNetCipher.h"
#include "koNetError.h"
#include "koNetSerializer.h"
#include "koNetStream.h"
#include "koSocketAddress.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <vector>

static_assert(koSessionUser::maxTextUnits == koSessionWire::MaxTextUnits,
              "a name the record accepts must fit the handshake");

namespace {

const char HeaderEnd[] = "\r\n\r\n";
constexpr std::size_t HeaderEndSize = sizeof HeaderEnd - 1;

bool endsWithHeaderEnd(const std::string& text)
{
    return text.size() >= HeaderEndSize
        && text.compare(text.size() - HeaderEndSize, HeaderEndSize, HeaderEnd) == 0;
}

const char SessionFieldStart[] = "CONNECT session_";
constexpr std::size_t SessionFieldStartSize = sizeof SessionFieldStart - 1;

// The 9-byte key that scrambles the session hash in the tunnel request line.
// It is kept masked so that it never stands in the binary as one piece.
std::vector<unsigned char> tunnelKey()
{
    static const unsigned char masked[] = {0xee, 0xc3, 0xe5, 0xfb, 0x95, 0xbd, 0xa1, 0xb8, 0xb1};
    std::vector<unsigned char> key;
    for (std::size_t i = 0; i < sizeof masked; ++i)
        key.push_back(static_cast<unsigned char>(masked[i] ^ (0xa5 + 7 * i)));
    return key;
}

} // namespace

QString koSessionWire::sessionHash(const QString& sessionId)
{
    QByteArray digest = QCryptographicHash::hash(sessionId.toUtf8(), QCryptographicHash::Sha256);
    koCrypt crypt(tunnelKey());
    for (char& byte : digest)
        byte = static_cast<char>(crypt.code(static_cast<unsigned char>(byte)));
    return QString::fromLatin1(digest.toHex());
}

std::string koSessionWire::getTunnelSessionHash(const std::string& header)
{
    if (header.compare(0, SessionFieldStartSize, SessionFieldStart) != 0)
        return std::string();
    const std::size_t end = header.find('.', SessionFieldStartSize);
    if (end == std::string::npos)
        return std::string();
    return header.substr(SessionFieldStartSize, end - SessionFieldStartSize);
}

QByteArray koSessionWire::tunnelRequest(const QString& sessionId, bool force)
{
    const QString line = QStringLiteral("CONNECT session_%1.version_%2.%3.KOVASessionServer HTTP/1.1\r\n\r\n")
        .arg(sessionHash(sessionId), QString::fromStdString(koVersionInfo::the().getVersionString()),
             force ? QStringLiteral("force") : QStringLiteral("join"));
    return line.toUtf8();
}

std::string koSessionWire::readTunnelHeader(koSocketLink& link, const char* what)
{
    // Byte by byte: whatever follows the blank line is already cipher traffic
    // and must stay on the link.
    std::string text;
    while (!endsWithHeaderEnd(text)) {
        if (text.size() >= MaxTunnelHeaderBytes) {
            const std::string message = std::string(what) + " from " + link.getPeerName()
                + " has no end within the limit of " + std::to_string(MaxTunnelHeaderBytes)
                + " bytes";
            throw koNetError(message);
        }
        char byte = 0;
        link.recv(&byte, 1);
        text.push_back(byte);
    }
    return text;
}

void koSessionWire::setUpCipher(const std::shared_ptr<koNetLink>& link, bool client)
{
    koNetStream keyExchange(link);
    link->setCipher(std::make_shared<koNetCipher>(client, keyExchange));
}

std::string koSessionWire::peerHost(const koNetLink& link)
{
    const std::string name = link.getPeerName();
    try {
        return koSocketAddress(name, 0).getHost();
    } catch (const std::exception&) {
        return name;
    }
}

void koSessionWire::putRequest(koNetSerializer& serializer, RequestType request)
{
    serializer.putValue(static_cast<std::uint32_t>(request));
}

void koSessionWire::putText(koNetSerializer& serializer, const QString& text)
{
    const auto units = static_cast<std::uint32_t>(text.size());
    std::vector<unsigned char> bytes;
    bytes.reserve(4 + 2 * std::size_t(units));
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<unsigned char>(units >> shift));
    for (const QChar unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit.unicode() & 0xff));
        bytes.push_back(static_cast<unsigned char>(unit.unicode() >> 8));
    }
    serializer.putBytes(bytes.data(), bytes.size());
}

QString koSessionWire::getText(koNetSerializer& serializer, const char* what)
{
    const auto units = serializer.getValue<std::uint32_t>();
    if (units > MaxTextUnits) {
        const std::string message = std::string(what) + " of " + std::to_string(units)
            + " UTF-16 units exceeds the limit of " + std::to_string(MaxTextUnits);
        throw koNetError(message);
    }
    if (units == 0)
        return QString();
    std::vector<unsigned char> bytes(2 * std::size_t(units));
    serializer.getBytes(bytes.data(), bytes.size());
    QString text(static_cast<int>(units), Qt::Uninitialized);
    QChar* out = text.data();
    for (std::size_t i = 0; i < units; ++i)
        out[i] = QChar(static_cast<ushort>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    return text;
}

void koSessionWire::putNames(koNetSerializer& serializer, const QStringList& names)
{
    serializer.putValueSize(static_cast<std::size_t>(names.size()));
    for (const QString& name : names)
        putText(serializer, name);
}

QStringList koSessionWire::getNames(koNetSerializer& serializer)
{
    const std::size_t count = serializer.getValueSize();
    if (count > MaxNames) {
        const std::string message = "Participant count of " + std::to_string(count)
            + " exceeds the limit of " + std::to_string(MaxNames);
        throw koNetError(message);
    }
    QStringList names;
    for (std::size_t i = 0; i < count; ++i)
        names.append(getText(serializer, "Participant name"));
    return names;
}
