#include "koMemoryIStream.h"
#include "koMemoryOStream.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(koMemoryOStream, CollectsEveryWriteInOrder)
{
    koMemoryOStream out;
    std::string expected;
    const std::string bulk(100000, 'b');
    out << 'a';
    expected += 'a';
    out.write(bulk.data(), static_cast<std::streamsize>(bulk.size()));
    expected += bulk;
    out << 12345 << ' ' << std::string("tail");
    expected += "12345 tail";
    out.put('\0');
    expected += '\0';

    ASSERT_TRUE(out.good());
    EXPECT_EQ(out.size(), expected.size());
    const std::vector<char> data = out.getData();
    EXPECT_EQ(std::string(data.begin(), data.end()), expected);
    EXPECT_EQ(out.size(), expected.size()) << "getData must not consume";

    const std::vector<char> taken = out.takeData();
    EXPECT_EQ(std::string(taken.begin(), taken.end()), expected);
    EXPECT_EQ(out.size(), 0u);
    out << "again";
    const std::vector<char> after = out.getData();
    EXPECT_EQ(std::string(after.begin(), after.end()), "again");
}

TEST(koMemoryIStream, ReadsTheCallersBytesWithoutCopying)
{
    std::vector<char> data = {'a', 'b', 'c', 'd', 'e', 'f'};
    koMemoryIStream in(data);
    data[1] = 'B'; // seen by the stream: it reads the caller's memory
    char first[3] = {};
    ASSERT_TRUE(in.read(first, 3));
    EXPECT_EQ(std::string(first, 3), "aBc");
    EXPECT_EQ(in.get(), 'd');
    EXPECT_EQ(in.peek(), 'e');
}

TEST(koMemoryIStream, ShortReadAtTheEndFailsAndReportsWhatItGot)
{
    const std::vector<char> data = {'1', '2', '3', '4', '5'};
    const std::size_t requests[] = {0, 1, 4, 5, 6, 1000};
    for (std::size_t request : requests) {
        SCOPED_TRACE("read of " + std::to_string(request));
        koMemoryIStream in(data);
        std::vector<char> out(request + 1);
        in.read(out.data(), static_cast<std::streamsize>(request));
        const std::size_t got = std::min(request, data.size());
        EXPECT_EQ(static_cast<std::size_t>(in.gcount()), got);
        EXPECT_EQ(std::string(out.data(), got), std::string(data.data(), got));
        EXPECT_EQ(in.eof(), request > data.size());
        EXPECT_EQ(in.fail(), request > data.size());
    }
}

TEST(koMemoryIStream, SeeksWithinItsBytesOnly)
{
    const char bytes[] = "0123456789";
    koMemoryIStream in(bytes, 10);
    ASSERT_TRUE(in.seekg(7));
    EXPECT_EQ(in.get(), '7');
    ASSERT_TRUE(in.seekg(-3, std::ios_base::cur));
    EXPECT_EQ(in.get(), '5');
    ASSERT_TRUE(in.seekg(-1, std::ios_base::end));
    EXPECT_EQ(in.get(), '9');
    EXPECT_EQ(in.tellg(), std::streampos(10));
    in.seekg(11);
    EXPECT_TRUE(in.fail());
    in.clear();
    in.seekg(-1, std::ios_base::beg);
    EXPECT_TRUE(in.fail());
}

TEST(koMemoryIStream, EmptyInputIsAtItsEndAtOnce)
{
    const std::vector<char> none;
    koMemoryIStream in(none);
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(in.eof());
}

} // namespace
