#pragma once

#include "koSessionCommand.h"

#include <QByteArray>
#include <QString>

// Tells the others that its sender has stored a scene on the server and that
// they should load it, registered as "LoadScene". The library knows that
// name: the change lists drop every change made before it, and a participant
// who joins later is asked whether to load the scene. Only the newest scene
// counts (one state for all); the sender does not get it back.
class koLoadSceneCommand : public koSessionCommand
{
public:
    koLoadSceneCommand();
    koLoadSceneCommand(const QString& name, qint64 size, const QByteArray& checksum);

    const QString& getName() const { return name; }
    qint64 getSize() const { return size; }
    // SHA-256 of the scene's bytes, so that a downloader can check what it got.
    const QByteArray& getChecksum() const { return checksum; }

    // Hands the announcement to koCommandInbox.
    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

private:
    QString name;
    qint64 size = 0;
    QByteArray checksum;
};
