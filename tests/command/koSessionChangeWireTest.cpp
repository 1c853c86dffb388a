#include "koSessionChange.h"

#include "koSessionCommandFactory.h"
#include "koTestAllocationProbe.h"
#include "koTestCommands.h"
#include "koTestMemorySerializer.h"

#include "koNetError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

std::vector<char> bytesOf(std::initializer_list<int> values)
{
    std::vector<char> bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

std::vector<char> wireOf(const koSessionChange& change)
{
    koTest::MemorySerializer serializer;
    change.putValue(serializer);
    return serializer.bytes;
}

koSessionChange readWire(const std::vector<char>& bytes)
{
    koTest::MemorySerializer serializer(bytes);
    koSessionChange change;
    change.getValue(serializer);
    EXPECT_EQ(serializer.position, bytes.size()) << "a record must be read exactly to its end";
    return change;
}

std::vector<char> patternPayload(std::size_t size)
{
    std::vector<char> payload(size);
    for (std::size_t i = 0; i < size; ++i)
        payload[i] = static_cast<char>((i * 131 + 7) & 0xff);
    return payload;
}

koTestBytesCommand bytesCommand(std::vector<char> payload, qint32 key, bool mergable, bool echoing,
                                bool transient, bool server, unsigned short destination)
{
    koTestBytesCommand command(std::move(payload), key);
    command.setStateMergable(mergable);
    command.setEchoing(echoing);
    command.setTransient(transient);
    command.setServerCommand(server);
    command.setDestinationUserId(destination);
    return command;
}

// The fixed part of a record up to and including the state identifier length.
std::vector<char> fixedPart(std::int32_t stateIdLength)
{
    std::vector<char> bytes = bytesOf({0x74, 0xdb, 0xeb, 0x2a, 0x01, 0x00, 1, 1, 0, 0, 0x00, 0x00});
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<char>((static_cast<std::uint32_t>(stateIdLength) >> (8 * i)) & 0xff));
    return bytes;
}

void appendValueSize(std::vector<char>& bytes, std::uint64_t size)
{
    for (int i = 0; i < 8; ++i)
        bytes.push_back(static_cast<char>((size >> (8 * i)) & 0xff));
}

} // namespace

TEST(koSessionChangeWire, RecordBytesAreTheFixedPartStateIdLengthAndPayload)
{
    // "TestBytes": md4("testbytes") = 74db eb2a 3533 41ee 1888 d173 9fd5 8156
    // (openssl dgst -md4 -provider legacy), so its type is 0x2aebdb74.
    const auto command = bytesCommand(bytesOf({'a', 'b', 'c'}), 0x01020304, true, false, true, true, 0xbeef);
    const koSessionChange change(command, 0x1234);
    const std::vector<char> expected = bytesOf({
        0x74, 0xdb, 0xeb, 0x2a,                         // command type, little-endian
        0x34, 0x12,                                     // changed by
        0x01, 0x00, 0x01, 0x01,                         // mergable, echoing, transient, server command
        0xef, 0xbe,                                     // destination user
        0x08, 0x00, 0x00, 0x00,                         // state identifier length
        0x2a, 0xeb, 0xdb, 0x74, 0x01, 0x02, 0x03, 0x04, // type and key, big-endian
        0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // payload length
        'a', 'b', 'c',                                  // payload
    });
    EXPECT_EQ(wireOf(change), expected);

    // Not mergable: no state identifier, length 0.
    const auto plain = bytesCommand(bytesOf({'a', 'b', 'c'}), 0x01020304, false, true, false, false, 2);
    EXPECT_EQ(wireOf(koSessionChange(plain, 5)), bytesOf({
        0x74, 0xdb, 0xeb, 0x2a, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00,
        0x00, 0x00, 0x00, 0x00,
        0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 'a', 'b', 'c',
    }));
}

TEST(koSessionChangeWire, ServerRosterChangeBeginsWithTypeFlagsAndTypeAsStateId)
{
    // "TestRoster": md4("testroster") = 396a 5921 3095 8298 7f5d ff7a b182 beaa
    // (openssl dgst -md4 -provider legacy), so its type is 0x21596a39.
    koTestRosterCommand roster;
    roster.userCount = 3;
    roster.setChangedBy(44); // the record's own argument wins
    const koSessionChange change(roster, 0);
    EXPECT_EQ(change.getStateId(), QByteArray::fromHex("21596a39"));
    EXPECT_EQ(wireOf(change), bytesOf({
        0x39, 0x6a, 0x59, 0x21,                         // type, least significant first
        0x00, 0x00,                                     // made by the server
        0x01, 0x01, 0x00, 0x00,                         // mergable and echoing
        0x00, 0x00,                                     // to everybody
        0x04, 0x00, 0x00, 0x00,                         // four-byte state identifier ...
        0x21, 0x59, 0x6a, 0x39,                         // ... the type, most significant first
        0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // payload length
        0x00, 0x03,                                     // quint16 user count, big-endian
    }));
}

TEST(koSessionChangeWire, PayloadGoesOutInPiecesOfAtMost65000Bytes)
{
    struct Case
    {
        std::size_t payload;
        std::vector<std::size_t> pieces;
    };
    const Case cases[] = {
        {0, {}},
        {1, {1}},
        {65000, {65000}},
        {65001, {65000, 1}},
        {200000, {65000, 65000, 65000, 5000}},
    };
    for (const Case& c : cases) {
        const auto command = bytesCommand(patternPayload(c.payload), 9, true, true, false, false, 0);
        const koSessionChange change(command, 1);
        koTest::MemorySerializer serializer;
        change.putValue(serializer);
        ASSERT_EQ(serializer.bytes.size(), 16u + 8u + 8u + c.payload);

        // Skip the calls that carry the fixed part, state identifier and length.
        std::size_t offset = 0;
        std::size_t call = 0;
        while (call < serializer.putSizes.size() && offset < 16 + 8 + 8)
            offset += serializer.putSizes[call++];
        ASSERT_EQ(offset, 16u + 8u + 8u) << "payload shares a call with the header";
        const std::vector<std::size_t> pieces(serializer.putSizes.begin() + static_cast<long>(call),
                                              serializer.putSizes.end());
        EXPECT_EQ(pieces, c.pieces) << c.payload << " bytes";
        EXPECT_TRUE(std::equal(command.payload.begin(), command.payload.end(), serializer.bytes.end()
                               - static_cast<long>(c.payload)));
    }
}

TEST(koSessionChangeWire, AnyNonZeroFlagByteReadsTrueAndIsWrittenBackAsOne)
{
    const koSessionChange original(bytesCommand(bytesOf({'x'}), 1, false, false, false, false, 0), 2);
    std::vector<char> bytes = wireOf(original);
    for (int flag = 6; flag < 10; ++flag)
        bytes[static_cast<std::size_t>(flag)] = 2;
    const koSessionChange read = readWire(bytes);
    EXPECT_TRUE(read.isStateMergable());
    EXPECT_TRUE(read.isEchoing());
    EXPECT_TRUE(read.isTransient());
    EXPECT_TRUE(read.isServerCommand());
    const std::vector<char> again = wireOf(read);
    EXPECT_EQ(std::vector<char>(again.begin() + 6, again.begin() + 10), bytesOf({1, 1, 1, 1}));
    // Each flag on its own: the byte value 0x80 lands in the right field only.
    for (int flag = 0; flag < 4; ++flag) {
        std::vector<char> one = wireOf(original);
        one[static_cast<std::size_t>(6 + flag)] = static_cast<char>(0x80);
        const koSessionChange r = readWire(one);
        const bool flags[] = {r.isStateMergable(), r.isEchoing(), r.isTransient(), r.isServerCommand()};
        for (int other = 0; other < 4; ++other)
            EXPECT_EQ(flags[other], other == flag) << flag << "/" << other;
    }
}

TEST(koSessionChangeWire, RoundTripsKeepEveryField)
{
    struct Case
    {
        std::size_t payload;
        qint32 key;
        bool mergable, echoing, transient, server;
        unsigned short changedBy, destination;
    };
    const Case cases[] = {
        {0, 0, true, true, false, false, 0, 0},
        {1, -1, false, false, true, true, 65535, 65535},
        {100, 7, true, false, true, false, 1, 2},
        {65000, 8, false, true, false, true, 300, 0},
        {65001, 9, true, true, true, true, 2, 40000},
        {1 << 20, 10, true, false, false, false, 17, 18},
    };
    for (const Case& c : cases) {
        const auto command = bytesCommand(patternPayload(c.payload), c.key, c.mergable, c.echoing, c.transient,
                                          c.server, c.destination);
        const koSessionChange original(command, c.changedBy);
        const std::vector<char> wire = wireOf(original);
        koSessionChange read;
        koTest::MemorySerializer serializer(wire);
        read.getValue(serializer);
        ASSERT_EQ(serializer.position, wire.size());

        EXPECT_EQ(read.getCommandType(), original.getCommandType());
        EXPECT_EQ(read.getChangedBy(), c.changedBy);
        EXPECT_EQ(read.isStateMergable(), c.mergable);
        EXPECT_EQ(read.isEchoing(), c.echoing);
        EXPECT_EQ(read.isTransient(), c.transient);
        EXPECT_EQ(read.isServerCommand(), c.server);
        EXPECT_EQ(read.getDestinationUserId(), c.destination);
        EXPECT_EQ(read.getStateId(), original.getStateId());
        EXPECT_EQ(read.getStateId().size(), c.mergable ? 8 : 0);
        EXPECT_EQ(wireOf(read), wire);

        koTestBytesCommand rebuilt;
        ASSERT_TRUE(read.tryGetCommand(rebuilt));
        EXPECT_EQ(rebuilt.payload, command.payload) << c.payload << " bytes";
    }
}

TEST(koSessionChangeWire, EveryTruncatedPrefixFailsAndLeavesTheRecordAsItWas)
{
    const koSessionChange full(bytesCommand(patternPayload(40), 77, true, false, true, false, 5), 6);
    const std::vector<char> wire = wireOf(full);
    const koSessionChange previous(bytesCommand(bytesOf({'p'}), 1, false, true, false, true, 9), 3);
    const std::vector<char> previousWire = wireOf(previous);
    for (std::size_t length = 0; length < wire.size(); ++length) {
        koTest::MemorySerializer serializer(std::vector<char>(wire.begin(), wire.begin() + static_cast<long>(length)));
        koSessionChange target = previous;
        EXPECT_THROW(target.getValue(serializer), koNetError) << "prefix of " << length << " bytes";
        EXPECT_EQ(wireOf(target), previousWire) << "prefix of " << length << " bytes";
    }

    // Cuts inside the pieces of a payload larger than one piece.
    const koSessionChange large(bytesCommand(patternPayload(150000), 1, false, true, false, false, 0), 1);
    const std::vector<char> largeWire = wireOf(large);
    for (std::size_t cut : {std::size_t(25), std::size_t(24 + 65000), std::size_t(24 + 65001), largeWire.size() - 1}) {
        koTest::MemorySerializer serializer(std::vector<char>(largeWire.begin(), largeWire.begin() + static_cast<long>(cut)));
        koSessionChange target;
        EXPECT_THROW(target.getValue(serializer), koNetError) << "cut at " << cut;
    }
}

TEST(koSessionChangeWire, StateIdLengthOutsideTheBoundIsRefusedBeforeAnythingIsRead)
{
    const std::int32_t lengths[] = {-1, std::numeric_limits<std::int32_t>::min(), koSessionChange::maxStateIdLength + 1,
                                    std::numeric_limits<std::int32_t>::max()};
    for (std::int32_t length : lengths) {
        std::vector<char> bytes = fixedPart(length);
        bytes.resize(bytes.size() + 1000, 'z');
        koTest::MemorySerializer serializer(bytes);
        koSessionChange target;
        try {
            target.getValue(serializer);
            ADD_FAILURE() << "length " << length << " accepted";
        } catch (const koNetError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find(std::to_string(length)), std::string::npos) << message;
            EXPECT_NE(message.find(std::to_string(koSessionChange::maxStateIdLength)), std::string::npos) << message;
            EXPECT_NE(message.find("state identifier"), std::string::npos) << message;
        }
        EXPECT_EQ(serializer.position, 16u) << "read on after a bad length " << length;
    }
}

TEST(koSessionChangeWire, StateIdOfTheLargestAllowedLengthIsRead)
{
    std::vector<char> bytes = fixedPart(koSessionChange::maxStateIdLength);
    bytes.resize(bytes.size() + static_cast<std::size_t>(koSessionChange::maxStateIdLength), 's');
    appendValueSize(bytes, 0);
    const koSessionChange read = readWire(bytes);
    EXPECT_EQ(read.getStateId(), QByteArray(koSessionChange::maxStateIdLength, 's'));

    // The same length with the identifier cut short: the stream's own error.
    bytes.resize(16 + 100);
    koTest::MemorySerializer serializer(bytes);
    koSessionChange target;
    EXPECT_THROW(target.getValue(serializer), koNetError);
}

TEST(koSessionChangeWire, PayloadMemoryGrowsOnlyWithBytesThatArrive)
{
    const std::uint64_t declared[] = {std::uint64_t(1) << 40, std::numeric_limits<std::uint64_t>::max(),
                                      std::uint64_t(1) << 31};
    for (std::uint64_t length : declared) {
        std::vector<char> bytes = fixedPart(0);
        appendValueSize(bytes, length);
        bytes.resize(bytes.size() + 1000, 'q');
        koTest::MemorySerializer serializer(bytes);
        koSessionChange target;
        std::size_t largest = 0;
        {
            koTest::AllocationProbe probe;
            EXPECT_THROW(target.getValue(serializer), koNetError) << length;
            largest = probe.largest();
        }
        // One piece, or twice what has arrived, is the most that may be asked for.
        EXPECT_LE(largest, 2 * koSessionChange::pieceSize) << "declared " << length;
    }
}
