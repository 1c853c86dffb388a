#include "koCommandReader.h"

#include <QRegularExpression>
#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

namespace {

constexpr int chunkSize = 4096;

} // namespace

koCommandReader::koCommandReader() = default;

koCommandReader::~koCommandReader() = default;

void koCommandReader::start()
{
    notifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, [this] { readInput(); });
}

void koCommandReader::readInput()
{
    char chunk[chunkSize];
    // The notifier said the input is readable, so this read does not block.
    const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count <= 0) {
        notifier->setEnabled(false);
        if (!pending.isEmpty())
            splitLine(pending);
        pending.clear();
        emit inputClosed();
        return;
    }
    pending.append(chunk, static_cast<int>(count));
    for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
        const QByteArray line = pending.left(end);
        pending.remove(0, end + 1);
        splitLine(line);
    }
}

void koCommandReader::splitLine(const QByteArray& line)
{
    const QString text = QString::fromUtf8(line).trimmed();
    if (text.isEmpty())
        return;
    const int blank = text.indexOf(QRegularExpression(QStringLiteral("\\s")));
    const QString verb = (blank < 0 ? text : text.left(blank)).toLower();
    const QString rest = blank < 0 ? QString() : text.mid(blank + 1).trimmed();
    emit commandRead(verb, rest);
}
