#pragma once

#include "koSessionMutex.h"

#include <QLockFile>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QFileDevice;
class koSessionSceneBuffer;

// The folder where a server keeps its session across restarts: the session
// part of the link (the hex text of the link after its address, never the
// password), the stored scene with its name, and the log of retained changes
// (koSessionStateLog, by logFileName()). Every file but the log is replaced
// whole and crash-safe: a temporary file in the folder is written, synced,
// renamed over the old one and the folder synced, so a crash leaves the old
// file or the new one, never a mix.
//
// Threads: lock and the session part from the host before the server starts;
// readScene and clear from whoever starts and waits for the server; writeScene
// from any thread (writers are serialised). Failures throw std::runtime_error
// with a message a person can act on.
class koSessionStateDirectory
{
public:
    // Creates `path` (mode 0700: the changes are the session's content) when it
    // is missing. Throws when it cannot be made.
    explicit koSessionStateDirectory(const QString& path);
    ~koSessionStateDirectory();

    koSessionStateDirectory(const koSessionStateDirectory&) = delete;
    koSessionStateDirectory& operator=(const koSessionStateDirectory&) = delete;

    // Takes the folder for this process until it is destroyed. A lock left by
    // a process that is gone (killed, crashed) is taken over. Throws, naming
    // the holder, when another process holds it.
    void lock();

    const QString& getPath() const;
    QString logFileName() const;

    // Empty when none is stored.
    QString readSessionPart() const;
    void writeSessionPart(const QString& sessionPart);

    // Fills `name` and `data` with the stored scene; false when there is none,
    // or when the file is damaged (that is logged, and the file left for
    // inspection).
    bool readScene(std::string& name, koSessionSceneBuffer& data) const;
    // Stores the scene of upload number `generation` unless a later one is
    // stored already, so uploads that finish close together leave the newest.
    void writeScene(std::uint64_t generation, const std::string& name, const koSessionSceneBuffer& data);

    // Forgets the session: the session part, the scene and the log go, so the
    // next server on this folder makes a new session. The lock stays.
    void clear();

    // Replaces `fileName` crash-safe with what `write` writes into the
    // temporary file (false from it: give up, leaving the old file). Throws
    // when the file cannot be written.
    static void replaceFile(const QString& fileName, const std::function<bool(QFileDevice&)>& write);
    // Makes a rename or a removal in `folder` durable.
    static void syncFolder(const QString& folder);
    // CRC-32 (zlib's) of `size` bytes, continuing from `crc` (0 to begin).
    static std::uint32_t checksum(std::uint32_t crc, const char* data, std::size_t size);

private:
    QString filePath(const char* name) const;

    const QString path;
    std::unique_ptr<QLockFile> lockFile;
    // Guards writtenGeneration and the scene file; taken by upload jobs only,
    // and never with another lock held.
    koSessionMutex sceneMutex{koSessionLockRank::StateDirectory, "koSessionStateDirectory::sceneMutex"};
    std::uint64_t writtenGeneration = 0;
};
