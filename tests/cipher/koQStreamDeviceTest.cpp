#include "koMemoryIStream.h"
#include "koMemoryOStream.h"
#include "koQStreamDevice.h"

#include <QByteArray>
#include <QDataStream>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct Record
{
    qint32 number = 0;
    quint64 big = 0;
    double real = 0.0;
    bool flag = false;
    QString text;
    QByteArray bytes;
    QStringList list;
};

void writeRecord(QDataStream& stream, const Record& r)
{
    stream << r.number << r.big << r.real << r.flag << r.text << r.bytes << r.list;
}

Record readRecord(QDataStream& stream)
{
    Record r;
    stream >> r.number >> r.big >> r.real >> r.flag >> r.text >> r.bytes >> r.list;
    return r;
}

std::vector<char> encode(const Record& record)
{
    koMemoryOStream out;
    koQStreamDevice device(&out);
    QDataStream stream(&device);
    writeRecord(stream, record);
    EXPECT_EQ(stream.status(), QDataStream::Ok);
    return out.getData();
}

std::vector<Record> sampleRecords()
{
    return {
        {0, 0, 0.0, false, QString(), QByteArray(), {}},
        {-7, 0xffffffffffffffffull, -1.5e300, true, QStringLiteral("Grüße"), QByteArray("\0\1\2", 3),
         {QStringLiteral("a"), QString()}},
        {2147483647, 1ull << 40, 3.25, true, QString(3000, QChar('z')), QByteArray(70000, 'q'),
         {QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}},
    };
}

TEST(koQStreamDevice, DataStreamRoundTripsThroughMemoryStreams)
{
    for (const Record& record : sampleRecords()) {
        const std::vector<char> data = encode(record);
        koMemoryIStream in(data);
        koQStreamDevice device(&in);
        QDataStream stream(&device);
        const Record back = readRecord(stream);
        EXPECT_EQ(stream.status(), QDataStream::Ok);
        EXPECT_EQ(back.number, record.number);
        EXPECT_EQ(back.big, record.big);
        EXPECT_EQ(back.real, record.real);
        EXPECT_EQ(back.flag, record.flag);
        EXPECT_EQ(back.text, record.text);
        EXPECT_EQ(back.bytes, record.bytes);
        EXPECT_EQ(back.list, record.list);
        EXPECT_EQ(in.peek(), std::char_traits<char>::eof()) << "bytes left over";
    }
}

// Every truncated prefix ends in ReadPastEnd: no hang, no crash, no huge
// allocation from a length that was cut short.
TEST(koQStreamDevice, EveryTruncatedPrefixGivesReadPastEnd)
{
    const std::vector<char> data = encode(sampleRecords()[1]);
    for (std::size_t prefix = 0; prefix < data.size(); ++prefix) {
        koMemoryIStream in(data.data(), prefix);
        koQStreamDevice device(&in);
        QDataStream stream(&device);
        readRecord(stream);
        ASSERT_EQ(stream.status(), QDataStream::ReadPastEnd) << "prefix " << prefix;
    }
}

// The device must not read ahead: whatever follows the Qt data belongs to the
// next reader of the same standard stream.
TEST(koQStreamDevice, ReadsNoFurtherThanTheDataStreamAsks)
{
    std::vector<char> data = encode(sampleRecords()[1]);
    const std::size_t recordSize = data.size();
    const std::string trailer = "NEXT";
    data.insert(data.end(), trailer.begin(), trailer.end());
    {
        koMemoryIStream in(data);
        koQStreamDevice device(&in);
        QDataStream stream(&device);
        qint32 number = 0;
        stream >> number;
        EXPECT_EQ(in.tellg(), std::streampos(4));
    }
    koMemoryIStream in(data);
    {
        koQStreamDevice device(&in);
        QDataStream stream(&device);
        readRecord(stream);
        ASSERT_EQ(stream.status(), QDataStream::Ok);
    }
    EXPECT_EQ(static_cast<std::size_t>(in.tellg()), recordSize);
    std::string rest(4, '\0');
    in.read(&rest[0], 4);
    EXPECT_EQ(rest, trailer);
}

TEST(koQStreamDevice, FailingOutputStreamGivesWriteFailed)
{
    std::ostringstream out;
    out.setstate(std::ios_base::badbit);
    koQStreamDevice device(&out);
    QDataStream stream(&device);
    stream << qint32(1);
    EXPECT_EQ(stream.status(), QDataStream::WriteFailed);
}

TEST(koQStreamDevice, OpensForItsDirectionOnly)
{
    std::istringstream in("abc");
    std::ostringstream out;
    koQStreamDevice reader(&in);
    koQStreamDevice writer(&out);
    EXPECT_TRUE(reader.isReadable());
    EXPECT_FALSE(reader.isWritable());
    EXPECT_TRUE(writer.isWritable());
    EXPECT_FALSE(writer.isReadable());
    EXPECT_EQ(reader.write("x", 1), -1);
    EXPECT_EQ(reader.read(2), QByteArray("ab"));
    EXPECT_EQ(writer.write("xy", 2), 2);
    EXPECT_EQ(out.str(), "xy");
}

} // namespace
