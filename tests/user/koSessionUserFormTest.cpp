#include "koSessionUser.h"

#include "koSessionUserInfoCommand.h"
#include "koSessionUsersCommand.h"
#include "koTestBytes.h"
#include "koTestLogCapture.h"

#include <QBuffer>
#include <QImageWriter>

#include <gtest/gtest.h>

#include <functional>

namespace {

// A 2 x 2 picture, one pixel transparent.
QImage picture()
{
    QImage image(2, 2, QImage::Format_ARGB32);
    image.fill(qRgba(200, 100, 50, 255));
    image.setPixel(0, 0, qRgba(0, 0, 0, 0));
    return image;
}

koSessionUser fullUser()
{
    koSessionUser user;
    user.setId(0x1234);
    user.setName("Ada");
    user.setColor(QColor(10, 20, 30, 40));
    user.setProjectCRC(0xdeadbeef);
    user.setProjectName("P");
    user.setIsHmd(true);
    user.setRoom("R");
    user.setVisible(false);
    user.setDeviceName("D");
    user.setDeviceImage(picture());
    user.setIsSpectator(true);
    user.setSpectatedUserId(0xbeef);
    user.setSpectatorCount(-7);
    return user;
}

// The QDataStream form written by hand, big-endian: id, name (byte count,
// UTF-16; ffffffff for a null text), colour (spec, alpha, red, green, blue,
// padding, 16 bits each), checksum, project, HMD, room, visible, device name,
// picture (0, or 1 and the picture as PNG), spectator, watched user, watchers.
const QByteArray defaultForm = QByteArray::fromHex(
    "0000 0000000e0075006e006e0061006d00650064 01ffffffff000000000000 00000000 ffffffff 00 ffffffff 01"
    "0000000e0075006e006b006e006f0077006e 00000000 00 0000 00000000");

QByteArray fullForm()
{
    QBuffer png;
    png.open(QIODevice::WriteOnly);
    QImageWriter(&png, "png").write(picture());
    return QByteArray::fromHex("1234 00000006004100640061 0128280a0a14141e1e0000 deadbeef 000000020050 01"
                               "000000020052 00 000000020044 00000001")
        + png.data() + QByteArray::fromHex("01 beef fffffff9");
}

QByteArray hexOf(const koTest::MemorySerializer& serializer)
{
    return QByteArray(serializer.bytes.data(), int(serializer.bytes.size())).toHex();
}

} // namespace

TEST(SessionUser, BothFormsWithAndWithoutPicture)
{
    for (const auto& [user, form] : {std::make_pair(koSessionUser(), defaultForm), std::make_pair(fullUser(), fullForm())}) {
        EXPECT_EQ(koTest::streamFormOf(user).toHex(), form.toHex());
        koSessionUser read = fullUser();
        QDataStream stream(form);
        read.get(stream);
        EXPECT_TRUE(stream.status() == QDataStream::Ok && stream.atEnd());
        EXPECT_FALSE(read != user);
        EXPECT_EQ(read.getProjectName(), user.getProjectName());

        // The serializer form: the byte count, 8 bytes little-endian, then the form.
        koTest::MemorySerializer serializer;
        user.putValue(serializer);
        QByteArray count(8, '\0');
        for (int i = 0; i < 4; ++i)
            count[i] = char((form.size() >> (8 * i)) & 0xff);
        EXPECT_EQ(hexOf(serializer), (count + form).toHex());
        for (std::size_t cut = 0; cut < serializer.bytes.size(); ++cut) {
            koTest::MemorySerializer part(std::vector<char>(serializer.bytes.begin(), serializer.bytes.begin() + long(cut)));
            EXPECT_THROW(koSessionUser().getValue(part), koNetError) << cut;
        }
        read.getValue(serializer);
        EXPECT_FALSE(read != user);
        EXPECT_EQ(serializer.position, serializer.bytes.size());
    }
}

TEST(SessionUser, ComparisonIgnoresOnlyTheProjectName)
{
    const std::vector<std::function<void(koSessionUser&)>> changes = {
        [](koSessionUser& u) { u.setId(1); }, [](koSessionUser& u) { u.setName("Bob"); },
        [](koSessionUser& u) { u.setColor(QColor(10, 20, 30, 41)); }, [](koSessionUser& u) { u.setProjectCRC(1); },
        [](koSessionUser& u) { u.setIsHmd(false); }, [](koSessionUser& u) { u.setRoom(""); },
        [](koSessionUser& u) { u.setVisible(true); }, [](koSessionUser& u) { u.setDeviceName("E"); },
        [](koSessionUser& u) { u.setDeviceImage(QImage()); }, [](koSessionUser& u) { u.setIsSpectator(false); },
        [](koSessionUser& u) { u.setSpectatedUserId(1); }, [](koSessionUser& u) { u.setSpectatorCount(0); },
        [](koSessionUser& u) { u.setProjectName("Q"); },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        koSessionUser other = fullUser();
        changes[i](other);
        EXPECT_EQ(other != fullUser(), i + 1 < changes.size()) << i;
        EXPECT_EQ(fullUser() != other, i + 1 < changes.size()) << i;
    }
}

// Refused from what it announces, before anything it announces is read: a
// serializer form above 16 MiB, a colour of a form Qt would keep unchecked,
// a picture larger than an icon.
TEST(SessionUser, HostileRecordsAreRefused)
{
    koTest::LogCapture log;
    for (const char* count : {"0100000100000000", "ffffffffffffff7f"}) {
        const QByteArray bytes = QByteArray::fromHex(count) + QByteArray(64, 'x');
        koTest::MemorySerializer serializer(std::vector<char>(bytes.begin(), bytes.end()));
        EXPECT_THROW(koSessionUser().getValue(serializer), koNetError) << count;
        EXPECT_EQ(serializer.reads, 1) << count;
    }
    EXPECT_EQ(log.lines(koLog::Level::Error).size(), 2u);

    struct Row
    {
        const char* color; // spec, alpha, red, green, blue, padding; 3c00 is 1.0 as a half float
        int side;
        bool accepted;
    };
    const Row rows[] = {
        {"00 ffff 0000 0000 0000 0000", 0, true},  {"05 3c00 4000 3c00 0000 0000", 0, true},
        {"06 ffff 0000 0000 0000 0000", 0, false}, {"ff ffff 0000 0000 0000 0000", 0, false},
        {"05 7e00 3c00 3c00 3c00 0000", 0, false}, {"05 3c00 7c00 0000 0000 0000", 0, false},
        {"01 ffff 1010 2020 3030 0000", 4096, true}, {"01 ffff 1010 2020 3030 0000", 4097, true},
    };
    for (const Row& row : rows) {
        koSessionUser user;
        user.setName("Ada");
        user.setSpectatorCount(2);
        QImage image(row.side, 1, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        user.setDeviceImage(image);
        const QByteArray form = koTest::streamFormOf(user).replace(2 + 4 + 6, 11, QByteArray::fromHex(row.color));
        koSessionUser read;
        QDataStream stream(form);
        read.get(stream);
        EXPECT_EQ(stream.status() == QDataStream::Ok, row.accepted) << row.color << " " << row.side;
        const int spec = row.accepted || row.side ? QByteArray::fromHex(row.color)[0] : int(QColor::Invalid);
        EXPECT_EQ(int(read.getColor().spec()), spec) << row.color;
        // A picture too large to decode is skipped whole: a null image, the rest read on.
        const bool decoded = row.accepted && row.side <= koSessionUser::maxDeviceImageSide;
        EXPECT_EQ(read.getDeviceImage().width(), decoded ? row.side : 0);
        EXPECT_EQ(read.getSpectatorCount(), 2) << "what follows the colour and the picture still reads";
    }
}

TEST(SessionUser, RosterAndInfoPayloadsAndRecords)
{
    const QByteArray full = fullForm();
    EXPECT_EQ(koTest::payloadOf(koSessionUsersCommand({koSessionUser(), fullUser()})).toHex(),
              (QByteArray::fromHex("00000002") + defaultForm + full).toHex());
    EXPECT_EQ(koTest::payloadOf(koSessionUserInfoCommand(fullUser())).toHex(), full.toHex());

    koSessionUsersCommand users({fullUser()});
    EXPECT_EQ(koTest::readPayload(users, QByteArray::fromHex("00000002") + full + defaultForm), QDataStream::Ok);
    ASSERT_EQ(users.getUsers().size(), 2u);
    EXPECT_FALSE(users.getUsers()[0] != fullUser());
    EXPECT_EQ(koTest::readPayload(users, QByteArray::fromHex("00000000")), QDataStream::Ok);
    EXPECT_TRUE(users.getUsers().empty());
    EXPECT_NE(koTest::readPayload(users, QByteArray::fromHex("ffffffff") + defaultForm), QDataStream::Ok);

    // "UpdateUsers" is 0x5eb4e239 and "UpdateInfo" 0x772d80f3: one state per class.
    koTest::MemorySerializer serializer;
    koSessionChange(koSessionUsersCommand(), 0).putValue(serializer);
    EXPECT_EQ(hexOf(serializer), "39e2b45e000001010000000004000000" "5eb4e239" "0400000000000000" "00000000");
    serializer.reset();
    koSessionChange(koSessionUserInfoCommand(koSessionUser()), 5).putValue(serializer);
    EXPECT_EQ(hexOf(serializer), "f3802d77050001000101000004000000" "772d80f3" "4a00000000000000" + defaultForm.toHex());
}
