#include "koLog.h"

#include <QLoggingCategory>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

Q_LOGGING_CATEGORY(koSessionLog, "kosession")

namespace {

void writeToCategory(koLog::Level level, const std::string& line)
{
    switch (level) {
    case koLog::Level::Debug:
        qCDebug(koSessionLog, "%s", line.c_str());
        break;
    case koLog::Level::Info:
        qCInfo(koSessionLog, "%s", line.c_str());
        break;
    case koLog::Level::Warning:
        qCWarning(koSessionLog, "%s", line.c_str());
        break;
    case koLog::Level::Error:
        qCCritical(koSessionLog, "%s", line.c_str());
        break;
    }
}

// Guards the process-wide sink and keeps it to one call at a time, so a sink
// needs no lock of its own. Taken by every log call and by setSink.
std::mutex& sinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

koLog::Sink& currentSink()
{
    static koLog::Sink sink = writeToCategory;
    return sink;
}

std::string formatLine(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0)
        return format;
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    std::string line(text.data(), static_cast<std::size_t>(length));
    // Only the format's own line end goes: a newline inside an argument (an
    // exception text, say) is part of the message.
    const std::size_t formatLength = std::strlen(format);
    if (formatLength > 0 && format[formatLength - 1] == '\n' && !line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

void logLine(koLog::Level level, const char* fmt, va_list args)
{
    const std::string line = formatLine(fmt ? fmt : "", args);
    std::lock_guard<std::mutex> lock(sinkMutex());
    try {
        currentSink()(level, line);
    } catch (...) {
        // Logging is called from catch blocks and thread tops; a failing sink
        // must not turn one reported error into another.
    }
}

} // namespace

void koLog::debug(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logLine(Level::Debug, format, args);
    va_end(args);
}

void koLog::info(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logLine(Level::Info, format, args);
    va_end(args);
}

void koLog::warning(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logLine(Level::Warning, format, args);
    va_end(args);
}

void koLog::error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logLine(Level::Error, format, args);
    va_end(args);
}

koLog::Sink koLog::setSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(sinkMutex());
    Sink previous = std::move(currentSink());
    currentSink() = sink ? std::move(sink) : Sink(writeToCategory);
    return previous;
}
