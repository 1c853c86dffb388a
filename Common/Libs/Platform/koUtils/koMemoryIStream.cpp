#include "koMemoryIStream.h"

#include <cstring>
#include <streambuf>

// Reads straight from the caller's bytes: the whole range is the get area, so
// there is nothing to copy and nothing to refill.
class koMemoryIStream::Buffer : public std::streambuf
{
public:
    Buffer(const char* data, std::size_t size)
    {
        // The get area pointers are non-const by the streambuf contract; this
        // buffer never writes through them (no putback into the range).
        char* begin = const_cast<char*>(data);
        setg(begin, begin, begin + size);
    }

protected:
    int_type underflow() override
    {
        return gptr() < egptr() ? traits_type::to_int_type(*gptr()) : traits_type::eof();
    }

    std::streamsize xsgetn(char* s, std::streamsize count) override
    {
        const std::streamsize available = egptr() - gptr();
        const std::streamsize taken = count < available ? count : available;
        if (taken > 0) {
            std::memcpy(s, gptr(), static_cast<std::size_t>(taken));
            // setg rather than gbump: gbump takes an int and ranges may be larger.
            setg(eback(), gptr() + taken, egptr());
        }
        return taken;
    }

    std::streamsize showmanyc() override
    {
        const std::streamsize available = egptr() - gptr();
        return available > 0 ? available : -1;
    }

    pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode which) override
    {
        if (!(which & std::ios_base::in))
            return pos_type(off_type(-1));
        const off_type size = egptr() - eback();
        off_type base = 0;
        if (dir == std::ios_base::cur)
            base = gptr() - eback();
        else if (dir == std::ios_base::end)
            base = size;
        const off_type target = base + offset;
        if (target < 0 || target > size)
            return pos_type(off_type(-1));
        setg(eback(), eback() + target, egptr());
        return pos_type(target);
    }

    pos_type seekpos(pos_type position, std::ios_base::openmode which) override
    {
        return seekoff(off_type(position), std::ios_base::beg, which);
    }
};

koMemoryIStream::koMemoryIStream(const std::vector<char>& data)
    : koMemoryIStream(data.data(), data.size())
{
}

koMemoryIStream::koMemoryIStream(const char* data, std::size_t size)
    : std::istream(nullptr)
    , buffer(new Buffer(data, size))
{
    rdbuf(buffer.get());
}

koMemoryIStream::~koMemoryIStream() = default;
