#pragma once

#include "koSessionCommand.h"

#include <QString>

// A line of text that a participant typed, registered as "TextMessage". It is
// no shared state: sent once to the others (or to one addressee), never
// echoed to its sender, and not kept for participants who join later.
class koTextMessageCommand : public koSessionCommand
{
public:
    koTextMessageCommand();
    // `addressee` 0 sends the text to everybody, another user identifier only
    // to that participant.
    explicit koTextMessageCommand(const QString& text, unsigned short addressee = 0);

    const QString& getText() const { return text; }
    unsigned short getAddressee() const { return addressee; }

    // Hands the text to koCommandInbox.
    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

private:
    QString text;
    // Travels in the payload as well: a received command does not get the
    // record's addressee back, and the receiver wants to tell a private message.
    unsigned short addressee = 0;
};
