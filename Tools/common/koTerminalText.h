#pragma once

#include <QString>

// Text from other participants (names, messages, scene names, log lines that
// quote them) on its way to a terminal.
class koTerminalText
{
public:
    // `text` with every control character written out as an escape ("\n",
    // "\r", "\t", "\x1b", "\u0085"), so that it can neither start a line of
    // its own nor drive the terminal.
    static QString escaped(const QString& text);
};
