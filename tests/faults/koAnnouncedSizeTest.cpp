// Sizes announced on the wire far beyond memory: a change record's payload
// length and an upload's scene size. Both are refused from the length alone,
// before anything of that size is allocated; the link that announced it ends
// with one log line naming the limit, and the session goes on.
#include "koFaultKit.h"
#include "koServerTestKit.h"
#include "koTestAllocationProbe.h"
#include "koTestSupport.h"

#include "koSessionChange.h"
#include "koSessionClient.h"
#include "koSessionSceneWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <cstring>
#include <limits>

namespace koFaultTest {
namespace {

using namespace koServerTest;

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t Limit = koSessionChange::maxPayloadSize;
// Far below any refused size, far above what a record's own fields need.
constexpr std::size_t allocationBound = 4 * MiB;

// The 16 bytes before the payload length: type 7, user 0, flags, no addressee,
// no state identifier.
void putFixedPart(koNetSerializer& serializer)
{
    serializer.putValue<std::uint32_t>(7);
    serializer.putValue<std::uint16_t>(0);
    for (int flag = 0; flag < 4; ++flag)
        serializer.putValue(false);
    serializer.putValue<std::uint16_t>(0);
    serializer.putValue<std::int32_t>(0);
}

// Serves `head`, then zero bytes up to `total`, then fails like a closed link.
// Lets a record with a payload of exactly the limit be read without keeping a
// second copy of it.
class WireSource : public koNetSerializer
{
public:
    WireSource(std::vector<char> head, std::uint64_t total)
        : head(std::move(head))
        , total(total)
    {
    }

    void putBytes(const void* data, std::size_t size) override
    {
        head.insert(head.end(), static_cast<const char*>(data), static_cast<const char*>(data) + size);
        total += size;
    }

    void getBytes(void* data, std::size_t size) override
    {
        if (size > total - position)
            throw koNetError("wire source ended");
        char* out = static_cast<char*>(data);
        const std::size_t fromHead = position < head.size() ? std::min<std::size_t>(size, head.size() - position) : 0;
        if (fromHead > 0)
            std::memcpy(out, head.data() + position, fromHead);
        std::memset(out + fromHead, 0, size - fromHead);
        position += size;
    }

    std::vector<char> head;
    std::uint64_t total = 0;
    std::uint64_t position = 0;
};

// Counts what a writer produces.
class ByteCounter : public koNetSerializer
{
public:
    void putBytes(const void*, std::size_t size) override { count += size; }
    void getBytes(void*, std::size_t) override { throw koNetError("write only"); }
    std::uint64_t count = 0;
};

WireSource recordAnnouncing(std::uint64_t payloadLength, std::uint64_t bytesThatFollow)
{
    WireSource source({}, 0);
    putFixedPart(source);
    source.putValueSize(payloadLength);
    source.total += bytesThatFollow;
    return source;
}

TEST(AnnouncedPayload, LengthAboveTheLimitIsRefusedBeforeAnythingIsAllocated)
{
    const std::uint64_t lengths[] = {Limit + 1, std::uint64_t(1) << 40, std::numeric_limits<std::uint64_t>::max()};
    for (std::uint64_t length : lengths) {
        SCOPED_TRACE(length);
        // Every announced byte is there: only the limit can refuse it.
        WireSource source = recordAnnouncing(length, std::numeric_limits<std::uint64_t>::max() / 2);
        koSessionChange record;
        std::string message;
        std::size_t largest = 0;
        {
            koTest::AllocationProbe probe;
            try {
                record.getValue(source);
            } catch (const koNetError& e) {
                message = e.what();
            }
            largest = probe.largest();
        }
        EXPECT_NE(message.find("payload length of " + std::to_string(length)), std::string::npos) << message;
        EXPECT_NE(message.find("limit of " + std::to_string(Limit) + " bytes"), std::string::npos) << message;
        EXPECT_LT(largest, 2 * koSessionChange::pieceSize);
        // Refused on the length: not one payload byte was read.
        EXPECT_EQ(source.position, 16u + 8u);
    }
}

TEST(AnnouncedPayload, PayloadOfExactlyTheLimitIsRead)
{
    WireSource source = recordAnnouncing(Limit, Limit);
    koSessionChange record;
    ASSERT_NO_THROW(record.getValue(source));
    EXPECT_EQ(source.position, 16u + 8u + Limit);
    ByteCounter written;
    record.putValue(written);
    EXPECT_EQ(written.count, 16u + 8u + Limit);
}

// A session with two working participants, Alice and Bob, that a raw
// connection tries to make allocate a huge announced size.
class AnnouncedSizeSessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        koTest::ExecutionLog::the().reset(std::this_thread::get_id());
        prepareProcess(false);
        alice = join(host.link(), QStringLiteral("Alice"));
        bob = join(host.link(), QStringLiteral("Bob"));
        ASSERT_TRUE(pumpUntil({alice.get(), bob.get()}, [&] { return rosterIds(*alice).size() == 2; }));
    }

    // A note from Alice reaches Bob.
    void expectNotePasses()
    {
        const qint32 number = ++notes;
        alice->push(makeNote(number, 100));
        EXPECT_TRUE(pumpUntil({alice.get(), bob.get()}, [&] { return hasNote(*bob, number); }))
            << "note " << number;
    }

    LogCapture log;
    TestServer host;
    std::shared_ptr<koSessionClient> alice;
    std::shared_ptr<koSessionClient> bob;
    qint32 notes = 0;
};

TEST_F(AnnouncedSizeSessionTest, HugeChangePayloadEndsOnlyThatParticipantsLink)
{
    const std::uint64_t lengths[] = {std::uint64_t(1) << 40, Limit + 1};
    for (std::uint64_t length : lengths) {
        SCOPED_TRACE(length);
        RawParticipant mallory = rawJoin(connectCiphered(host.port()), QStringLiteral("Mallory"));
        const unsigned short malloryId = mallory.user.getId();
        ASSERT_TRUE(pumpUntil({alice.get(), bob.get()}, [&] { return rosterIds(*alice).size() == 3; }));
        const std::string named = "payload length of " + std::to_string(length) + " bytes exceeds the limit of "
            + std::to_string(Limit) + " bytes";
        std::size_t largest = 0;
        {
            koTest::AllocationProbe probe;
            putFixedPart(*mallory.stream);
            mallory.stream->putValueSize(length);
            const std::vector<char> some = randomBytes(64 * 1024, 5);
            mallory.stream->putBytes(some.data(), some.size());
            mallory.stream->flush();
            EXPECT_TRUE(log.waitFor(named));
            largest = probe.largest();
        }
        EXPECT_LT(largest, allocationBound);
        // The server closes Mallory's link (after what it had queued for her).
        std::string why;
        EXPECT_TRUE(drainUntilClosed(mallory.link, 10s, why)) << why;
        EXPECT_TRUE(pumpUntil({alice.get(), bob.get()}, [&] {
            const auto ids = rosterIds(*alice);
            return ids.size() == 2 && std::find(ids.begin(), ids.end(), malloryId) == ids.end();
        }));
        EXPECT_EQ(log.count(named), 1);
        expectNotePasses();
    }
}

TEST_F(AnnouncedSizeSessionTest, HugeSceneSizeIsRefusedAndTheStoredSceneStays)
{
    const std::vector<char> stored = randomBytes(100 * 1024, 6);
    alice->uploadScene(stored, QStringLiteral("stored.kova"));
    std::vector<char> check;
    QString name;
    ASSERT_TRUE(koTest::waitFor([&] {
        try {
            return bob->downloadScene(check, name) && check == stored;
        } catch (const koNetError&) {
            return false;
        }
    }));
    const struct
    {
        std::uint64_t maximum; // 0: the server's default
        std::uint64_t announced;
    } rows[] = {
        {0, std::uint64_t(1) << 40},
        {0, std::numeric_limits<std::uint64_t>::max()},
        {8 * MiB, 8 * MiB + 1},
    };
    const std::uint64_t defaultMaximum = host.server.getMaxSceneSize();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.announced);
        host.server.setMaxSceneSize(row.maximum ? row.maximum : defaultMaximum);
        const std::string named = "Scene size of " + std::to_string(row.announced) + " bytes";
        std::size_t largest = 0;
        {
            koTest::AllocationProbe probe;
            const auto link = connectCiphered(host.port());
            koNetStream stream(link);
            stream.putValue<std::uint32_t>(2);
            koSessionSceneWire::putName(stream, "huge.kova");
            stream.putValueSize(row.announced);
            stream.flush();
            EXPECT_TRUE(waitClosed(link));
            EXPECT_TRUE(log.waitFor(named));
            largest = probe.largest();
        }
        EXPECT_LT(largest, allocationBound);
        EXPECT_EQ(log.count(named), 1);
        EXPECT_TRUE(bob->downloadScene(check, name));
        EXPECT_EQ(name, QStringLiteral("stored.kova"));
        EXPECT_EQ(check, stored);
        expectNotePasses();
    }
}

} // namespace
} // namespace koFaultTest
