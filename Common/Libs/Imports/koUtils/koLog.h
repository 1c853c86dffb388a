#pragma once

#include <functional>
#include <string>

// Lets GCC and Clang check the arguments against the format; other compilers
// (MSVC) have no such attribute.
#if defined(__GNUC__) || defined(__clang__)
#define KOLOG_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define KOLOG_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// printf-style logging, one entry per call. The default sink writes to the Qt
// logging category "kosession", so a host application filters the library's
// lines with its own rules and message handler. A trailing newline in the
// format is dropped.
class koLog
{
public:
    enum class Level { Debug, Info, Warning, Error };
    using Sink = std::function<void(Level, const std::string&)>;

    static void debug(const char* format, ...) KOLOG_PRINTF_FORMAT(1, 2);
    static void info(const char* format, ...) KOLOG_PRINTF_FORMAT(1, 2);
    static void warning(const char* format, ...) KOLOG_PRINTF_FORMAT(1, 2);
    static void error(const char* format, ...) KOLOG_PRINTF_FORMAT(1, 2);

    // Replaces the sink for the whole process and returns the previous one; an
    // empty sink restores the default. The sink may be called from any thread,
    // one call at a time.
    static Sink setSink(Sink sink);
};
