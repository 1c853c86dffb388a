#include "koDemoTranscript.h"

#include "koTerminalOutput.h"

namespace {

// Lines of one kind shown per program and step before the rest are counted.
constexpr int shownPerKind = 2;
// Width of the program column.
constexpr int labelWidth = 6;

} // namespace

koDemoTranscript::koDemoTranscript()
    : start(Clock::now())
{
}

void koDemoTranscript::heading(const QString& title)
{
    flushThinned();
    koTerminalOutput::print(QString());
    koTerminalOutput::print(QStringLiteral("== %1 ==").arg(title));
}

void koDemoTranscript::note(const QString& text)
{
    koTerminalOutput::print(QStringLiteral("   %1").arg(text));
}

void koDemoTranscript::showLine(const QString& label, const QString& line, bool fromError, Clock::time_point when)
{
    show(label, line, fromError ? QLatin1Char('!') : QLatin1Char('|'), when);
}

void koDemoTranscript::showCommand(const QString& label, const QString& command, Clock::time_point when)
{
    show(label, command, QLatin1Char('<'), when);
}

void koDemoTranscript::show(const QString& label, const QString& line, QChar marker, Clock::time_point when)
{
    const QString kind = kindOf(line);
    if (!kind.isEmpty()) {
        const auto key = std::make_pair(label, kind);
        if (shown[key] >= shownPerKind) {
            ++leftOut[key];
            return;
        }
        ++shown[key];
    }
    const double seconds = std::chrono::duration<double>(when - start).count();
    koTerminalOutput::print(QStringLiteral("%1 s  %2 %3 %4")
                                .arg(seconds, 7, 'f', 3)
                                .arg(label, -labelWidth)
                                .arg(marker)
                                .arg(line));
}

bool koDemoTranscript::check(bool ok, const QString& what)
{
    flushThinned();
    ++checks;
    failures += ok ? 0 : 1;
    koTerminalOutput::print(QStringLiteral("   [%1] %2").arg(ok ? QStringLiteral("ok") : QStringLiteral("FAILED"), what));
    return ok;
}

void koDemoTranscript::flushThinned()
{
    for (const auto& entry : leftOut) {
        if (entry.second == 0)
            continue;
        const QString& kind = entry.first.second;
        if (kind.endsWith(QLatin1String("command")))
            note(QStringLiteral("(%1 more %2s typed into %3)").arg(entry.second).arg(kind, entry.first.first));
        else
            note(QStringLiteral("(%1 printed %2 more %3 lines)").arg(entry.first.first).arg(entry.second).arg(kind));
    }
    shown.clear();
    leftOut.clear();
}

QString koDemoTranscript::kindOf(const QString& line)
{
    if (line.startsWith(QLatin1String("message from")))
        return QStringLiteral("message");
    if (line.startsWith(QLatin1String("pose from")))
        return QStringLiteral("pose");
    if (line.startsWith(QLatin1String("say ")))
        return QStringLiteral("say command");
    if (line.startsWith(QLatin1String("pose ")))
        return QStringLiteral("pose command");
    return QString();
}
