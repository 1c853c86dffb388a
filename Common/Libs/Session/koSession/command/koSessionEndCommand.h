#pragma once

#include "koSessionCommand.h"

#include <QString>

// Sent by the server on the second links when it ends the session for
// everybody, just before it closes: it tells a participant that the links
// close on purpose, so that it does not take the end for a lost server and
// rejoin. Transient, not mergable, not echoing; changedBy 0. A peer that does
// not know the type relays and ignores it.
class koSessionEndCommand : public koSessionCommand
{
public:
    koSessionEndCommand();
    explicit koSessionEndCommand(const QString& reason);

    const QString& getReason() const { return reason; }

    // context.endForEverybody(reason), on the second link's receiving thread;
    // execute does the same on a client.
    void execute(koSessionClient* client) const override;
    void executeIn(koSessionCommandContext& context) const override;
    // Payload: the reason as a QDataStream QString, nothing before or after.
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

private:
    QString reason;
};
