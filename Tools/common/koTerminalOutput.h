#pragma once

#include <QString>

// Prints whole lines to the terminal from any thread: a line is never cut by
// another, and each one is flushed at once, so that whoever reads this
// program's output (a user, the demo, a test) sees it as it happens.
class koTerminalOutput
{
public:
    // One line on standard output.
    static void print(const QString& line);
    // One line on standard error.
    static void printError(const QString& line);
    // Redraws the progress line on standard error (no line end); an empty
    // text closes it. A line printed while it is open starts on a line of its own.
    static void printProgress(const QString& text);
};
