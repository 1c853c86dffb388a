#pragma once

// The command of the command-model and change-list tests: raw payload bytes
// and an integer state key, flags as the test sets them. Each program
// registers it as "TestBytes" and its subclass as "LoadScene", once.

#include "koSessionCommand.h"

#include <QByteArray>
#include <QDataStream>

class koTestCommand : public koSessionCommand
{
public:
    explicit koTestCommand(qint32 key = 0, QByteArray payload = QByteArray())
        : key(key)
        , payload(std::move(payload))
    {
    }

    void execute(koSessionClient*) const override {}

    void putStateId(QDataStream& stream) const override
    {
        stream << key;
    }

    void putData(QDataStream& stream) const override
    {
        stream.writeRawData(payload.constData(), payload.size());
    }

    void getData(QDataStream& stream) override
    {
        payload = stream.device()->readAll();
    }

    qint32 key;
    QByteArray payload;
};

// The name "LoadScene" marks the records that load a scene.
class koTestLoadSceneCommand : public koTestCommand
{
public:
    using koTestCommand::koTestCommand;
};
