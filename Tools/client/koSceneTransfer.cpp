#include "koSceneTransfer.h"

#include "koLoadSceneCommand.h"
#include "koProgressPieces.h"
#include "koSceneChecksum.h"
#include "koTerminalOutput.h"
#include "koTerminalText.h"

#include "koSession.h"

#include "koConnectionClosed.h"
#include "koNetProgress.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <vector>

namespace {

// "8388608 bytes in 95 ms (84.2 MiB/s)"
QString describeTransfer(std::size_t bytes, qint64 nanoseconds)
{
    const double seconds = std::max<qint64>(nanoseconds, 1) / 1e9;
    return QStringLiteral("%1 bytes in %2 ms (%3 MiB/s)")
        .arg(bytes)
        .arg(nanoseconds / 1e6, 0, 'f', 1)
        .arg(bytes / seconds / (1024.0 * 1024.0), 0, 'f', 1);
}

void fail(const QString& message)
{
    koTerminalOutput::printError(QStringLiteral("error: %1").arg(message));
}

// In pieces, so that Ctrl-C stops a large read; false (and a message unless
// the user aborted) when not all of the file could be read.
bool readFile(const QString& path, std::vector<char>& data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    const auto size = static_cast<std::size_t>(file.size());
    // Address space only: pages come as the bytes are read, and nothing moves.
    data.reserve(size);
    const bool read = koProgressPieces::run("Reading scene ...", size, [&](std::size_t offset, std::size_t length) {
        data.resize(offset + length);
        return file.read(data.data() + offset, static_cast<qint64>(length)) == static_cast<qint64>(length);
    });
    if (!read && !koNetProgress::isAborting())
        fail(QStringLiteral("cannot read all of %1: %2").arg(path, file.errorString()));
    return read;
}

bool writeFile(const QString& path, const std::vector<char>& data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(data.data(), static_cast<qint64>(data.size())) != static_cast<qint64>(data.size())) {
        fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

// Whether the user aborted, after saying `what` happened then.
bool reportAbort(const QString& what)
{
    if (!koNetProgress::isAborting())
        return false;
    fail(what);
    return true;
}

bool reportUploadAbort(const QString& name)
{
    return reportAbort(QStringLiteral("upload of %1 aborted; the server keeps its previous scene").arg(name));
}

// False (and a message) when the user aborted, nothing was downloaded or the
// bytes do not match `announced`, when there is an announcement of them.
bool isWorthWriting(const QString& name, const std::vector<char>& data, const koSceneTransfer::Announcement* announced)
{
    const QString aborted = QStringLiteral("download aborted; nothing was written");
    if (reportAbort(aborted))
        return false;
    // A declined scene makes the first download return untouched.
    if (name.isEmpty() && data.empty()) {
        fail(QStringLiteral("nothing downloaded: the scene was declined when joining; the next download fetches it"));
        return false;
    }
    if (!announced || koSceneChecksum::of(data.data(), data.size()) == announced->checksum)
        return true;
    if (!reportAbort(aborted))
        fail(QStringLiteral("the downloaded scene \"%1\" does not match its announcement (%2 bytes announced, %3 "
                            "received, checksums differ)")
                 .arg(koTerminalText::escaped(name))
                 .arg(announced->size)
                 .arg(data.size()));
    return false;
}

} // namespace

bool koSceneTransfer::upload(const QString& path)
{
    std::vector<char> data;
    const QString name = QFileInfo(path).fileName();
    const bool read = readFile(path, data);
    const QByteArray checksum = read ? koSceneChecksum::of(data.data(), data.size()) : QByteArray();
    if (reportUploadAbort(name) || !read)
        return false;
    if (checksum.isEmpty()) {
        fail(QStringLiteral("cannot compute the checksum of %1").arg(path));
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    try {
        koSession::the().uploadScene(data, name);
    } catch (const std::exception& e) {
        fail(QStringLiteral("uploading %1 failed: %2").arg(name, QString::fromUtf8(e.what())));
        return false;
    }
    const qint64 elapsed = timer.nsecsElapsed();
    // The server sends no answer; an abort shows only in the progress state.
    if (reportUploadAbort(name))
        return false;
    koSession::the().pushCommand(koLoadSceneCommand(name, static_cast<qint64>(data.size()), checksum));
    koTerminalOutput::print(QStringLiteral("uploaded \"%1\": %2").arg(name, describeTransfer(data.size(), elapsed)));
    return true;
}

bool koSceneTransfer::download(const QString& path, const Announcement& announced)
{
    std::vector<char> data;
    QString name;
    QElapsedTimer timer;
    timer.start();
    try {
        koSession::the().downloadScene(data, name);
    } catch (const koConnectionClosed&) {
        // The server closes a download at once when it holds no scene; with
        // a scene, its announcement would have come first.
        fail(announced.size < 0 ? QStringLiteral("the session holds no scene yet")
                                : QStringLiteral("downloading the scene failed: the server closed the connection"));
        return false;
    } catch (const std::exception& e) {
        fail(QStringLiteral("downloading the scene failed: %1").arg(QString::fromUtf8(e.what())));
        return false;
    }
    const qint64 elapsed = timer.nsecsElapsed();
    const bool known = announced.size >= 0 && announced.name == name;
    if (!isWorthWriting(name, data, known ? &announced : nullptr))
        return false;
    if (!writeFile(path, data))
        return false;
    koTerminalOutput::print(QStringLiteral("downloaded \"%1\" to %2: %3, %4")
                                .arg(koTerminalText::escaped(name), path, describeTransfer(data.size(), elapsed),
                                     known ? QStringLiteral("checksum matches the announcement")
                                           : QStringLiteral("no announcement to check it against")));
    return true;
}
