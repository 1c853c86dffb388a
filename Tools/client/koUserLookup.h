#pragma once

#include <QString>

// Finds a participant of the session by what a user typed: a user number, a
// name, or the start of exactly one name (case-insensitive). Main thread,
// while the session is active.
class koUserLookup
{
public:
    // The participant's number, or 0 after `error` says why none was found.
    static unsigned short find(const QString& typed, QString& error);
};
