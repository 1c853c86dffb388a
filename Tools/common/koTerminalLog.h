#pragma once

#include "koLog.h"

#include <QString>

#include <functional>
#include <string>

// Routes the library's log lines to the terminal, each with its level and,
// unless told otherwise, the time of day, instead of Qt's logging category.
class koTerminalLog
{
public:
    enum class Destination { Output, Error };
    // TimeOfDay for a person at a terminal; None where a journal or another
    // logger stamps the lines itself.
    enum class Stamp { TimeOfDay, None };
    // Sees every line, printed or not. Runs on the logging thread while the
    // library's log lock is held: it must not log itself.
    using Observer = std::function<void(koLog::Level level, const std::string& line)>;

    // Prints lines of level `lowest` and above on `destination`. Replaces the
    // process-wide sink; any thread, before the session starts.
    static void install(Destination destination, koLog::Level lowest, Observer observer = Observer(),
                        Stamp stamp = Stamp::TimeOfDay);
    // Gives the library its default sink back.
    static void uninstall();

    // "[14:02:03.125] warning: text", or "warning: text" without a stamp.
    static QString format(koLog::Level level, const std::string& line, Stamp stamp = Stamp::TimeOfDay);
};
