#include "koProgressBar.h"

#include "koInterruptWatcher.h"
#include "koTerminalOutput.h"

#include <QString>

#include <algorithm>
#include <atomic>

#include <unistd.h>

namespace {

constexpr int barWidth = 30;
constexpr double mebibyte = 1024.0 * 1024.0;

// The percentage drawn last, so that the bar is redrawn only when it moves;
// -1 while no bar is shown. The observer runs on whichever thread reports.
std::atomic<int> shownPercent{-1};
// Whether standard error is a terminal: into a file or a pipe a bar redrawn
// in place is only noise.
std::atomic<bool> drawing{false};

QString barText(const koNetProgress::State& state, int percent)
{
    const int filled = percent * barWidth / 100;
    return QStringLiteral("%1 [%2%3] %4% %5 of %6 MiB")
        .arg(QString::fromStdString(state.text))
        .arg(QString(filled, QLatin1Char('#')))
        .arg(QString(barWidth - filled, QLatin1Char('.')))
        .arg(percent, 3)
        .arg(state.done / mebibyte, 0, 'f', 1)
        .arg(state.total / mebibyte, 0, 'f', 1);
}

} // namespace

void koProgressBar::install()
{
    drawing = ::isatty(STDERR_FILENO) == 1;
    koNetProgress::setObserver(&koProgressBar::show);
}

void koProgressBar::uninstall()
{
    koNetProgress::setObserver(koNetProgress::Observer());
}

void koProgressBar::show(const koNetProgress::State& state)
{
    if (state.text.empty()) {
        if (shownPercent.exchange(-1) >= 0)
            koTerminalOutput::printProgress(QString());
        return;
    }
    // Ctrl-C during a transfer stops the transfer, not the program.
    if (!state.aborting && koInterruptWatcher::takeRaised())
        koNetProgress::requestAbort();
    // Without a total there is nothing to measure: the library's wait for
    // the scene announcement while joining is one, and the participant
    // says itself what it waits for (the library's text says "Downloading").
    if (!drawing || state.total <= 0.0)
        return;
    const int percent = static_cast<int>(100.0 * std::min(state.done, state.total) / state.total);
    if (shownPercent.exchange(percent) != percent)
        koTerminalOutput::printProgress(barText(state, percent));
}
