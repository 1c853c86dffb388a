#pragma once

#include <QString>

// Finds a participant of the session by what a user typed: a user number, a
// name, or the start of exactly one name (case-insensitive). Main thread,
// while the session is active.
class koUserLookup
{
public:
    // The participant's number, or 0 after `error` says why none was found.
    // Oneself is refused: `verb` (tell, spectate) says what one cannot do to oneself.
    static unsigned short findOther(const QString& typed, const QString& verb, QString& error);
};
