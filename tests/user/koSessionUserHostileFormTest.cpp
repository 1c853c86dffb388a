// Participant records that a hostile or broken peer may send: colours in a
// form Qt would keep without checking, and device pictures that announce far
// more pixels than an icon has. The reader refuses them (the stream turns
// ReadCorruptData) and the rest of the record still reads.

#include "koSessionUser.h"
#include "koTestBytes.h"
#include "koTestLogCapture.h"

#include <QByteArray>
#include <QDataStream>
#include <QImage>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The colour's form starts after the id (2 bytes) and the name "Ada" (a
// 4-byte length and 3 UTF-16 units).
constexpr int ColorOffset = 2 + 4 + 6;

koSessionUser makeUser()
{
    koSessionUser user;
    user.setId(9);
    user.setName(QStringLiteral("Ada"));
    user.setColor(QColor(10, 20, 30));
    user.setDeviceName(QStringLiteral("Headset"));
    user.setSpectatorCount(2);
    return user;
}

using koTest::streamFormOf;

// The colour's spec byte, then alpha, red, green, blue and padding, 16 bits
// each, big-endian.
QByteArray colorForm(qint8 spec, const std::vector<quint16>& fields)
{
    QByteArray form(1, char(spec));
    for (const quint16 field : fields) {
        form.append(char(field >> 8));
        form.append(char(field & 0xff));
    }
    return form;
}

struct ReadResult
{
    koSessionUser user;
    QDataStream::Status status;
};

ReadResult readForm(const QByteArray& bytes)
{
    ReadResult result{koSessionUser(), QDataStream::Ok};
    QDataStream stream(bytes);
    result.user.get(stream);
    result.status = stream.status();
    return result;
}

struct ColorCase
{
    const char* what;
    qint8 spec;
    std::vector<quint16> fields;
    bool accepted;
};

// 0x7e00 is a quiet NaN as a half float, 0x7c00 infinity, 0x3c00 one and
// 0x4000 two.
const std::vector<ColorCase> colorCases = {
    {"plain rgb", 1, {0xffff, 0x1010, 0x2020, 0x3030, 0}, true},
    {"invalid colour", 0, {0xffff, 0, 0, 0, 0}, true},
    {"hsl", 4, {0xffff, 0x1000, 0x2000, 0x3000, 0}, true},
    {"extended, finite beyond one", 5, {0x3c00, 0x4000, 0x3c00, 0, 0}, true},
    {"spec above the last", 6, {0xffff, 0, 0, 0, 0}, false},
    {"spec twenty", 20, {0xffff, 0x1414, 0x7878, 0xc8c8, 0}, false},
    {"negative spec", -1, {0xffff, 0, 0, 0, 0}, false},
    {"extended, NaN alpha", 5, {0x7e00, 0x3c00, 0x3c00, 0x3c00, 0}, false},
    {"extended, infinite red", 5, {0x3c00, 0x7c00, 0, 0, 0}, false},
    {"extended, negative infinite blue", 5, {0x3c00, 0, 0, 0xfc00, 0}, false},
};

TEST(SessionUserHostileForm, ColoursOfUnknownOrNonFiniteFormAreRefused)
{
    const QByteArray good = streamFormOf(makeUser());
    for (const ColorCase& row : colorCases) {
        SCOPED_TRACE(row.what);
        QByteArray bytes = good;
        bytes.replace(ColorOffset, 11, colorForm(row.spec, row.fields));
        const ReadResult result = readForm(bytes);
        if (row.accepted) {
            EXPECT_EQ(result.status, QDataStream::Ok);
            EXPECT_EQ(int(result.user.getColor().spec()), int(row.spec));
            // A colour that was accepted is equal to itself once written and read again.
            const ReadResult again = readForm(streamFormOf(result.user));
            EXPECT_EQ(again.status, QDataStream::Ok);
            EXPECT_FALSE(again.user != result.user);
        } else {
            EXPECT_EQ(result.status, QDataStream::ReadCorruptData);
            EXPECT_FALSE(result.user.getColor().isValid());
        }
        // What follows the colour still reads.
        EXPECT_EQ(result.user.getDeviceName(), QStringLiteral("Headset"));
        EXPECT_EQ(result.user.getSpectatorCount(), 2);
    }
}

struct ImageCase
{
    const char* what;
    int width;
    int height;
    bool accepted;
};

TEST(SessionUserHostileForm, DevicePicturesAboveTheLimitAreRefused)
{
    const int side = koSessionUser::maxDeviceImageSide;
    const std::vector<ImageCase> cases = {
        {"at the limit", side, side, true},
        {"one column too wide", side + 1, 1, false},
        {"one row too tall", 1, side + 1, false},
        {"far too large", 4 * side, 2 * side, false},
    };
    for (const ImageCase& row : cases) {
        SCOPED_TRACE(row.what);
        koTest::LogCapture log;
        koSessionUser user = makeUser();
        QImage image(row.width, row.height, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        user.setDeviceImage(image);
        const ReadResult result = readForm(streamFormOf(user));
        if (row.accepted) {
            EXPECT_EQ(result.status, QDataStream::Ok);
            EXPECT_EQ(result.user.getDeviceImage().size(), image.size());
            EXPECT_TRUE(log.lines().empty());
        } else {
            EXPECT_EQ(result.status, QDataStream::ReadCorruptData);
            EXPECT_TRUE(result.user.getDeviceImage().isNull());
            ASSERT_EQ(log.lines().size(), 1u);
            EXPECT_NE(log.lines()[0].find("exceeds the limit"), std::string::npos) << log.lines()[0];
        }
    }
}

// A picture's header alone decides: a record cut where an oversized
// picture's pixel data would begin is refused as too large, not read as
// short, so no buffer was made for the pixels.
TEST(SessionUserHostileForm, OversizedPictureIsRefusedFromItsHeader)
{
    koTest::LogCapture log;
    koSessionUser user = makeUser();
    const int side = koSessionUser::maxDeviceImageSide + 1;
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    user.setDeviceImage(image);
    const QByteArray whole = streamFormOf(user);
    // Every chunk before the pixel data, up to the pixel data's chunk type.
    const int pixels = whole.indexOf("IDAT", whole.indexOf("\x89PNG"));
    ASSERT_GT(pixels, 0);
    const ReadResult result = readForm(whole.left(pixels + 4));
    EXPECT_EQ(result.status, QDataStream::ReadCorruptData);
    EXPECT_TRUE(result.user.getDeviceImage().isNull());
    EXPECT_EQ(log.lines().size(), 1u);
}

} // namespace
