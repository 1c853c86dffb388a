#pragma once

#include <functional>
#include <string>

// The process-wide progress of one long operation (a scene transfer, waiting
// for the shared scene) and the user's request to abort it.
//
// start() with a text begins a progress and clears an earlier abort request;
// start() with an empty text ends it and keeps the abort request, so that the
// operation can still tell after ending its progress whether it was aborted.
// All operations may be called from any thread.
class koNetProgress
{
public:
    struct State
    {
        std::string text; // empty while no progress runs
        double total = 0.0;
        double done = 0.0;
        bool aborting = false;
    };
    using Observer = std::function<void(const State&)>;

    static void start(const std::string& text, double total);
    static void add(double amount);
    static bool isAborting();

    // Asks the running operation to stop at its next check.
    static void requestAbort();
    static State getState();

    // Called after every change, on the thread that made it, with no lock held.
    // An empty observer removes it. Returns the previous observer.
    static Observer setObserver(Observer observer);
};
