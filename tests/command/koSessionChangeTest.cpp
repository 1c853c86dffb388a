#include "koSessionChange.h"

#include "koSessionCommandFactory.h"
#include "koTestCommands.h"
#include "koTestLogCapture.h"
#include "koTestBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A record of any type, made the way a receiving side makes one: from its bytes.
koSessionChange recordOfType(unsigned int type)
{
    koTest::MemorySerializer serializer(koTest::rawRecord(type, 12, {0, 0, 0, 42}));
    koSessionChange change;
    change.getValue(serializer);
    return change;
}

koSessionClient* fakeClient()
{
    // Never dereferenced: execute only hands the pointer on.
    static char marker;
    return reinterpret_cast<koSessionClient*>(&marker);
}

} // namespace

TEST(koSessionChange, RebuildsTheCommandWithTheRecordsSenderAndItsOwnFlags)
{
    koTestExecuteCommand command;
    command.value = -5;
    command.setChangedBy(99);
    command.setTransient(true);
    command.setDestinationUserId(4);
    const koSessionChange change(command, 7);
    EXPECT_EQ(change.getChangedBy(), 7);
    EXPECT_TRUE(change.isTransient());

    const auto rebuilt = std::dynamic_pointer_cast<koTestExecuteCommand>(change.getCommand());
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->value, -5);
    EXPECT_EQ(rebuilt->getChangedBy(), 7);
    EXPECT_FALSE(rebuilt->isTransient()) << "flags come from the class's constructor";
    EXPECT_EQ(rebuilt->getDestinationUserId(), 0);

    koTestExecuteCommand filled;
    ASSERT_TRUE(change.tryGetCommand(filled));
    EXPECT_EQ(filled.value, -5);
    EXPECT_EQ(filled.getChangedBy(), 7);

    const int before = koTestExecuteCommand::lastExecution.count;
    change.execute(fakeClient());
    EXPECT_EQ(koTestExecuteCommand::lastExecution.count, before + 1);
    EXPECT_EQ(koTestExecuteCommand::lastExecution.client, fakeClient());
    EXPECT_EQ(koTestExecuteCommand::lastExecution.changedBy, 7);
    EXPECT_EQ(koTestExecuteCommand::lastExecution.value, -5);
}

TEST(koSessionChange, RecordsOfUnknownTypesAreKeptButNotRebuilt)
{
    const unsigned int unknown = koSessionCommandFactory::the().getType("NotRegisteredInThisProcess");
    const koSessionChange change = recordOfType(unknown);
    EXPECT_EQ(change.getCommandType(), unknown);

    koTest::LogCapture log;
    EXPECT_FALSE(change.getCommand());
    const int before = koTestExecuteCommand::lastExecution.count;
    change.execute(fakeClient());
    EXPECT_EQ(koTestExecuteCommand::lastExecution.count, before);
    EXPECT_TRUE(log.lines().empty());

    // tryGetCommand refuses a command of another class and leaves it untouched.
    koTestExecuteCommand other;
    other.value = 11;
    other.setChangedBy(3);
    EXPECT_FALSE(change.tryGetCommand(other));
    EXPECT_EQ(other.value, 11);
    EXPECT_EQ(other.getChangedBy(), 3);

    // A known record is refused by a command of a different registered class.
    koTestRosterCommand roster;
    EXPECT_FALSE(koSessionChange(other, 1).tryGetCommand(roster));
    EXPECT_EQ(roster.getChangedBy(), 0);
}

TEST(koSessionChange, LoadSceneIsRecognisedByTypeAlone)
{
    koSessionCommandFactory& factory = koSessionCommandFactory::the();
    struct Case
    {
        unsigned int type;
        bool loadScene;
    };
    const Case cases[] = {
        {0x62a13207u, true}, // md4("loadscene") begins 07 32 a1 62 (openssl dgst -md4)
        {factory.getType("LOADSCENE"), true},
        {factory.getType("LoadScenes"), false},
        {factory.getType("TestBytes"), false},
        {0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(recordOfType(c.type).isLoadScene(), c.loadScene) << std::hex << c.type;
    EXPECT_FALSE(koSessionChange().isLoadScene());
}

TEST(koSessionChange, StateIdIsTheBigEndianTypeFollowedByTheKey)
{
    koTestRosterCommand roster; // writes nothing after the type
    const koSessionChange rosterChange(roster, 1);
    const unsigned int type = koSessionCommandFactory::the().getType("TestRoster");
    const QByteArray typeBytes = QByteArray::fromHex(QByteArray::number(type, 16).rightJustified(8, '0'));
    EXPECT_EQ(rosterChange.getStateId(), typeBytes);
    EXPECT_EQ(koSessionChange(koTestRosterCommand(), 2).getStateId(), rosterChange.getStateId());

    const koTestBytesCommand keyed({}, -2);
    EXPECT_EQ(koSessionChange(keyed, 1).getStateId(), QByteArray::fromHex("2aebdb74fffffffe"));

    koTestBytesCommand notMergable({}, 5);
    notMergable.setStateMergable(false);
    EXPECT_TRUE(koSessionChange(notMergable, 1).getStateId().isEmpty());
}

TEST(koSessionChange, DefaultAndMovedFromRecords)
{
    const koSessionChange fresh;
    EXPECT_EQ(fresh.getCommandType(), 0u);
    EXPECT_TRUE(fresh.isStateMergable());
    EXPECT_TRUE(fresh.isEchoing());
    EXPECT_FALSE(fresh.isTransient());
    EXPECT_FALSE(fresh.isServerCommand());
    EXPECT_TRUE(fresh.getStateId().isEmpty());

    koSessionChange source(koTestBytesCommand(std::vector<char>(1000, 'm'), 3), 8);
    const std::vector<char> sourceWire = [&] {
        koTest::MemorySerializer serializer;
        source.putValue(serializer);
        return serializer.bytes;
    }();
    const koSessionChange moved(std::move(source));
    koTestBytesCommand movedCommand;
    ASSERT_TRUE(moved.tryGetCommand(movedCommand));
    EXPECT_EQ(movedCommand.payload, std::vector<char>(1000, 'm'));

    koTestBytesCommand emptied;
    ASSERT_TRUE(source.tryGetCommand(emptied)); // NOLINT: the moved-from state is part of the contract
    EXPECT_TRUE(emptied.payload.empty());

    koSessionChange assigned;
    assigned = moved;
    koTest::MemorySerializer serializer;
    assigned.putValue(serializer);
    EXPECT_EQ(serializer.bytes, sourceWire);
}
