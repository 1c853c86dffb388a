#include "koTerminalOutput.h"

#include <cstdio>
#include <mutex>

namespace {

// Guards both standard streams and progressOpen, so that lines from the main
// thread and from the library's threads (log lines) never interleave. Taken
// by every print; nothing else is locked while it is held.
std::mutex outputMutex;
bool progressOpen = false;
// Length of the progress line drawn last, so a shorter one blanks the rest.
int progressLength = 0;

void closeProgressLine()
{
    if (progressOpen) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
        progressOpen = false;
        progressLength = 0;
    }
}

void writeLine(std::FILE* stream, const QString& line)
{
    const QByteArray bytes = line.toUtf8();
    std::lock_guard<std::mutex> lock(outputMutex);
    closeProgressLine();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

void koTerminalOutput::print(const QString& line)
{
    writeLine(stdout, line);
}

void koTerminalOutput::printError(const QString& line)
{
    writeLine(stderr, line);
}

void koTerminalOutput::printProgress(const QString& text)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    if (text.isEmpty()) {
        closeProgressLine();
        return;
    }
    const QByteArray bytes = text.toUtf8();
    std::fputc('\r', stderr);
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    for (int i = bytes.size(); i < progressLength; ++i)
        std::fputc(' ', stderr);
    std::fflush(stderr);
    progressOpen = true;
    progressLength = bytes.size();
}
