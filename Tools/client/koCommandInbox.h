#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Where this program's own application commands deliver what they carry when
// a received change executes them. Its signals are raised on the thread that
// executes the change: the main thread, for changes of the main link.
class koCommandInbox : public QObject
{
    Q_OBJECT

public:
    // The one inbox; created on the first call, which the main thread makes
    // before joining.
    static koCommandInbox& the();

signals:
    void messageReceived(unsigned short from, const QString& text, bool toMeOnly);
    void sceneAnnounced(unsigned short from, const QString& name, qint64 size, const QByteArray& checksum);

private:
    koCommandInbox() = default;
};
