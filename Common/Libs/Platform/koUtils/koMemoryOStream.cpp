#include "koMemoryOStream.h"

#include <streambuf>

// Appends every byte to a vector. No put area is used, so each write lands in
// the vector at once and getData() never misses buffered bytes.
class koMemoryOStream::Buffer : public std::streambuf
{
public:
    std::vector<char> data;

protected:
    int_type overflow(int_type ch) override
    {
        if (traits_type::eq_int_type(ch, traits_type::eof()))
            return traits_type::not_eof(ch);
        data.push_back(traits_type::to_char_type(ch));
        return ch;
    }

    std::streamsize xsputn(const char* s, std::streamsize count) override
    {
        if (count > 0)
            data.insert(data.end(), s, s + count);
        return count;
    }
};

koMemoryOStream::koMemoryOStream()
    : std::ostream(nullptr)
    , buffer(new Buffer)
{
    rdbuf(buffer.get());
}

koMemoryOStream::~koMemoryOStream() = default;

std::vector<char> koMemoryOStream::getData() const
{
    return buffer->data;
}

std::vector<char> koMemoryOStream::takeData()
{
    std::vector<char> taken;
    taken.swap(buffer->data);
    return taken;
}

std::size_t koMemoryOStream::size() const
{
    return buffer->data.size();
}
