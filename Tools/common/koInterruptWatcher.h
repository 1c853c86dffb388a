#pragma once

// Turns Ctrl-C (SIGINT) and SIGTERM into a flag that the program polls from
// its event loop, so that it can stop the session cleanly instead of dying
// in the middle of it. A second signal before the flag has been taken ends
// the program the usual way, so a stuck shutdown can still be interrupted.
class koInterruptWatcher
{
public:
    // Installs the handlers. Main thread, once, before other threads start.
    static void install();
    // Whether a signal came and has not been taken yet. Any thread.
    static bool isRaised();
    // Answers isRaised() and clears the flag, arming the handlers again.
    static bool takeRaised();
};
