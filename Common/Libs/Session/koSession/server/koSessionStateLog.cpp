#include "koSessionStateLog.h"

#include "koSessionChange.h"
#include "koSessionStateDirectory.h"

#include "koLog.h"
#include "koNetError.h"
#include "koNetSerializer.h"

#include <QtEndian>

#include <cstring>
#include <stdexcept>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr int HeaderBytes = 8;

// A change's wire form to and from memory.
class ByteSerializer : public koNetSerializer
{
public:
    explicit ByteSerializer(QByteArray& bytes)
        : bytes(bytes)
    {
    }

    void putBytes(const void* data, std::size_t size) override
    {
        bytes.append(static_cast<const char*>(data), int(size));
    }

    void getBytes(void* data, std::size_t size) override
    {
        if (size > std::size_t(bytes.size()) - position)
            throw koNetError("state log record ends early");
        std::memcpy(data, bytes.constData() + position, size);
        position += size;
    }

    bool isAtEnd() const { return position == std::size_t(bytes.size()); }

private:
    QByteArray& bytes;
    std::size_t position = 0;
};

std::string text(const QString& value)
{
    return value.toLocal8Bit().toStdString();
}

} // namespace

koSessionStateLog::koSessionStateLog(const QString& fileName)
    : fileName(fileName)
    , file(fileName)
{
}

koSessionStateLog::~koSessionStateLog()
{
    try {
        sync();
    } catch (const std::exception& e) {
        koLog::error("%s", e.what());
    }
}

std::vector<koSessionStateLog::ChangePtr> koSessionStateLog::open()
{
    file.close();
    records = 0;
    std::vector<ChangePtr> changes;
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        throw std::runtime_error("cannot open " + text(fileName) + ": " + text(file.errorString())
                                 + "; give this user write access to the state directory");
    while (readRecord(changes))
        ++records;
    const qint64 good = file.pos();
    if (good < file.size()) {
        koLog::warning("The state log %s is damaged from offset %lld: cut its last %lld bytes; the %llu changes "
                       "before them are kept",
                       text(fileName).c_str(), static_cast<long long>(good), static_cast<long long>(file.size() - good),
                       static_cast<unsigned long long>(records));
        if (!file.resize(good))
            throw std::runtime_error("cannot cut the damaged tail of " + text(fileName) + ": "
                                     + text(file.errorString()));
        unsynced = true;
        sync();
    }
    file.seek(good);
    baseBytes = std::uint64_t(good);
    return changes;
}

// False, with the file at the record's start, when no whole good record
// begins here.
bool koSessionStateLog::readRecord(std::vector<ChangePtr>& changes)
{
    const qint64 start = file.pos();
    char header[HeaderBytes];
    bool good = file.read(header, HeaderBytes) == HeaderBytes;
    const std::uint32_t size = qFromLittleEndian<std::uint32_t>(header);
    good = good && size <= MaxRecordBytes && size <= std::uint64_t(file.size() - file.pos());
    QByteArray bytes;
    if (good) {
        bytes = file.read(size);
        good = std::uint32_t(bytes.size()) == size
            && koSessionStateDirectory::checksum(0, bytes.constData(), size)
                == qFromLittleEndian<std::uint32_t>(header + 4);
    }
    if (good) {
        auto change = std::make_shared<koSessionChange>();
        ByteSerializer serializer(bytes);
        try {
            change->getValue(serializer);
            good = serializer.isAtEnd();
        } catch (const koNetError&) {
            good = false;
        }
        if (good)
            changes.push_back(std::move(change));
    }
    if (!good)
        file.seek(start);
    return good;
}

void koSessionStateLog::append(const koSessionChange& change)
{
    const QByteArray record = encode(change);
    if (file.write(record) != record.size())
        throw std::runtime_error("cannot append to " + text(fileName) + ": " + text(file.errorString())
                                 + "; make room on its disk");
    ++records;
    unsynced = true;
}

QByteArray koSessionStateLog::encode(const koSessionChange& change)
{
    QByteArray record(HeaderBytes, '\0');
    ByteSerializer serializer(record);
    change.putValue(serializer);
    const std::uint32_t size = std::uint32_t(record.size() - HeaderBytes);
    qToLittleEndian(size, record.data());
    qToLittleEndian(koSessionStateDirectory::checksum(0, record.constData() + HeaderBytes, size), record.data() + 4);
    return record;
}

void koSessionStateLog::sync()
{
    if (!unsynced || !file.isOpen())
        return;
#ifdef Q_OS_UNIX
    if (::fdatasync(file.handle()) != 0)
        throw std::runtime_error("cannot sync " + text(fileName) + " to its disk");
#endif
    unsynced = false;
}

void koSessionStateLog::rewrite(const std::vector<ChangePtr>& changes)
{
    file.close();
    koSessionStateDirectory::replaceFile(fileName, [&changes](QFileDevice& into) {
        for (const ChangePtr& change : changes) {
            const QByteArray record = encode(*change);
            if (into.write(record) != record.size())
                return false;
        }
        return true;
    });
    records = changes.size();
    unsynced = false;
    openForAppend();
    baseBytes = std::uint64_t(file.size());
}

void koSessionStateLog::openForAppend()
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        throw std::runtime_error("cannot open " + text(fileName) + ": " + text(file.errorString())
                                 + "; give this user write access to the state directory");
}

bool koSessionStateLog::isWorthCompacting(std::uint64_t live) const
{
    const auto bytes = std::uint64_t(file.size());
    return bytes > CompactFloorBytes && (records > 2 * live || bytes > 2 * baseBytes);
}
