#include "koSessionWire.h"

#include "koLog.h"
#include "koNetCipher.h"
#include "koNetError.h"
#include "koNetSerializer.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <vector>

namespace {

const char HeaderEnd[] = "\r\n\r\n";
constexpr std::size_t HeaderEndSize = sizeof HeaderEnd - 1;

bool endsWithHeaderEnd(const std::string& text)
{
    return text.size() >= HeaderEndSize
        && text.compare(text.size() - HeaderEndSize, HeaderEndSize, HeaderEnd) == 0;
}

} // namespace

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
            koLog::warning("%s", message.c_str());
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
        koLog::warning("%s", message.c_str());
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
        koLog::warning("%s", message.c_str());
        throw koNetError(message);
    }
    QStringList names;
    for (std::size_t i = 0; i < count; ++i)
        names.append(getText(serializer, "Participant name"));
    return names;
}
