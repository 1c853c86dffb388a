#pragma once

#include "koSessionCommand.h"

#include <cstdint>

// One numbered step of a soak participant, registered as "SoakStep". Each
// participant numbers its steps 1, 2, 3, ... per link, so a receiver can tell
// a lost, repeated or reordered change from the numbers alone. Not mergable
// (every step counts) and transient (the server's list lets it go once every
// participant has read it, so a long soak does not grow the server). Echoing
// only for the barrier a participant sends before it leaves.
//
// A rebuilt command has its class's flags, not the record's, so the barrier
// mark travels in the payload too. Executing it adds an entry to
// koSoakJournal, on whichever thread executes it.
class koSoakStepCommand : public koSessionCommand
{
public:
    enum Link : std::uint8_t { MainLink = 0, SecondLink = 1 };

    koSoakStepCommand();
    // A barrier is echoing: its sender learns from executing it that every
    // earlier step of its own has reached the server.
    koSoakStepCommand(unsigned short sender, std::uint32_t sequence, Link link, bool barrier);

    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

private:
    unsigned short sender = 0;
    std::uint32_t sequence = 0;
    Link link = MainLink;
    bool barrier = false;
};
