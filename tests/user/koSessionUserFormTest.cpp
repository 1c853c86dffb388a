#include "koTestDeviceImage.h"
#include "koTestLogCapture.h"
#include "koTestBytes.h"

#include "koLog.h"
#include "koNetError.h"
#include "koSessionUser.h"

#include <QByteArray>
#include <QDataStream>

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using koTest::streamFormOf;

koSessionUser readDataStreamForm(const QByteArray& bytes)
{
    koSessionUser user;
    QDataStream stream(bytes);
    user.get(stream);
    EXPECT_EQ(stream.status(), QDataStream::Ok);
    EXPECT_TRUE(stream.atEnd()) << "the reader must consume exactly the record";
    return user;
}

// Every field away from its default.
koSessionUser makeFullUser()
{
    koSessionUser user;
    user.setId(0x1234);
    user.setName(QStringLiteral("Ada Lovelace"));
    user.setColor(QColor(10, 20, 30, 40));
    user.setProjectCRC(0xdeadbeef);
    user.setProjectName(QStringLiteral("Engine Hall"));
    user.setIsHmd(true);
    user.setRoom(QStringLiteral("Room 7"));
    user.setVisible(false);
    user.setDeviceName(QStringLiteral("Headset \u00e9"));
    user.setDeviceImage(koTest::makeDeviceImage());
    user.setIsSpectator(true);
    user.setSpectatedUserId(0xbeef);
    user.setSpectatorCount(-7);
    return user;
}

void expectSameRecord(const koSessionUser& expected, const koSessionUser& actual)
{
    EXPECT_FALSE(expected != actual);
    EXPECT_EQ(expected.getProjectName(), actual.getProjectName());
    EXPECT_EQ(expected.getDeviceImage(), actual.getDeviceImage());
    EXPECT_EQ(streamFormOf(expected), streamFormOf(actual));
}

QByteArray bytesOf(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int value : values)
        bytes.append(char(value));
    return bytes;
}

std::vector<char> toVector(const QByteArray& bytes)
{
    return std::vector<char>(bytes.begin(), bytes.end());
}

std::vector<char> littleEndian64(std::uint64_t value)
{
    std::vector<char> bytes;
    for (int i = 0; i < 8; ++i)
        bytes.push_back(char((value >> (8 * i)) & 0xff));
    return bytes;
}

} // namespace

TEST(SessionUserForm, DefaultRecordWritesTheExpectedBytes)
{
    const QByteArray expected = bytesOf({
        0x00, 0x00,                                                     // id
        0x00, 0x00, 0x00, 0x0e, 0x00, 'u', 0x00, 'n', 0x00, 'n', 0x00, 'a',
        0x00, 'm', 0x00, 'e', 0x00, 'd',                                // name "unnamed"
        0x01, 0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // color: RGB model, red
        0x00, 0x00, 0x00, 0x00,                                         // projectCRC
        0xff, 0xff, 0xff, 0xff,                                         // projectName (null text)
        0x00,                                                           // isHmd
        0xff, 0xff, 0xff, 0xff,                                         // room (null text)
        0x01,                                                           // visible
        0x00, 0x00, 0x00, 0x0e, 0x00, 'u', 0x00, 'n', 0x00, 'k', 0x00, 'n',
        0x00, 'o', 0x00, 'w', 0x00, 'n',                                // deviceName "unknown"
        0x00, 0x00, 0x00, 0x00,                                         // deviceImage: null marker
        0x00,                                                           // isSpectator
        0x00, 0x00,                                                     // spectatedUserId
        0x00, 0x00, 0x00, 0x00,                                         // spectatorCount
    });
    EXPECT_EQ(streamFormOf(koSessionUser()).toHex(' '), expected.toHex(' '));
}

TEST(SessionUserForm, DataStreamRoundTripKeepsEveryField)
{
    const koSessionUser withImage = makeFullUser();
    koSessionUser withNullImage = makeFullUser();
    withNullImage.setDeviceImage(QImage());
    for (const koSessionUser& user : {koSessionUser(), withImage, withNullImage}) {
        const koSessionUser copy = readDataStreamForm(streamFormOf(user));
        expectSameRecord(user, copy);
    }
    // The picture's transparent and opaque pixels survive as they were.
    const QImage image = readDataStreamForm(streamFormOf(withImage)).getDeviceImage();
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    EXPECT_EQ(image.pixel(50, 50), qRgba(100, 100, 90, 255));
    EXPECT_EQ(qAlpha(image.pixel(30, 88)), 128);
}

TEST(SessionUserForm, RecordsFollowEachOtherInOneStream)
{
    const koSessionUser first = makeFullUser();
    koSessionUser second;
    second.setName(QStringLiteral("second"));
    second.setId(2);
    QByteArray bytes = streamFormOf(first) + streamFormOf(second);
    QDataStream stream(bytes);
    koSessionUser readFirst;
    koSessionUser readSecond;
    readFirst.get(stream);
    readSecond.get(stream);
    EXPECT_EQ(stream.status(), QDataStream::Ok);
    EXPECT_TRUE(stream.atEnd());
    expectSameRecord(first, readFirst);
    expectSameRecord(second, readSecond);
}

TEST(SessionUserForm, ComparisonIgnoresOnlyProjectName)
{
    struct Row
    {
        const char* field;
        std::function<void(koSessionUser&)> change;
        bool differs;
    };
    QImage otherImage = koTest::makeDeviceImage();
    otherImage.setPixel(40, 40, qRgba(1, 2, 3, 255));
    const std::vector<Row> rows = {
        {"nothing", [](koSessionUser&) {}, false},
        {"projectName", [](koSessionUser& u) { u.setProjectName(QStringLiteral("other")); }, false},
        {"id", [](koSessionUser& u) { u.setId(1); }, true},
        {"name", [](koSessionUser& u) { u.setName(QStringLiteral("Ada")); }, true},
        {"color", [](koSessionUser& u) { u.setColor(QColor(10, 20, 31, 40)); }, true},
        {"color alpha", [](koSessionUser& u) { u.setColor(QColor(10, 20, 30, 41)); }, true},
        {"projectCRC", [](koSessionUser& u) { u.setProjectCRC(0xdeadbeee); }, true},
        {"isHmd", [](koSessionUser& u) { u.setIsHmd(false); }, true},
        {"room", [](koSessionUser& u) { u.setRoom(QString()); }, true},
        {"visible", [](koSessionUser& u) { u.setVisible(true); }, true},
        {"deviceName", [](koSessionUser& u) { u.setDeviceName(QStringLiteral("Headset")); }, true},
        {"deviceImage pixel", [&](koSessionUser& u) { u.setDeviceImage(otherImage); }, true},
        {"deviceImage null", [](koSessionUser& u) { u.setDeviceImage(QImage()); }, true},
        {"isSpectator", [](koSessionUser& u) { u.setIsSpectator(false); }, true},
        {"spectatedUserId", [](koSessionUser& u) { u.setSpectatedUserId(0xbeee); }, true},
        {"spectatorCount", [](koSessionUser& u) { u.setSpectatorCount(0); }, true},
    };
    const koSessionUser base = makeFullUser();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.field);
        koSessionUser other = base;
        row.change(other);
        EXPECT_EQ(base != other, row.differs);
        EXPECT_EQ(other != base, row.differs);
    }
}

TEST(SessionUserForm, SerializerFormIsLengthThenDataStreamForm)
{
    const koSessionUser user = makeFullUser();
    const QByteArray form = streamFormOf(user);
    koTest::MemorySerializer serializer;
    user.putValue(serializer);

    std::vector<char> expected = littleEndian64(std::uint64_t(form.size()));
    const std::vector<char> body = toVector(form);
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_EQ(serializer.bytes, expected);
}

TEST(SessionUserForm, SerializerRoundTripConsumesExactlyTheRecords)
{
    const koSessionUser first = makeFullUser();
    const koSessionUser second;
    koTest::MemorySerializer serializer;
    first.putValue(serializer);
    second.putValue(serializer);

    koSessionUser readFirst;
    koSessionUser readSecond = makeFullUser();
    readFirst.getValue(serializer);
    readSecond.getValue(serializer);
    expectSameRecord(first, readFirst);
    expectSameRecord(second, readSecond);
    EXPECT_EQ(serializer.position, serializer.bytes.size());
}

TEST(SessionUserForm, EveryTruncatedSerializerFormFails)
{
    koTest::MemorySerializer whole;
    makeFullUser().putValue(whole);
    for (std::size_t length = 0; length < whole.bytes.size(); ++length) {
        SCOPED_TRACE(length);
        koTest::MemorySerializer truncated(
            std::vector<char>(whole.bytes.begin(), whole.bytes.begin() + std::ptrdiff_t(length)));
        koSessionUser user;
        EXPECT_THROW(user.getValue(truncated), koNetError);
    }
}

TEST(SessionUserForm, OversizedLengthIsRefusedBeforeReadingOn)
{
    koTest::LogCapture log;
    const std::uint64_t bound = koSessionUser::maxSerializedSize;
    for (const std::uint64_t length : {bound + 1, std::uint64_t(1) << 40,
                                       std::uint64_t(std::numeric_limits<std::int64_t>::max())}) {
        SCOPED_TRACE(length);
        koTest::MemorySerializer serializer(littleEndian64(length));
        serializer.bytes.resize(serializer.bytes.size() + 64, 'x');
        koSessionUser user;
        try {
            user.getValue(serializer);
            ADD_FAILURE() << "an oversized record was accepted";
        } catch (const koNetError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find(std::to_string(length)), std::string::npos) << message;
            EXPECT_NE(message.find(std::to_string(bound)), std::string::npos) << message;
        }
        EXPECT_EQ(serializer.reads, 1) << "nothing may be read after the refused length";
        EXPECT_EQ(serializer.position, 8u);
    }
    EXPECT_EQ(log.lines(koLog::Level::Error).size(), 3u);

    // At the bound the length is accepted; the body is then missing.
    koTest::MemorySerializer atBound(littleEndian64(bound));
    koSessionUser user;
    EXPECT_THROW(user.getValue(atBound), koNetError);
    EXPECT_EQ(atBound.reads, 2);
}
