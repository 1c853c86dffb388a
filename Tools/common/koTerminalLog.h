#pragma once

#include "koLog.h"

#include <QString>

#include <functional>
#include <string>

// Routes the library's log lines to the terminal, each with the time of day
// and its level, instead of Qt's logging category.
class koTerminalLog
{
public:
    enum class Destination { Output, Error };
    // Sees every line, printed or not. Runs on the logging thread while the
    // library's log lock is held: it must not log itself.
    using Observer = std::function<void(koLog::Level level, const std::string& line)>;

    // Prints lines of level `lowest` and above on `destination`. Replaces the
    // process-wide sink; any thread, before the session starts.
    static void install(Destination destination, koLog::Level lowest, Observer observer = Observer());
    // Gives the library its default sink back.
    static void uninstall();

    // "[14:02:03.125] warning: text"
    static QString format(koLog::Level level, const std::string& line);
};
