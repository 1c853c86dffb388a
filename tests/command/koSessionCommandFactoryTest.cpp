#include "koSessionCommandFactory.h"

#include "koSessionChange.h"
#include "koSessionCommand.h"
#include "koTestCommands.h"
#include "koTestHostCommands.h"
#include "koTestLogCapture.h"

#include "koLog.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <typeindex>
#include <utility>
#include <vector>

namespace {

// Digests of the lower-case names, made once outside this code with
//   printf '%s' updateinfo | openssl dgst -md4 -provider legacy -provider default
// (and likewise for the other names). The same tool gives the RFC 1320 value
// a448017aaf21d8525fc10ae87aa6729d for "abc".
struct NameDigest
{
    const char* name;
    std::array<unsigned char, 16> md4;
};

const NameDigest knownDigests[] = {
    {"UpdateInfo", {0xf3, 0x80, 0x2d, 0x77, 0x0c, 0x49, 0xc1, 0xb9, 0x7e, 0xf3, 0x0a, 0xd2, 0xf0, 0xc0, 0xca, 0x4a}},
    {"UpdatePose", {0x1a, 0xb9, 0x76, 0x7a, 0x7b, 0x00, 0x7a, 0xdd, 0xd3, 0xbc, 0xd8, 0xa6, 0xca, 0xaa, 0xfa, 0x30}},
    {"UpdateUsers", {0x39, 0xe2, 0xb4, 0x5e, 0xb5, 0x06, 0x10, 0xbf, 0x26, 0xd2, 0x61, 0x49, 0x1e, 0x43, 0x88, 0x9d}},
    {"LoadScene", {0x07, 0x32, 0xa1, 0x62, 0x2a, 0x06, 0x8a, 0xa5, 0x0e, 0x47, 0x4a, 0xe9, 0xb1, 0x9a, 0x2a, 0x8e}},
};

unsigned int firstFourLittleEndian(const std::array<unsigned char, 16>& digest)
{
    return unsigned(digest[0]) | unsigned(digest[1]) << 8 | unsigned(digest[2]) << 16 | unsigned(digest[3]) << 24;
}

int indexOfName(const QStringList& names, const char* name)
{
    return names.indexOf(QString::fromUtf8(name));
}

} // namespace

TEST(koSessionCommandFactory, TypeOfANameIsTheFirstFourDigestBytesLeastSignificantFirst)
{
    koSessionCommandFactory& factory = koSessionCommandFactory::the();
    for (const NameDigest& known : knownDigests) {
        const unsigned int expected = firstFourLittleEndian(known.md4);
        EXPECT_EQ(factory.getType(known.name), expected) << known.name;
        const std::string upper = QString::fromUtf8(known.name).toUpper().toStdString();
        const std::string lower = QString::fromUtf8(known.name).toLower().toStdString();
        EXPECT_EQ(factory.getType(upper.c_str()), expected) << upper;
        EXPECT_EQ(factory.getType(lower.c_str()), expected) << lower;
    }
    EXPECT_EQ(factory.getType("UPDATEINFO"), 0x772d80f3u);
    EXPECT_NE(factory.getType("UpdateInfo"), factory.getType("UpdateInfos"));
}

TEST(koSessionCommandFactory, CreatesTheRegisteredClassAndNothingForUnknownTypes)
{
    koSessionCommandFactory& factory = koSessionCommandFactory::the();
    const auto bytes = factory.create(factory.getType("TestBytes"));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::type_index(typeid(*bytes)), std::type_index(typeid(koTestBytesCommand)));
    EXPECT_EQ(bytes->getType(), factory.getType("testbytes"));

    const auto roster = factory.create(factory.getType("TESTROSTER"));
    ASSERT_TRUE(roster);
    EXPECT_EQ(std::type_index(typeid(*roster)), std::type_index(typeid(koTestRosterCommand)));

    EXPECT_FALSE(factory.create(factory.getType("NoSuchCommandAnywhere")));
    EXPECT_FALSE(factory.create(0));
}

TEST(koSessionCommandFactory, UnregisteredClassGivesTypeZeroAndOneErrorLine)
{
    koTest::LogCapture log;
    const koTestUnregisteredCommand command;
    EXPECT_EQ(koSessionCommandFactory::the().getType(&command), 0u);
    EXPECT_EQ(command.getType(), 0u);
    const std::string expected = std::string("Session command has not been registered ")
        + typeid(koTestUnregisteredCommand).name();
    EXPECT_EQ(log.lines(koLog::Level::Error), std::vector<std::string>(2, expected));
    EXPECT_EQ(log.lines().size(), 2u);

    // Freezing such a command logs once more and carries type 0.
    log.clear();
    const koSessionChange change(command, 3);
    EXPECT_EQ(change.getCommandType(), 0u);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(koSessionCommandFactory, RegisteringANameTwiceListsItTwiceAndKeepsTheSecondCreator)
{
    koSessionCommandFactory& factory = koSessionCommandFactory::the();
    struct First : koSessionCommand
    {
    };
    struct Second : koSessionCommand
    {
    };
    koSessionCommandFactory::Register<First> first("TwiceRegistered");
    koSessionCommandFactory::Register<Second> second("TwiceRegistered");

    const QStringList names = factory.getTypeNames();
    EXPECT_EQ(names.count("TwiceRegistered"), 2);
    EXPECT_EQ(names.lastIndexOf("TwiceRegistered"), names.indexOf("TwiceRegistered") + 1);

    const auto created = factory.create(factory.getType("TwiceRegistered"));
    ASSERT_TRUE(created);
    EXPECT_EQ(std::type_index(typeid(*created)), std::type_index(typeid(Second)));
    // The first class keeps answering the name's type: its table entry stays.
    const First firstCommand;
    EXPECT_EQ(firstCommand.getType(), factory.getType("TwiceRegistered"));

    // Another spelling gives the same type, so it takes over the same slot.
    struct Third : koSessionCommand
    {
    };
    koSessionCommandFactory::Register<Third> third("TWICEREGISTERED");
    const auto replaced = factory.create(factory.getType("TwiceRegistered"));
    ASSERT_TRUE(replaced);
    EXPECT_EQ(std::type_index(typeid(*replaced)), std::type_index(typeid(Third)));
}

TEST(koSessionCommandFactory, AClassRegisteredUnderASecondNameAnswersTheSecondType)
{
    struct Renamed : koSessionCommand
    {
    };
    koSessionCommandFactory::Register<Renamed> before("RenamedBefore");
    koSessionCommandFactory::Register<Renamed> after("RenamedAfter");
    const Renamed command;
    EXPECT_EQ(command.getType(), koSessionCommandFactory::the().getType("RenamedAfter"));
}

TEST(koSessionCommandFactory, RegistrationsOfOneTranslationUnitKeepTheirOrder)
{
    const QStringList names = koSessionCommandFactory::the().getTypeNames();
    const int bytes = indexOfName(names, "TestBytes");
    ASSERT_GE(bytes, 0);
    EXPECT_EQ(indexOfName(names, "TestRoster"), bytes + 1);
    EXPECT_EQ(indexOfName(names, "TestExecute"), bytes + 2);

    const int hostFirst = indexOfName(names, "HostModuleFirst");
    ASSERT_GE(hostFirst, 0);
    EXPECT_EQ(indexOfName(names, "HostModuleSecond"), hostFirst + 1);

    // The library's own registrars ran first, at its load, before any module
    // that depends on it: the factory was there for them whatever the order.
    ASSERT_GE(names.size(), 3);
    EXPECT_EQ(names.mid(0, 3), (QStringList{"UpdateInfo", "UpdatePose", "UpdateUsers"}));
    EXPECT_GT(hostFirst, 2);
}

TEST(koSessionCommandFactory, CommandsOfAHostModuleAreFoundAndCreated)
{
    koSessionCommandFactory& factory = koSessionCommandFactory::the();
    EXPECT_TRUE(factory.getTypeNames().contains("HostModuleFirst"));
    const auto created = factory.create(factory.getType("HostModuleFirst"));
    ASSERT_TRUE(created);
    EXPECT_EQ(std::type_index(typeid(*created)), std::type_index(koTestHostCommandClass()));
    EXPECT_EQ(created->getType(), factory.getType("HostModuleFirst"));

    // A record of the module's command rebuilds through the factory as well.
    koTestHostCommand command;
    command.value = 0x5eed;
    const koSessionChange change(command, 9);
    const auto rebuilt = std::dynamic_pointer_cast<koTestHostCommand>(change.getCommand());
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->value, 0x5eed);
    EXPECT_EQ(rebuilt->getChangedBy(), 9);
}
