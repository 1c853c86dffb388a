#pragma once

// Command classes of the command-model tests. All but koTestUnregisteredCommand
// are registered (koTestCommands.cpp), in this order: "TestBytes", "TestRoster",
// "TestExecute".

#include "koSessionCommand.h"

#include <QtGlobal>

#include <vector>

class QDataStream;

// Raw payload bytes and an integer state key; flags as the test sets them.
class koTestBytesCommand : public koSessionCommand
{
public:
    koTestBytesCommand() = default;
    koTestBytesCommand(std::vector<char> payload, qint32 key)
        : payload(std::move(payload))
        , key(key)
    {
    }

    void putStateId(QDataStream& stream) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    std::vector<char> payload;
    qint32 key = 0;
};

// Like the server's roster change: state-mergable and echoing by construction,
// nothing in putStateId, so every such change sets the same state.
class koTestRosterCommand : public koSessionCommand
{
public:
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    quint16 userCount = 0;
};

// Records what its execute saw.
class koTestExecuteCommand : public koSessionCommand
{
public:
    struct Execution
    {
        int count = 0;
        koSessionClient* client = nullptr;
        unsigned short changedBy = 0;
        qint32 value = 0;
    };
    static Execution lastExecution;

    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    qint32 value = 0;
};

// Never registered.
class koTestUnregisteredCommand : public koSessionCommand
{
};
