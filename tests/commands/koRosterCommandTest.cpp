#include "koTestBytes.h"

#include "koSessionChange.h"
#include "koSessionCommandFactory.h"
#include "koSessionUser.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionUsersCommand.h"

#include <QByteArray>
#include <QDataStream>
#include <QImage>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

QByteArray userForm(const koSessionUser& user)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    user.put(stream);
    return bytes;
}

QImage makeSmallImage(int seed)
{
    QImage image(5, 4, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgba(x * 40 + seed, y * 50, seed, (x + y) % 2 ? 255 : 0));
    return image;
}

koSessionUser makeUser(unsigned short id, const char* name, bool withImage)
{
    koSessionUser user;
    user.setId(id);
    user.setName(QString::fromLatin1(name));
    user.setColor(QColor(id, 2 * id, 3 * id));
    user.setProjectName(QStringLiteral("project ") + QString::number(id));
    user.setRoom(QStringLiteral("room"));
    user.setSpectatorCount(id);
    if (withImage)
        user.setDeviceImage(makeSmallImage(id));
    return user;
}

std::vector<koSessionUser> makeRoster()
{
    return {makeUser(1, "first", true), makeUser(2, "second", false), makeUser(3, "third", true)};
}

void expectSameRoster(const std::vector<koSessionUser>& expected, const std::vector<koSessionUser>& actual)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(expected[i] != actual[i]);
        EXPECT_EQ(expected[i].getProjectName(), actual[i].getProjectName());
    }
}

} // namespace

TEST(RosterCommands, InfoPayloadIsTheRecordAlone)
{
    const koSessionUser user = makeUser(9, "nine", true);
    EXPECT_EQ(koTest::payloadOf(koSessionUserInfoCommand(user)), userForm(user));

    koSessionUserInfoCommand read;
    EXPECT_EQ(koTest::readPayload(read, userForm(user)), QDataStream::Ok);
    EXPECT_FALSE(read.getUser() != user);
}

TEST(RosterCommands, RosterPayloadIsCountThenRecords)
{
    const std::vector<koSessionUser> roster = makeRoster();
    QByteArray expected;
    koTest::appendBigEndian(expected, roster.size(), 4);
    for (const koSessionUser& user : roster)
        expected += userForm(user);
    EXPECT_EQ(koTest::payloadOf(koSessionUsersCommand(roster)).toHex(), expected.toHex());
    EXPECT_EQ(koTest::payloadOf(koSessionUsersCommand()).toHex(), QByteArray("00000000"));

    koSessionUsersCommand read;
    EXPECT_EQ(koTest::readPayload(read, expected), QDataStream::Ok);
    expectSameRoster(roster, read.getUsers());
}

TEST(RosterCommands, CountZeroEmptiesTheList)
{
    koSessionUsersCommand command(makeRoster());
    EXPECT_EQ(koTest::readPayload(command, QByteArray(4, '\0')), QDataStream::Ok);
    EXPECT_TRUE(command.getUsers().empty());
}

TEST(RosterCommands, TruncatedRosterStopsAtTheEndOfTheStream)
{
    // Counts far beyond the records present, among them -1 (compared unsigned).
    const QByteArray oneRecord = userForm(makeUser(4, "four", true));
    for (const std::uint32_t count : {2u, 0x7fffffffu, 0xffffffffu}) {
        SCOPED_TRACE(count);
        QByteArray payload;
        koTest::appendBigEndian(payload, count, 4);
        payload += oneRecord;
        koSessionUsersCommand command(makeRoster());
        EXPECT_NE(koTest::readPayload(command, payload), QDataStream::Ok);
        ASSERT_GE(command.getUsers().size(), 1u);
        EXPECT_LE(command.getUsers().size(), 2u);
        EXPECT_FALSE(command.getUsers().front() != makeUser(4, "four", true));
    }
    // A payload cut inside the count itself.
    koSessionUsersCommand command(makeRoster());
    EXPECT_NE(koTest::readPayload(command, QByteArray(2, '\x7f')), QDataStream::Ok);
    EXPECT_TRUE(command.getUsers().empty());
}

TEST(RosterCommands, RecordsSurviveTheChangeRecord)
{
    // Freezing writes through a stream device and rebuilding reads through
    // one: every record, pictures included, must come out whole.
    const std::vector<koSessionUser> roster = makeRoster();
    const koSessionChange rosterChange(koSessionUsersCommand(roster), 0);
    const auto rebuilt = std::dynamic_pointer_cast<koSessionUsersCommand>(rosterChange.getCommand());
    ASSERT_TRUE(rebuilt);
    expectSameRoster(roster, rebuilt->getUsers());

    const koSessionUser user = makeUser(5, "five", true);
    const koSessionChange infoChange(koSessionUserInfoCommand(user), 5);
    const auto info = std::dynamic_pointer_cast<koSessionUserInfoCommand>(infoChange.getCommand());
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->getUser() != user);
    EXPECT_EQ(info->getChangedBy(), 5);
}

TEST(RosterCommands, DeliverySettingsAndStateIdentifiers)
{
    auto& factory = koSessionCommandFactory::the();
    struct Row
    {
        const char* name;
        std::shared_ptr<koSessionCommand> first;
        std::shared_ptr<koSessionCommand> second;
        bool echoing;
        bool transient;
        bool serverCommand;
    };
    const std::vector<Row> rows = {
        {"UpdateInfo", std::make_shared<koSessionUserInfoCommand>(makeUser(1, "a", false)),
         std::make_shared<koSessionUserInfoCommand>(makeUser(2, "b", true)), false, true, true},
        {"UpdateUsers", std::make_shared<koSessionUsersCommand>(makeRoster()),
         std::make_shared<koSessionUsersCommand>(), true, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const unsigned int type = factory.getType(row.name);
        EXPECT_EQ(row.first->getType(), type);
        for (const auto& command : {row.first, row.second}) {
            const koSessionChange change(*command, 3);
            EXPECT_TRUE(change.isStateMergable());
            EXPECT_EQ(change.isEchoing(), row.echoing);
            EXPECT_EQ(change.isTransient(), row.transient);
            EXPECT_EQ(change.isServerCommand(), row.serverCommand);
            EXPECT_EQ(change.getStateId().toHex(), koTest::stateIdOf(type).toHex());
        }
    }
}
