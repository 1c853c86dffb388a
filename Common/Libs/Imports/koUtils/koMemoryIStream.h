#pragma once

#include <istream>
#include <memory>
#include <vector>

// An input stream over bytes in memory, without copying them: the caller keeps
// `data` alive and unchanged while the stream reads.
class koMemoryIStream : public std::istream
{
public:
    explicit koMemoryIStream(const std::vector<char>& data);
    koMemoryIStream(const char* data, std::size_t size);
    ~koMemoryIStream() override;

private:
    class Buffer;
    std::unique_ptr<Buffer> buffer;
};
