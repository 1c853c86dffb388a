#pragma once

// The state command of the whole-session tests, beside the shared recording
// ones (koTestExecutionLog.h). Registered (koSessionTestCommands.cpp) with
// them as "SessionTestText", "SessionTestState" and "LoadScene".

#include "koTestExecutionLog.h"

using koTest::LoadSceneCommand;
using koTest::TextCommand;

// A value under a key: state-mergable, one state per key. Logs "key=value".
class koStateCommand : public koSessionCommand
{
public:
    koStateCommand();
    koStateCommand(const QString& key, int value);

    void execute(koSessionClient* client) const override;
    void putStateId(QDataStream& stream) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    QString key;
    int value = 0;
};
