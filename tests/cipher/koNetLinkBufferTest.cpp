// The link's receive and seal buffers start small and grow with what arrives
// and what is sent; change records are read in three pieces (fixed part, state
// identifier and length, payload). Every byte must arrive once and in order
// whichever buffer size a frame or a record met on its way.
#include "koCipherTestPair.h"

#include "koNetSerializer.h"
#include "koNetStream.h"
#include "koSessionChange.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <string>
#include <thread>

namespace {

enum class Cipher { None, Installed };

struct LinkPair
{
    std::shared_ptr<koSocketLink> writer;
    std::shared_ptr<koSocketLink> reader;
};

LinkPair makeLinks(Cipher cipher)
{
    koTest::CipherPair pair = koTest::makeCipherPair();
    if (cipher == Cipher::Installed) {
        pair.clientLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.client)));
        pair.serverLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.server)));
    }
    return {pair.clientLink, pair.serverLink};
}

// Runs `write` on a second thread (large writes block until the reader takes
// them) and `read` on this one; rethrows the writer's failure.
void writeWhileReading(const std::function<void()>& write, const std::function<void()>& read)
{
    std::exception_ptr failure;
    std::thread writer([&] {
        try {
            write();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    try {
        read();
    } catch (...) {
        writer.join();
        throw;
    }
    writer.join();
    if (failure)
        std::rethrow_exception(failure);
}

// Captures what a serializer is given, for comparing wire forms.
class ByteSink : public koNetSerializer
{
public:
    std::vector<char> bytes;

    void putBytes(const void* data, std::size_t size) override
    {
        const char* begin = static_cast<const char*>(data);
        bytes.insert(bytes.end(), begin, begin + size);
    }

    void getBytes(void*, std::size_t) override { FAIL() << "ByteSink is write-only"; }
};

void appendLittleEndian(std::vector<char>& bytes, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// A whole record as it travels: fixed part, state identifier, payload.
std::vector<char> recordBytes(std::size_t stateIdLength, std::size_t payloadSize, unsigned seed)
{
    std::vector<char> bytes;
    appendLittleEndian(bytes, 0x01020304u + seed, 4); // command type
    appendLittleEndian(bytes, seed & 0xffffu, 2);      // changed by
    const char flags[] = {stateIdLength > 0 ? char(1) : char(0), 1, char(seed & 1), 0};
    bytes.insert(bytes.end(), flags, flags + 4);
    appendLittleEndian(bytes, 7, 2); // destination
    appendLittleEndian(bytes, stateIdLength, 4);
    const std::vector<char> stateId = koTest::patternBytes(stateIdLength, seed);
    bytes.insert(bytes.end(), stateId.begin(), stateId.end());
    appendLittleEndian(bytes, payloadSize, 8);
    const std::vector<char> payload = koTest::patternBytes(payloadSize, seed + 1000);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

// Sizes of flushed writes and of reads, chosen so that the first bytes keep
// the buffers small and later ones need them grown: a largest frame arriving
// behind a partial one, reads and writes straddling frames and buffer ends.
struct Traffic
{
    const char* name;
    std::vector<std::size_t> writes;
    std::vector<std::size_t> reads;
};

std::size_t totalOf(const std::vector<std::size_t>& sizes)
{
    std::size_t total = 0;
    for (std::size_t n : sizes)
        total += n;
    return total;
}

const std::vector<Traffic>& trafficTable()
{
    static const std::vector<Traffic> table = {
        {"small then large", {1, 100, 16384, 16385, 65536, 70000, 3, 300000, 5}, {1, 50, 50, 16384, 16385, 135536, 300008}},
        {"large then small", {300000, 1, 2, 3, 65535, 65537}, {7, 299993, 1, 2, 3, 131072}},
        {"one byte at a time behind a burst", {200000, 1, 1, 1, 1}, {1, 1, 199998, 1, 1, 1, 1}},
        {"read far larger than every write", {10, 20, 16384, 40000, 5}, {56419}},
    };
    return table;
}

class koNetLinkBuffer : public ::testing::TestWithParam<Cipher>
{
};

TEST_P(koNetLinkBuffer, BytesArriveInOrderWhateverTheBufferSizes)
{
    for (const Traffic& traffic : trafficTable()) {
        SCOPED_TRACE(traffic.name);
        ASSERT_EQ(totalOf(traffic.writes), totalOf(traffic.reads));
        LinkPair links = makeLinks(GetParam());
        const std::vector<char> sent = koTest::patternBytes(totalOf(traffic.writes), 3);
        std::vector<char> received(sent.size(), 0);
        writeWhileReading(
            [&] {
                koNetStream out(links.writer);
                std::size_t at = 0;
                for (std::size_t n : traffic.writes) {
                    out.putBytes(sent.data() + at, n);
                    out.flush();
                    at += n;
                }
            },
            [&] {
                koNetStream in(links.reader);
                std::size_t at = 0;
                for (std::size_t n : traffic.reads) {
                    in.getBytes(received.data() + at, n);
                    at += n;
                }
            });
        EXPECT_TRUE(received == sent);
    }
}

// Records of every shape, sent in bursts of several per flush so that their
// pieces fall at every place relative to frame and buffer ends; each read
// record gives back exactly the bytes that were sent, and bytes written after
// the records stay on the link for the next reader.
TEST_P(koNetLinkBuffer, ChangeRecordsSurviveEveryCutOfTheStream)
{
    const std::size_t stateIds[] = {0, 1, 7, 8, 100};
    const std::size_t payloads[] = {0, 1, 100, koSessionChange::pieceSize, koSessionChange::pieceSize + 1, 200000};
    std::vector<std::vector<char>> records;
    for (std::size_t stateId : stateIds) {
        for (std::size_t payload : payloads)
            records.push_back(recordBytes(stateId, payload, static_cast<unsigned>(records.size())));
    }
    const std::vector<char> trailer = koTest::patternBytes(33, 77);
    LinkPair links = makeLinks(GetParam());
    std::vector<std::vector<char>> received;
    std::vector<char> trailerReceived(trailer.size(), 0);
    writeWhileReading(
        [&] {
            koNetStream out(links.writer);
            for (std::size_t i = 0; i < records.size(); ++i) {
                out.putBytes(records[i].data(), records[i].size());
                if (i % 3 == 2)
                    out.flush();
            }
            out.putBytes(trailer.data(), trailer.size());
            out.flush();
        },
        [&] {
            koNetStream in(links.reader);
            for (std::size_t i = 0; i < records.size(); ++i) {
                koSessionChange change;
                change.getValue(in);
                ByteSink sink;
                change.putValue(sink);
                received.push_back(std::move(sink.bytes));
            }
            koNetStream next(links.reader);
            next.getBytes(trailerReceived.data(), trailerReceived.size());
        });
    ASSERT_EQ(received.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_TRUE(received[i] == records[i]) << "record " << i << " of " << records[i].size() << " bytes";
    EXPECT_TRUE(trailerReceived == trailer);
}

INSTANTIATE_TEST_SUITE_P(Link, koNetLinkBuffer, ::testing::Values(Cipher::None, Cipher::Installed),
                         [](const ::testing::TestParamInfo<Cipher>& info) {
                             return std::string(info.param == Cipher::None ? "Plain" : "Enciphered");
                         });

} // namespace
