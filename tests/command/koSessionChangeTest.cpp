#include "koSessionChange.h"

#include "koSessionCommandFactory.h"
#include "koSessionEndCommand.h"
#include "koTestCommands.h"
#include "koTestMemorySerializer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

static const koSessionCommandFactory::Register<koTestCommand> registerBytes("TestBytes");
static const koSessionCommandFactory::Register<koTestLoadSceneCommand> registerLoadScene("LoadScene");

namespace {

std::vector<char> bytes(const std::string& hex)
{
    const QByteArray raw = QByteArray::fromHex(QByteArray::fromStdString(hex));
    return std::vector<char>(raw.begin(), raw.end());
}

std::string hexOf(const std::vector<char>& wire)
{
    return QByteArray(wire.data(), int(wire.size())).toHex(' ').toStdString();
}

std::vector<char> wireOf(const koSessionChange& change)
{
    koTest::MemorySerializer serializer;
    change.putValue(serializer);
    return serializer.bytes;
}

// Sizes of the serializer calls after the first `front` bytes; a call that
// runs across the payload's start shows as 0.
std::vector<std::size_t> payloadPieces(const std::vector<std::size_t>& calls, std::size_t front)
{
    std::vector<std::size_t> pieces;
    std::size_t at = 0;
    for (const std::size_t size : calls) {
        if (at >= front && size > 0)
            pieces.push_back(size);
        else if (at < front && at + size > front)
            pieces.push_back(0);
        at += size;
    }
    return pieces;
}

koSessionChange read(const std::vector<char>& wire)
{
    koTest::MemorySerializer serializer(wire);
    koSessionChange change;
    change.getValue(serializer);
    EXPECT_EQ(serializer.position, wire.size()) << "a record is read exactly to its end";
    return change;
}

// Wire forms written by hand from the format: type, changed by, four flag
// bytes, addressee, state identifier length and bytes, payload length
// (8 bytes) and payload, numbers least significant byte first. "TestBytes"
// has type 0x2aebdb74 (md4("testbytes") = 74dbeb2a...).
struct Record
{
    qint32 key;
    const char* payload;
    int flags; // 8 mergable, 4 echoing, 2 transient, 1 server; -1: as constructed
    unsigned short destination;
    unsigned short changedBy;
    const char* wire;
};

const Record records[] = {
    {0x01020304, "abc", 8 | 2 | 1, 0xbeef, 0x1234,
     "74dbeb2a 3412 01000101 efbe 08000000 2aebdb74 01020304 0300000000000000 616263"},
    {5, "abc", 4, 2, 5, "74dbeb2a 0500 00010000 0200 00000000 0300000000000000 616263"},
    {-2, "", -1, 0, 0xffff, "74dbeb2a ffff 01010000 0000 08000000 2aebdb74 fffffffe 0000000000000000"},
};

} // namespace

TEST(koSessionChange, WireFormsWrittenAndRead)
{
    for (const Record& record : records) {
        koTestCommand command(record.key, record.payload);
        if (record.flags >= 0) {
            command.setStateMergable(record.flags & 8);
            command.setEchoing(record.flags & 4);
            command.setTransient(record.flags & 2);
            command.setServerCommand(record.flags & 1);
        }
        command.setDestinationUserId(record.destination);
        command.setChangedBy(77); // the record's own argument wins
        const std::vector<char> wire = bytes(record.wire);
        EXPECT_EQ(hexOf(wireOf(koSessionChange(koTestCommand(command), record.changedBy))), hexOf(wire));

        const koSessionChange change = read(wire);
        const int flags = record.flags >= 0 ? record.flags : 8 | 4;
        EXPECT_EQ(change.getCommandType(), 0x2aebdb74u);
        EXPECT_EQ(change.getChangedBy(), record.changedBy);
        EXPECT_EQ(change.isStateMergable(), bool(flags & 8));
        EXPECT_EQ(change.isEchoing(), bool(flags & 4));
        EXPECT_EQ(change.isTransient(), bool(flags & 2));
        EXPECT_EQ(change.isServerCommand(), bool(flags & 1));
        EXPECT_EQ(change.getDestinationUserId(), record.destination);
        EXPECT_EQ(change.getStateId(), QByteArray(wire.data() + 16, flags & 8 ? 8 : 0));
        koTestCommand rebuilt;
        ASSERT_TRUE(change.tryGetCommand(rebuilt));
        EXPECT_EQ(rebuilt.payload, QByteArray(record.payload));
        EXPECT_EQ(wireOf(change), wire);
    }
    // Any non-zero flag byte reads as true and is written again as 1.
    const koSessionChange flags = read(bytes("74dbeb2a 0100 02800001 0000 00000000 0000000000000000"));
    EXPECT_TRUE(flags.isStateMergable() && flags.isEchoing() && !flags.isTransient() && flags.isServerCommand());
    EXPECT_EQ(hexOf(wireOf(flags)), hexOf(bytes("74dbeb2a 0100 01010001 0000 00000000 0000000000000000")));
}

// A serializer of the host's gets the payload in calls of its own, none
// above 65000 bytes, writing and reading.
TEST(koSessionChange, PayloadTravelsInPiecesOfAtMost65000Bytes)
{
    const struct
    {
        int size;
        std::vector<std::size_t> pieces;
    } rows[] = {
        {0, {}}, {100, {100}}, {65000, {65000}}, {65001, {65000, 1}}, {130001, {65000, 65000, 1}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        const QByteArray payload(row.size, 'p');
        koTest::MemorySerializer serializer;
        koSessionChange(koTestCommand(1, payload), 2).putValue(serializer);
        const std::size_t front = serializer.bytes.size() - std::size_t(row.size);
        EXPECT_EQ(front, 16u + 8u + 8u); // fields, state identifier, payload length
        EXPECT_EQ(payloadPieces(serializer.putSizes, front), row.pieces);
        koTestCommand rebuilt;
        ASSERT_TRUE(read(serializer.bytes).tryGetCommand(rebuilt));
        EXPECT_TRUE(rebuilt.payload == payload);
        koSessionChange change;
        change.getValue(serializer);
        EXPECT_EQ(payloadPieces(serializer.getSizes, front), row.pieces);
    }
}

// The host sees the three built-in commands, then its own; the end notice
// is known by its type but never listed.
TEST(koSessionCommandFactory, ListsTheBuiltInsThenTheHostsOwnAndKnowsTheEndNotice)
{
    koSessionCommandFactory& factory = koSessionCommandFactory::the();
    EXPECT_EQ(factory.getTypeNames(), QStringList({QStringLiteral("UpdateInfo"), QStringLiteral("UpdatePose"),
                                                   QStringLiteral("UpdateUsers"), QStringLiteral("TestBytes"),
                                                   QStringLiteral("LoadScene")}));
    const unsigned int endType = factory.getType("EndSession");
    EXPECT_EQ(endType, 0xca2914dau); // md4("endsession") = da1429ca...
    EXPECT_EQ(koSessionEndCommand().getType(), endType);
    EXPECT_TRUE(std::dynamic_pointer_cast<koSessionEndCommand>(factory.create(endType)));
}

// Every prefix of a valid record, and state identifier lengths outside
// 0..64 KiB, fail with koNetError and leave the record as it was.
TEST(koSessionChange, MalformedRecordsFailCleanly)
{
    std::vector<std::vector<char>> malformed;
    for (const Record& record : records) {
        const std::vector<char> wire = bytes(record.wire);
        for (std::size_t length = 0; length < wire.size(); ++length)
            malformed.emplace_back(wire.begin(), wire.begin() + long(length));
    }
    for (const char* length : {"01000100", "ffffffff", "ffffff7f"}) {
        malformed.push_back(bytes(std::string("74dbeb2a 0100 01010000 0000 ") + length));
        malformed.back().resize(16 + 65537 + 8, 's');
    }
    const std::vector<char> previous = bytes(records[1].wire);
    for (const std::vector<char>& wire : malformed) {
        koTest::MemorySerializer serializer(wire);
        koSessionChange target = read(previous);
        EXPECT_THROW(target.getValue(serializer), koNetError) << hexOf(wire).substr(0, 60);
        EXPECT_EQ(wireOf(target), previous) << hexOf(wire).substr(0, 60);
        // A bad length is refused before anything after it is read.
        EXPECT_LE(serializer.position, wire.size() > 65536 ? 16u : wire.size());
    }
    std::vector<char> longest = bytes("74dbeb2a 0100 01010000 0000 00000100");
    longest.resize(16 + 65536, 's');
    longest.resize(16 + 65536 + 8, '\0');
    EXPECT_EQ(read(longest).getStateId(), QByteArray(65536, 's'));
}

// Refused where it is made, before it is queued: the sender learns it at
// once instead of losing its link to the receiver's check.
TEST(koSessionChange, PayloadAboveTheLimitIsRefusedWhereItIsMade)
{
    QByteArray payload(int(koSessionChange::maxPayloadSize), 'x');
    EXPECT_NO_THROW(koSessionChange(koTestCommand(1, payload), 1));
    payload.append('x');
    EXPECT_THROW(koSessionChange(koTestCommand(1, payload), 1), koNetError);
}
