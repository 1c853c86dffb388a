#pragma once

#include <QIODevice>

#include <istream>
#include <ostream>

// A QIODevice over a standard stream, open for reading (istream) or writing
// (ostream) from construction, so a QDataStream can be put on it at once.
// Bytes pass straight through; the device does not own the stream.
class koQStreamDevice : public QIODevice
{
public:
    explicit koQStreamDevice(std::istream* in);
    explicit koQStreamDevice(std::ostream* out);
    ~koQStreamDevice() override;

    bool isSequential() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    std::istream* in = nullptr;
    std::ostream* out = nullptr;
};
