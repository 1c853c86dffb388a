#include "koQStreamDevice.h"

// Unbuffered: QIODevice would otherwise fill its own read buffer in large
// chunks and so read ahead of what the reader consumes, taking bytes that
// belong to whoever reads the stream next (and blocking on a live stream).
koQStreamDevice::koQStreamDevice(std::istream* in)
    : in(in)
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

koQStreamDevice::koQStreamDevice(std::ostream* out)
    : out(out)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

koQStreamDevice::~koQStreamDevice() = default;

bool koQStreamDevice::isSequential() const
{
    return true;
}

// A short count tells QDataStream that the data ended (ReadPastEnd); -1 says
// that nothing more can ever come, as QIODevice expects once the stream is
// exhausted or broken.
qint64 koQStreamDevice::readData(char* data, qint64 maxSize)
{
    if (!in || maxSize < 0)
        return -1;
    if (maxSize == 0)
        return 0;
    in->read(data, static_cast<std::streamsize>(maxSize));
    const qint64 count = static_cast<qint64>(in->gcount());
    return count > 0 ? count : -1;
}

qint64 koQStreamDevice::writeData(const char* data, qint64 maxSize)
{
    if (!out || maxSize < 0)
        return -1;
    out->write(data, static_cast<std::streamsize>(maxSize));
    return out->good() ? maxSize : -1;
}
