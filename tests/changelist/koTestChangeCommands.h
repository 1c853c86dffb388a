#pragma once

// Commands and helpers of the change-list tests. Registered names: "TestState"
// (state-mergable, keyed), "TestPlain", "TestTransient" and "LoadScene".

#include "koSessionChange.h"
#include "koSessionCommand.h"

#include <QtGlobal>

#include <memory>

class QDataStream;

// State-mergable; the key names the piece of state; `tag` is payload only.
class koTestStateCommand : public koSessionCommand
{
public:
    koTestStateCommand(qint32 key = 0, qint32 tag = 0);
    void putStateId(QDataStream& stream) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    qint32 key;
    qint32 tag;
};

// Neither mergable nor transient.
class koTestPlainCommand : public koSessionCommand
{
public:
    explicit koTestPlainCommand(qint32 tag = 0);
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    qint32 tag;
};

// Transient, not mergable.
class koTestTransientCommand : public koTestPlainCommand
{
public:
    explicit koTestTransientCommand(qint32 tag = 0);
};

// Registered as "LoadScene"; mergable or not as the test needs.
class koTestLoadSceneCommand : public koTestPlainCommand
{
public:
    explicit koTestLoadSceneCommand(qint32 tag = 0, bool stateMergable = false);
};

namespace koTest {

using ChangePtr = std::shared_ptr<koSessionChange>;

ChangePtr stateChange(qint32 key, qint32 tag = 0, bool transient = false);
ChangePtr plainChange(qint32 tag = 0);
ChangePtr transientChange(qint32 tag = 0);
ChangePtr loadSceneChange(qint32 tag = 0, bool stateMergable = false);

// The tag that the change's command carries.
qint32 tagOf(const koSessionChange& change);

} // namespace koTest
