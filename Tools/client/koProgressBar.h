#pragma once

#include "koNetProgress.h"

// Draws the library's progress (scene transfers, the wait for the session's
// scene while joining) as a bar on standard error when that is a terminal,
// and turns Ctrl-C during a transfer into the library's abort request.
// Process-wide.
class koProgressBar
{
public:
    // Becomes the progress observer. Main thread, before joining.
    static void install();
    static void uninstall();

private:
    static void show(const koNetProgress::State& state);
};
