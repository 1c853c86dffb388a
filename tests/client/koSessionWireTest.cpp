// The handshake pieces that client and server share: texts, name lists and
// the tunnel header, byte for byte, with truncated and oversized input.

#include "koSessionWire.h"

#include "koNetError.h"
#include "koSocketLink.h"
#include "koTestMemorySerializer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using koTest::MemorySerializer;

std::vector<unsigned char> textBytes(const QString& text)
{
    MemorySerializer out;
    koSessionWire::putText(out, text);
    return out.unsignedBytes();
}

TEST(SessionWire, TextsTravelAsCountAndLittleEndianUnits)
{
    struct Row
    {
        QString text;
        std::vector<unsigned char> bytes;
    };
    const std::vector<Row> rows = {
        {QString(), {0, 0, 0, 0}},
        {QStringLiteral("Ab"), {2, 0, 0, 0, 0x41, 0, 0x62, 0}},
        {QString::fromUtf8("\xc3\xbc\xe2\x9c\x93"), {2, 0, 0, 0, 0xfc, 0x00, 0x13, 0x27}},
        // A character outside the basic plane is two code units (a surrogate pair).
        {QString::fromUtf8("\xf0\x9f\x98\x80"), {2, 0, 0, 0, 0x3d, 0xd8, 0x00, 0xde}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.toStdString());
        EXPECT_EQ(textBytes(row.text), row.bytes);
        MemorySerializer in(row.bytes);
        EXPECT_EQ(koSessionWire::getText(in), row.text);
        EXPECT_EQ(in.position, row.bytes.size());
    }
}

TEST(SessionWire, LongTextRoundTripsUpToTheLimit)
{
    const QString longest(int(koSessionWire::MaxTextUnits), QChar(0x4e2d));
    MemorySerializer buffer;
    koSessionWire::putText(buffer, longest);
    EXPECT_EQ(buffer.bytes.size(), 4 + 2 * std::size_t(koSessionWire::MaxTextUnits));
    EXPECT_EQ(koSessionWire::getText(buffer), longest);
}

TEST(SessionWire, OversizedCountsFailBeforeReadingFurther)
{
    // Only the count is there: a reader that allocated or read first would
    // fail with a short read instead of naming the limit.
    struct Row
    {
        std::vector<unsigned char> bytes;
        bool names;
        const char* limit;
    };
    const std::vector<Row> rows = {
        {{0x01, 0x00, 0x01, 0x00}, false, "65536"},
        {{0xff, 0xff, 0xff, 0xff}, false, "65536"},
        {{0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0}, true, "65535"},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, true, "65535"},
    };
    for (const Row& row : rows) {
        MemorySerializer in(row.bytes);
        try {
            if (row.names)
                koSessionWire::getNames(in);
            else
                koSessionWire::getText(in, "Version text");
            ADD_FAILURE() << "no error for an oversized count";
        } catch (const koNetError& e) {
            EXPECT_NE(std::string(e.what()).find(row.limit), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find("Memory stream ended"), std::string::npos) << e.what();
        }
    }
}

TEST(SessionWire, NameListsRoundTripAndEveryTruncationFails)
{
    const QStringList names = {QStringLiteral("Ann"), QString(), QString::fromUtf8("B\xc5\x91")};
    MemorySerializer out;
    koSessionWire::putNames(out, names);
    // 8-byte count first, least significant byte first.
    const std::vector<unsigned char> count(out.bytes.begin(), out.bytes.begin() + 8);
    EXPECT_EQ(count, (std::vector<unsigned char>{3, 0, 0, 0, 0, 0, 0, 0}));
    MemorySerializer whole(out.bytes);
    EXPECT_EQ(koSessionWire::getNames(whole), names);

    for (std::size_t length = 0; length < out.bytes.size(); ++length) {
        MemorySerializer prefix(std::vector<unsigned char>(out.bytes.begin(), out.bytes.begin() + length));
        EXPECT_THROW(koSessionWire::getNames(prefix), koNetError) << "prefix of " << length << " bytes";
    }
}

TEST(SessionWire, EmptyNameListIsACountOfZero)
{
    MemorySerializer out;
    koSessionWire::putNames(out, QStringList());
    EXPECT_EQ(out.unsignedBytes(), std::vector<unsigned char>(8, 0));
    MemorySerializer in(out.bytes);
    EXPECT_TRUE(koSessionWire::getNames(in).isEmpty());
}

TEST(SessionWire, RequestTypesAreFourLittleEndianBytes)
{
    MemorySerializer out;
    koSessionWire::putRequest(out, koSessionWire::RequestAsyncStream);
    koSessionWire::putRequest(out, koSessionWire::RequestStop);
    EXPECT_EQ(out.unsignedBytes(), (std::vector<unsigned char>{4, 0, 0, 0, 3, 0, 0, 0}));
}

TEST(SessionWire, TunnelHeaderEndsAtTheFirstEmptyLineAndLeavesTheRest)
{
    struct Row
    {
        std::string sent;
        std::string header;
    };
    const std::vector<Row> rows = {
        {"HTTP/1.1 200 OK\r\n\r\nnext", "HTTP/1.1 200 OK\r\n\r\n"},
        {"\r\n\r\n\r\n\r\nnext", "\r\n\r\n"},
        {"HTTP/1.1 403 Forbidden\r\nX: \n\r\r\n\r\nnext", "HTTP/1.1 403 Forbidden\r\nX: \n\r\r\n\r\n"},
        {std::string(koSessionWire::MaxTunnelHeaderBytes - 4, 'a') + "\r\n\r\nnext",
         std::string(koSessionWire::MaxTunnelHeaderBytes - 4, 'a') + "\r\n\r\n"},
    };
    for (const Row& row : rows) {
        auto pair = koSocketLink::createPair();
        pair.first->send(row.sent.data(), row.sent.size());
        EXPECT_EQ(koSessionWire::readTunnelHeader(*pair.second, "Tunnel answer"), row.header);
        // Whatever follows the empty line stays on the link.
        std::string rest(row.sent.size() - row.header.size(), '\0');
        pair.second->recv(&rest[0], rest.size());
        EXPECT_EQ(rest, row.sent.substr(row.header.size()));
    }
}

TEST(SessionWire, TunnelHeaderWithoutEndIsCutAtTheLimit)
{
    auto pair = koSocketLink::createPair();
    // One byte more than the limit allows, and more bytes behind it.
    const std::string sent = std::string(koSessionWire::MaxTunnelHeaderBytes - 3, 'a') + "\r\n\r\n";
    pair.first->send(sent.data(), sent.size());
    try {
        koSessionWire::readTunnelHeader(*pair.second, "Tunnel answer");
        FAIL() << "an endless header was accepted";
    } catch (const koNetError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("Tunnel answer"), std::string::npos) << message;
        EXPECT_NE(message.find("8192"), std::string::npos) << message;
        EXPECT_NE(message.find(pair.second->getPeerName()), std::string::npos) << message;
    }
}

TEST(SessionWire, TunnelHeaderFailsWhenThePeerCloses)
{
    auto pair = koSocketLink::createPair();
    const std::string sent = "HTTP/1.1 200 OK\r\n\r";
    pair.first->send(sent.data(), sent.size());
    pair.first.reset();
    EXPECT_THROW(koSessionWire::readTunnelHeader(*pair.second, "Tunnel answer"), koNetError);
}

} // namespace
