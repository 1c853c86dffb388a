#include "koTerminalLog.h"

#include "koTerminalOutput.h"
#include "koTerminalText.h"

#include <QTime>

namespace {

int rank(koLog::Level level)
{
    switch (level) {
    case koLog::Level::Debug:
        return 0;
    case koLog::Level::Info:
        return 1;
    case koLog::Level::Warning:
        return 2;
    case koLog::Level::Error:
        return 3;
    }
    return 3;
}

const char* levelName(koLog::Level level)
{
    switch (level) {
    case koLog::Level::Debug:
        return "debug";
    case koLog::Level::Info:
        return "info";
    case koLog::Level::Warning:
        return "warning";
    case koLog::Level::Error:
        return "error";
    }
    return "error";
}

} // namespace

void koTerminalLog::install(Destination destination, koLog::Level lowest, Observer observer, Stamp stamp)
{
    koLog::setSink([destination, lowest, observer, stamp](koLog::Level level, const std::string& line) {
        if (observer)
            observer(level, line);
        if (rank(level) < rank(lowest))
            return;
        const QString text = format(level, line, stamp);
        if (destination == Destination::Output)
            koTerminalOutput::print(text);
        else
            koTerminalOutput::printError(text);
    });
}

void koTerminalLog::uninstall()
{
    koLog::setSink(koLog::Sink());
}

QString koTerminalLog::format(koLog::Level level, const std::string& line, Stamp stamp)
{
    const QString text = QStringLiteral("%1: %2").arg(QLatin1String(levelName(level)),
                                                      koTerminalText::escaped(QString::fromStdString(line)));
    if (stamp == Stamp::None)
        return text;
    return QStringLiteral("[%1] %2").arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")), text);
}
