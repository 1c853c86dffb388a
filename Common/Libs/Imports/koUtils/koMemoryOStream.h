#pragma once

#include <memory>
#include <ostream>
#include <vector>

// An output stream that collects what is written in memory.
class koMemoryOStream : public std::ostream
{
public:
    koMemoryOStream();
    ~koMemoryOStream() override;

    // A copy of every byte written so far.
    std::vector<char> getData() const;
    // Moves the bytes out without copying; the stream is empty afterwards.
    std::vector<char> takeData();
    std::size_t size() const;

private:
    class Buffer;
    std::unique_ptr<Buffer> buffer;
};
