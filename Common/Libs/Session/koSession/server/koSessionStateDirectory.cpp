#include "koSessionStateDirectory.h"

#include "koSessionSceneBuffer.h"

#include "koLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const char lockName[] = "lock";
const char sessionName[] = "session";
const char sceneName[] = "scene";
const char logName[] = "changes.log";

// Scene file: this mark, the name as a u32 length and UTF-8 bytes, the size
// as a u64 and the bytes, then the CRC-32 of everything before it; integers
// little-endian.
const char sceneMark[8] = {'k', 'o', 'S', 'c', 'e', 'n', 'e', '1'};

std::string text(const QString& value)
{
    return value.toLocal8Bit().toStdString();
}

template <class T>
QByteArray littleEndian(T value)
{
    QByteArray bytes(int(sizeof value), Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

bool writeAll(QFileDevice& file, const char* data, std::uint64_t size, std::uint32_t& crc)
{
    crc = koSessionStateDirectory::checksum(crc, data, size);
    return file.write(data, qint64(size)) == qint64(size);
}

} // namespace

koSessionStateDirectory::koSessionStateDirectory(const QString& path)
    : path(QDir(path).absolutePath())
{
    if (QDir(this->path).exists())
        return;
    if (!QDir().mkpath(this->path))
        throw std::runtime_error("cannot create the state directory " + text(this->path)
                                 + "; create it for this user or choose another --state-dir");
    QFile::setPermissions(this->path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

koSessionStateDirectory::~koSessionStateDirectory() = default;

void koSessionStateDirectory::lock()
{
    auto file = std::make_unique<QLockFile>(filePath(lockName));
    // Age says nothing about a lock whose holder runs for weeks: only a
    // holder that is gone makes it stale, which QLockFile checks by its pid.
    file->setStaleLockTime(0);
    if (file->tryLock(0)) {
        lockFile = std::move(file);
        return;
    }
    if (file->error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host;
        QString application;
        file->getLockInfo(&pid, &host, &application);
        throw std::runtime_error("the state directory " + text(path) + " is used by another kosession-server (pid "
                                 + std::to_string(pid) + (host.isEmpty() ? "" : " on " + text(host))
                                 + "); stop it or choose another --state-dir");
    }
    throw std::runtime_error("cannot lock the state directory " + text(path)
                             + ": it is not writable; give this user write access or choose another --state-dir");
}

const QString& koSessionStateDirectory::getPath() const
{
    return path;
}

QString koSessionStateDirectory::filePath(const char* name) const
{
    return path + QLatin1Char('/') + QLatin1String(name);
}

QString koSessionStateDirectory::logFileName() const
{
    return filePath(logName);
}

QString koSessionStateDirectory::readSessionPart() const
{
    QFile file(filePath(sessionName));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll()).trimmed();
}

void koSessionStateDirectory::writeSessionPart(const QString& sessionPart)
{
    const QByteArray bytes = sessionPart.toLatin1() + '\n';
    replaceFile(filePath(sessionName), [&bytes](QFileDevice& file) { return file.write(bytes) == bytes.size(); });
}

bool koSessionStateDirectory::readScene(std::string& name, koSessionSceneBuffer& data) const
{
    QFile file(filePath(sceneName));
    if (!file.exists())
        return false;
    const auto damaged = [&file](const char* why) {
        koLog::warning("The stored scene %s is damaged (%s); the session goes on without it",
                       file.fileName().toLocal8Bit().constData(), why);
        return false;
    };
    if (!file.open(QIODevice::ReadOnly))
        return damaged("unreadable");
    std::uint32_t crc = 0;
    const auto read = [&file, &crc](char* into, std::uint64_t size) {
        if (file.read(into, qint64(size)) != qint64(size))
            return false;
        crc = checksum(crc, into, size);
        return true;
    };
    char mark[sizeof sceneMark];
    char length[4];
    if (!read(mark, sizeof mark) || !std::equal(mark, mark + sizeof mark, sceneMark) || !read(length, sizeof length))
        return damaged("not a scene file");
    const std::uint32_t nameSize = qFromLittleEndian<std::uint32_t>(length);
    if (nameSize > std::uint64_t(file.size()))
        return damaged("bad name length");
    std::string storedName(nameSize, '\0');
    char size[8];
    if (!read(&storedName[0], nameSize) || !read(size, sizeof size))
        return damaged("cut short");
    const std::uint64_t dataSize = qFromLittleEndian<std::uint64_t>(size);
    if (dataSize != std::uint64_t(file.size() - file.pos()) - 4)
        return damaged("bad size");
    data.resize(static_cast<std::size_t>(dataSize));
    char stored[4];
    if (!read(data.data(), dataSize) || file.read(stored, 4) != 4 || qFromLittleEndian<std::uint32_t>(stored) != crc) {
        data.clear();
        return damaged("checksum mismatch");
    }
    name = storedName;
    return true;
}

void koSessionStateDirectory::writeScene(std::uint64_t generation, const std::string& name,
                                         const koSessionSceneBuffer& data)
{
    std::lock_guard<koSessionMutex> lock(sceneMutex);
    if (generation <= writtenGeneration)
        return;
    replaceFile(filePath(sceneName), [&name, &data](QFileDevice& file) {
        std::uint32_t crc = 0;
        const QByteArray nameSize = littleEndian(std::uint32_t(name.size()));
        const QByteArray dataSize = littleEndian(std::uint64_t(data.size()));
        const bool written = writeAll(file, sceneMark, sizeof sceneMark, crc)
            && writeAll(file, nameSize.constData(), 4, crc) && writeAll(file, name.data(), name.size(), crc)
            && writeAll(file, dataSize.constData(), 8, crc) && writeAll(file, data.data(), data.size(), crc);
        return written && file.write(littleEndian(crc)) == 4;
    });
    writtenGeneration = generation;
}

void koSessionStateDirectory::clear()
{
    std::lock_guard<koSessionMutex> lock(sceneMutex);
    for (const char* name : {sessionName, sceneName, logName})
        QFile::remove(filePath(name));
    syncFolder(path);
}

void koSessionStateDirectory::replaceFile(const QString& fileName, const std::function<bool(QFileDevice&)>& write)
{
    QSaveFile file(fileName);
    bool written = file.open(QIODevice::WriteOnly) && write(file) && file.flush();
#ifdef Q_OS_UNIX
    // The data must be on disk before the rename makes it the file, and
    // QSaveFile does not promise that everywhere.
    written = written && ::fsync(file.handle()) == 0;
#endif
    if (!written || !file.commit()) {
        const std::string why = text(file.errorString());
        file.cancelWriting();
        throw std::runtime_error("cannot write " + text(fileName) + ": " + why
                                 + "; make room on its disk or give this user write access");
    }
    syncFolder(QFileInfo(fileName).absolutePath());
}

void koSessionStateDirectory::syncFolder(const QString& folder)
{
#ifdef Q_OS_UNIX
    const int handle = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0)
        return;
    ::fsync(handle);
    ::close(handle);
#else
    Q_UNUSED(folder);
#endif
}

std::uint32_t koSessionStateDirectory::checksum(std::uint32_t crc, const char* data, std::size_t size)
{
    // zlib counts in uInt: feed a large scene in pieces.
    constexpr std::size_t piece = std::numeric_limits<uInt>::max() / 2;
    uLong value = crc;
    for (std::size_t done = 0; done < size; done += piece)
        value = ::crc32(value, reinterpret_cast<const Bytef*>(data + done), uInt(std::min(piece, size - done)));
    return std::uint32_t(value);
}
