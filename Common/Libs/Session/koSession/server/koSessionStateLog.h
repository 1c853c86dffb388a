#pragma once

#include <QFile>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class koSessionChange;

// The changes a server retains for newcomers, as an append-only file. One
// record per change: its length (u32), the CRC-32 of its bytes (u32), both
// little-endian, then the change's wire form. Opening reads every good record
// and cuts the file at the first bad one (torn by a crash, or damaged), so
// what comes before it is never lost and later appends follow good records.
//
// Durability: an append reaches the kernel at once, so killing the process
// loses nothing; the file is synced to the disk only by sync() (the recorder
// calls it about once a second and on stop), since syncing every record would
// bound the relay by the disk. A power cut may lose the last moments; the
// torn tail they leave is cut on the next open.
//
// Threads: one thread at a time. Failures throw std::runtime_error.
class koSessionStateLog
{
public:
    using ChangePtr = std::shared_ptr<koSessionChange>;

    // A length above this is damage, not a record: no change is that large.
    static constexpr std::uint32_t MaxRecordBytes = (std::uint32_t(256) << 20) + (std::uint32_t(64) << 10) + 64;
    // compact() is worth it only past this size, so a small log is not
    // rewritten again and again.
    static constexpr std::uint64_t CompactFloorBytes = std::uint64_t(256) << 10;

    explicit koSessionStateLog(const QString& fileName);
    // Syncs; nothing escapes.
    ~koSessionStateLog();

    koSessionStateLog(const koSessionStateLog&) = delete;
    koSessionStateLog& operator=(const koSessionStateLog&) = delete;

    // Reads the records (creating an empty log when there is none), cuts a bad
    // tail and logs that it did; then the log takes appends.
    std::vector<ChangePtr> open();
    void append(const koSessionChange& change);
    void sync();
    // Replaces the log with `changes`, crash-safe.
    void rewrite(const std::vector<ChangePtr>& changes);
    // Whether the file is past the floor and either its records outnumber
    // twice the `live` ones or it has doubled since it was last written
    // whole: a large change replaced again and again kills few records but
    // many bytes, and the disk must not grow without bound for it.
    bool isWorthCompacting(std::uint64_t live) const;

private:
    bool readRecord(std::vector<ChangePtr>& changes);
    void openForAppend();
    static QByteArray encode(const koSessionChange& change);

    const QString fileName;
    QFile file;
    std::uint64_t records = 0;
    // The file's size after open or the last rewrite.
    std::uint64_t baseBytes = 0;
    bool unsynced = false;
};
