#include "koSessionUser.h"

#include "koSessionChange.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionUsersCommand.h"
#include "koTestLogCapture.h"
#include "koTestMemorySerializer.h"

#include <QBuffer>
#include <QDataStream>
#include <QImageWriter>

#include <gtest/gtest.h>

#include <functional>
#include <string>

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
const char* const defaultForm =
    "0000 0000000e0075006e006e0061006d00650064 01ffffffff000000000000 00000000 ffffffff 00 ffffffff 01"
    "0000000e0075006e006b006e006f0077006e 00000000 00 0000 00000000";
const char* const fullBeforePicture =
    "1234 00000006004100640061 0128280a0a14141e1e0000 deadbeef 000000020050 01 000000020052 00 000000020044";
const char* const fullAfterPicture = "01 beef fffffff9";

QByteArray fullForm()
{
    QBuffer png;
    png.open(QIODevice::WriteOnly);
    QImageWriter(&png, "png").write(picture());
    return QByteArray::fromHex(fullBeforePicture) + QByteArray::fromHex("00000001") + png.data()
        + QByteArray::fromHex(fullAfterPicture);
}

QByteArray formOf(const koSessionUser& user)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    user.put(stream);
    return bytes;
}

QByteArray payloadOf(const koSessionCommand& command)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    command.putData(stream);
    return bytes;
}

QDataStream::Status readInto(const QByteArray& bytes, const std::function<void(QDataStream&)>& get)
{
    QDataStream stream(bytes);
    get(stream);
    return stream.atEnd() || stream.status() != QDataStream::Ok ? stream.status() : QDataStream::ReadCorruptData;
}

QByteArray hexOf(const std::vector<char>& bytes)
{
    return QByteArray(bytes.data(), int(bytes.size())).toHex();
}

} // namespace

TEST(SessionUser, BothFormsWithAndWithoutPicture)
{
    struct Row
    {
        koSessionUser user;
        QByteArray form;
        const char* length; // of the serializer form, 8 bytes little-endian
    };
    const Row rows[] = {{koSessionUser(), QByteArray::fromHex(defaultForm), "4a00000000000000"},
                        {fullUser(), fullForm(), nullptr}};
    for (const Row& row : rows) {
        EXPECT_EQ(formOf(row.user).toHex(), row.form.toHex());
        koSessionUser read = fullUser();
        EXPECT_EQ(readInto(row.form, [&](QDataStream& s) { read.get(s); }), QDataStream::Ok);
        EXPECT_FALSE(read != row.user);
        EXPECT_EQ(read.getProjectName(), row.user.getProjectName());
        EXPECT_EQ(read.getDeviceImage(), row.user.getDeviceImage());

        koTest::MemorySerializer serializer;
        row.user.putValue(serializer);
        QByteArray length(8, '\0');
        for (int i = 0; i < 8; ++i)
            length[i] = char((std::uint64_t(row.form.size()) >> (8 * i)) & 0xff);
        EXPECT_EQ(hexOf(serializer.bytes), (length + row.form).toHex());
        if (row.length)
            EXPECT_EQ(length.toHex(), QByteArray(row.length));
        for (std::size_t cut = 0; cut < serializer.bytes.size(); ++cut) {
            koTest::MemorySerializer part(std::vector<char>(serializer.bytes.begin(), serializer.bytes.begin() + long(cut)));
            EXPECT_THROW(koSessionUser().getValue(part), koNetError) << cut;
        }
        read.getValue(serializer);
        EXPECT_FALSE(read != row.user);
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
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        koSessionUser other = fullUser();
        changes[i](other);
        EXPECT_TRUE(other != fullUser()) << i;
        EXPECT_TRUE(fullUser() != other) << i;
    }
    koSessionUser moved = fullUser();
    moved.setProjectName("Q");
    EXPECT_FALSE(moved != fullUser());
}

TEST(SessionUser, OversizedSerializerFormIsRefusedFromItsLength)
{
    koTest::LogCapture log;
    for (const char* length : {"0100000100000000", "ffffffffffffff7f"}) {
        koTest::MemorySerializer serializer(std::vector<char>(64, 'x'));
        const QByteArray count = QByteArray::fromHex(length);
        std::copy(count.begin(), count.end(), serializer.bytes.begin());
        EXPECT_THROW(koSessionUser().getValue(serializer), koNetError) << length;
        EXPECT_EQ(serializer.reads, 1) << length;
    }
    EXPECT_EQ(log.lines(koLog::Level::Error).size(), 2u);
}

// Colours in a form Qt would keep unchecked and pictures announcing far
// more pixels than an icon has mark the stream corrupt.
TEST(SessionUser, HostileColoursAndPicturesAreRefused)
{
    struct Row
    {
        const char* color; // spec, alpha, red, green, blue, padding
        int side;
        bool accepted;
    };
    const Row rows[] = {
        {"01 ffff 1010 2020 3030 0000", 0, true},  {"00 ffff 0000 0000 0000 0000", 0, true},
        {"04 ffff 1000 2000 3000 0000", 0, true},  {"05 3c00 4000 3c00 0000 0000", 0, true},
        {"06 ffff 0000 0000 0000 0000", 0, false}, {"ff ffff 0000 0000 0000 0000", 0, false},
        {"05 7e00 3c00 3c00 3c00 0000", 0, false}, {"05 3c00 7c00 0000 0000 0000", 0, false},
        {"05 3c00 0000 0000 fc00 0000", 0, false}, {"01 ffff 1010 2020 3030 0000", 1024, true},
        {"01 ffff 1010 2020 3030 0000", 1025, false},
    };
    for (const Row& row : rows) {
        koSessionUser user;
        user.setName("Ada");
        user.setSpectatorCount(2);
        QImage image(row.side, row.side == 1025 ? 1 : row.side, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        user.setDeviceImage(image);
        QByteArray form = formOf(user);
        form.replace(2 + 4 + 6, 11, QByteArray::fromHex(row.color));
        koSessionUser read;
        QDataStream stream(form);
        read.get(stream);
        EXPECT_EQ(stream.status() == QDataStream::Ok, row.accepted) << row.color << " " << row.side;
        const int spec = row.accepted || row.side ? QByteArray::fromHex(row.color)[0] : int(QColor::Invalid);
        EXPECT_EQ(int(read.getColor().spec()), spec) << row.color;
        EXPECT_EQ(read.getDeviceImage().width(), row.accepted ? row.side : 0);
        if (row.side == 0)
            EXPECT_EQ(read.getSpectatorCount(), 2) << "what follows the colour still reads";
    }
}

TEST(SessionUser, RosterAndInfoPayloadsAndRecords)
{
    const QByteArray full = fullForm();
    const QByteArray plain = QByteArray::fromHex(defaultForm);
    EXPECT_EQ(payloadOf(koSessionUsersCommand({koSessionUser(), fullUser()})).toHex(),
              (QByteArray::fromHex("00000002") + plain + full).toHex());
    EXPECT_EQ(payloadOf(koSessionUserInfoCommand(fullUser())).toHex(), full.toHex());

    koSessionUsersCommand users({fullUser()});
    EXPECT_EQ(readInto(QByteArray::fromHex("00000002") + full + plain, [&](QDataStream& s) { users.getData(s); }),
              QDataStream::Ok);
    ASSERT_EQ(users.getUsers().size(), 2u);
    EXPECT_FALSE(users.getUsers()[0] != fullUser());
    EXPECT_EQ(readInto(QByteArray::fromHex("00000000"), [&](QDataStream& s) { users.getData(s); }), QDataStream::Ok);
    EXPECT_TRUE(users.getUsers().empty());
    EXPECT_NE(readInto(QByteArray::fromHex("ffffffff") + plain, [&](QDataStream& s) { users.getData(s); }),
              QDataStream::Ok);

    // "UpdateUsers" is 0x5eb4e239 and "UpdateInfo" 0x772d80f3: one state per class.
    koTest::MemorySerializer serializer;
    koSessionChange(koSessionUsersCommand(), 0).putValue(serializer);
    EXPECT_EQ(hexOf(serializer.bytes), "39e2b45e000001010000000004000000" "5eb4e239" "0400000000000000" "00000000");
    serializer.reset();
    koSessionChange(koSessionUserInfoCommand(koSessionUser()), 5).putValue(serializer);
    EXPECT_EQ(hexOf(serializer.bytes),
              QByteArray("f3802d77050001000101000004000000" "772d80f3" "4a00000000000000") + plain.toHex());
}
