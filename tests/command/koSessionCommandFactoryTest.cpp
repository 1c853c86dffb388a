#include "koSessionCommandFactory.h"

#include "koSessionChange.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionUsersCommand.h"
#include "koTestCommands.h"
#include "koTestLogCapture.h"

#include <gtest/gtest.h>

#include <typeindex>

static const koSessionCommandFactory::Register<koTestCommand> registerBytes("TestBytes");
static const koSessionCommandFactory::Register<koTestLoadSceneCommand> registerLoadScene("LoadScene");

namespace {

std::type_index classOf(const std::shared_ptr<koSessionCommand>& command)
{
    return command ? std::type_index(typeid(*command)) : std::type_index(typeid(void));
}

} // namespace

// A type is the first four bytes, least significant first, of the MD4 digest
// of the lower-case name, taken outside this code:
//   printf '%s' updateinfo | openssl dgst -md4 -provider legacy   ->  f3802d77 0c49...
TEST(koSessionCommandFactory, TypesAndClassesOfTheNames)
{
    struct Row
    {
        const char* name;
        unsigned int type;
        std::type_index created;
    };
    const Row rows[] = {
        {"UpdateInfo", 0x772d80f3u, typeid(koSessionUserInfoCommand)},
        {"updateinfo", 0x772d80f3u, typeid(koSessionUserInfoCommand)},
        {"UPDATEINFO", 0x772d80f3u, typeid(koSessionUserInfoCommand)},
        {"UpdatePose", 0x7a76b91au, typeid(koSessionUserPoseCommand)},
        {"UpdateUsers", 0x5eb4e239u, typeid(koSessionUsersCommand)},
        {"LoadScene", 0x62a13207u, typeid(koTestLoadSceneCommand)},
        {"TestBytes", 0x2aebdb74u, typeid(koTestCommand)},
        {"NeverRegistered", 0x14405193u, typeid(void)},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(koSessionCommandFactory::the().getType(row.name), row.type) << row.name;
        EXPECT_EQ(classOf(koSessionCommandFactory::the().create(row.type)), row.created) << row.name;
    }
    EXPECT_EQ(koSessionUsersCommand().getType(), 0x5eb4e239u);
    EXPECT_EQ(koSessionCommandFactory::the().getTypeNames().mid(0, 3),
              (QStringList{"UpdateInfo", "UpdatePose", "UpdateUsers"}));
}

TEST(koSessionCommandFactory, UnregisteredClassGivesTypeZeroAndOneErrorLine)
{
    struct Unregistered : koSessionCommand
    {
    };
    koTest::LogCapture log;
    EXPECT_EQ(koSessionChange(Unregistered(), 3).getCommandType(), 0u);
    EXPECT_EQ(log.lines(koLog::Level::Error),
              std::vector<std::string>{std::string("Session command has not been registered ")
                                       + typeid(Unregistered).name()});
}
