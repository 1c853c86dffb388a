#include "koHaproxyMapFile.h"

#include <QFile>
#include <QLockFile>
#include <QSaveFile>

koHaproxyMapFile::koHaproxyMapFile(const QString& path)
    : path(path)
{
}

bool koHaproxyMapFile::put(const QString& key, const QString& value, QString& error) const
{
    return rewrite(key, value, error);
}

bool koHaproxyMapFile::remove(const QString& key, QString& error) const
{
    return rewrite(key, QString(), error);
}

bool koHaproxyMapFile::rewrite(const QString& key, const QString& value, QString& error) const
{
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(LockMilliseconds)) {
        error = lock.error() == QLockFile::LockFailedError
            ? QStringLiteral("another kosession-server held %1.lock for over %2 ms; try again").arg(path).arg(LockMilliseconds)
            : QStringLiteral("cannot make the lock file %1.lock; let this user write that folder").arg(path);
        return false;
    }
    QByteArray kept;
    QFile current(path);
    if (current.exists() && !current.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the map file %1: %2; make it readable for this user")
                    .arg(path, current.errorString());
        return false;
    }
    if (current.isOpen()) {
        const QByteArray ownKey = key.toUtf8();
        for (const QByteArray& line : current.readAll().split('\n'))
            if (!line.isEmpty() && line.simplified().split(' ').first() != ownKey)
                kept += line + '\n';
    }
    if (!value.isEmpty())
        kept += QStringLiteral("%1 %2\n").arg(key, value).toUtf8();
    QSaveFile replacement(path);
    if (!replacement.open(QIODevice::WriteOnly) || replacement.write(kept) != kept.size() || !replacement.commit()) {
        error = QStringLiteral("cannot rewrite the map file %1: %2; let this user write that folder")
                    .arg(path, replacement.errorString());
        return false;
    }
    return true;
}
