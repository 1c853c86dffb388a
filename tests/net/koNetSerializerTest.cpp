// The serializer's byte layout: what a writer produces is exactly what the
// other end reads, whatever the host's byte order.
#include "koNetTestTools.h"

#include "koNetError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using koNetTest::MemorySerializer;
using Bytes = std::vector<unsigned char>;

namespace {

template <class T>
Bytes bytesOf(T value)
{
    MemorySerializer out;
    out.putValue(value);
    return out.bytes;
}

template <class T>
T valueOf(const Bytes& bytes)
{
    MemorySerializer in(bytes);
    const T value = in.getValue<T>();
    EXPECT_EQ(in.readPos, bytes.size()) << "bytes left over";
    return value;
}

enum class Colour : std::uint16_t { Red = 0x0102, Blue = 0xfffe };

} // namespace

TEST(koNetSerializer, IntegersTravelLeastSignificantByteFirst)
{
    EXPECT_EQ(bytesOf<std::uint8_t>(0xab), (Bytes{0xab}));
    EXPECT_EQ(bytesOf<std::int8_t>(-2), (Bytes{0xfe}));
    EXPECT_EQ(bytesOf<std::uint16_t>(0x1234), (Bytes{0x34, 0x12}));
    EXPECT_EQ(bytesOf<std::int16_t>(-2), (Bytes{0xfe, 0xff}));
    EXPECT_EQ(bytesOf<std::uint32_t>(0x12345678u), (Bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(bytesOf<std::int32_t>(std::numeric_limits<std::int32_t>::min()), (Bytes{0, 0, 0, 0x80}));
    EXPECT_EQ(bytesOf<std::uint64_t>(0x0102030405060708ull), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(bytesOf<std::int64_t>(-1), Bytes(8, 0xff));
    EXPECT_EQ(bytesOf(Colour::Red), (Bytes{0x02, 0x01}));
    EXPECT_EQ(bytesOf(1.0f), (Bytes{0, 0, 0x80, 0x3f}));
    EXPECT_EQ(bytesOf(-2.0), (Bytes{0, 0, 0, 0, 0, 0, 0, 0xc0}));
}

TEST(koNetSerializer, ValuesRoundTrip)
{
    MemorySerializer s;
    s.putValue<std::int8_t>(-128);
    s.putValue<std::uint16_t>(65535);
    s.putValue<std::int32_t>(-123456789);
    s.putValue<std::uint32_t>(4000000000u);
    s.putValue<std::int64_t>(std::numeric_limits<std::int64_t>::min());
    s.putValue<std::uint64_t>(std::numeric_limits<std::uint64_t>::max());
    s.putValue(Colour::Blue);
    s.putValue(3.25f);
    s.putValue(-1e300);
    s.putValue(true);
    s.putValue(false);
    EXPECT_EQ(s.getValue<std::int8_t>(), -128);
    EXPECT_EQ(s.getValue<std::uint16_t>(), 65535);
    EXPECT_EQ(s.getValue<std::int32_t>(), -123456789);
    EXPECT_EQ(s.getValue<std::uint32_t>(), 4000000000u);
    EXPECT_EQ(s.getValue<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(s.getValue<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(s.getValue<Colour>(), Colour::Blue);
    EXPECT_EQ(s.getValue<float>(), 3.25f);
    EXPECT_EQ(s.getValue<double>(), -1e300);
    EXPECT_TRUE(s.getValue<bool>());
    EXPECT_FALSE(s.getValue<bool>());
    EXPECT_EQ(s.readPos, s.bytes.size());
}

TEST(koNetSerializer, BoolIsOneByteAndAnyNonZeroByteReadsTrue)
{
    EXPECT_EQ(bytesOf(true), (Bytes{1}));
    EXPECT_EQ(bytesOf(false), (Bytes{0}));
    for (unsigned byte : {0u, 1u, 2u, 0x7fu, 0x80u, 0xffu})
        EXPECT_EQ(valueOf<bool>(Bytes{static_cast<unsigned char>(byte)}), byte != 0) << "byte " << byte;
}

TEST(koNetSerializer, ValueSizeIsEightBytesLittleEndian)
{
    const struct {
        std::size_t size;
        Bytes wire;
    } table[] = {
        {0, Bytes(8, 0)},
        {1, {1, 0, 0, 0, 0, 0, 0, 0}},
        {0x1234, {0x34, 0x12, 0, 0, 0, 0, 0, 0}},
        {0x0102030405060708ull, {8, 7, 6, 5, 4, 3, 2, 1}},
        {std::numeric_limits<std::size_t>::max(), Bytes(8, 0xff)},
    };
    for (const auto& row : table) {
        MemorySerializer out;
        out.putValueSize(row.size);
        EXPECT_EQ(out.bytes, row.wire) << row.size;
        MemorySerializer in(row.wire);
        std::size_t size = 7;
        in.getValueSize(size);
        EXPECT_EQ(size, row.size);
        MemorySerializer again(row.wire);
        EXPECT_EQ(again.getValueSize(), row.size);
    }
}
