// Sizes announced on the wire far beyond memory: a change record's payload
// length and an upload's scene size. Both are refused from the length alone,
// before anything of that size is allocated; the link that announced it ends
// with one log line naming the limit, and the session goes on.
#include "koFaultKit.h"
#include "koTestAllocationProbe.h"

#include "koSessionChange.h"
#include "koSessionClient.h"
#include "koSessionSceneWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <limits>

namespace koFaultTest {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t Limit = koSessionChange::maxPayloadSize;
constexpr std::uint64_t Huge = std::uint64_t(1) << 40;
constexpr std::uint64_t Most = std::numeric_limits<std::uint64_t>::max();
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

using AnnouncedSizeTest = FaultSessionTest;

TEST_F(AnnouncedSizeTest, HugeSizeEndsOnlyTheLinkThatAnnouncedItAndTheSessionGoesOn)
{
    const std::vector<char> stored = randomBytes(100 * 1024, 6);
    alice->uploadScene(stored, QStringLiteral("stored.kova"));
    std::vector<char> scene;
    QString name;
    ASSERT_TRUE(koTest::waitFor([&] {
        try {
            return bob->downloadScene(scene, name) && scene == stored;
        } catch (const koNetError&) {
            return false;
        }
    }));
    const std::uint64_t defaultMaximum = host->server.getMaxSceneSize();
    const struct
    {
        bool isScene;         // an upload's scene size, else a change's payload length
        std::uint64_t maximum; // of the scene size; 0: the server's default
        std::uint64_t announced;
    } rows[] = {
        {false, 0, Huge}, {false, 0, Most}, {false, 0, Limit + 1},
        {true, 0, Huge}, {true, 0, Most}, {true, 8 * MiB, 8 * MiB + 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.announced);
        host->server.setMaxSceneSize(row.maximum ? row.maximum : defaultMaximum);
        const std::string named = row.isScene ? "Scene size of " + std::to_string(row.announced) + " bytes"
                                              : "payload length of " + std::to_string(row.announced)
                + " bytes exceeds the limit of " + std::to_string(Limit) + " bytes";
        std::size_t largest = 0;
        if (row.isScene) {
            koTest::AllocationProbe probe;
            const auto link = connectCiphered(host->port());
            koNetStream stream(link);
            stream.putValue<std::uint32_t>(2);
            koSessionSceneWire::putName(stream, "huge.kova");
            stream.putValueSize(row.announced);
            stream.flush();
            EXPECT_TRUE(waitClosed(link));
            EXPECT_TRUE(log.waitFor(named));
            largest = probe.largest();
        } else {
            RawParticipant mallory = rawJoin(connectCiphered(host->port()), QStringLiteral("Mallory"));
            ASSERT_TRUE(rosterSettles(3));
            {
                koTest::AllocationProbe probe;
                putFixedPart(*mallory.stream);
                mallory.stream->putValueSize(row.announced);
                const std::vector<char> some = randomBytes(64 * 1024, 5);
                mallory.stream->putBytes(some.data(), some.size());
                mallory.stream->flush();
                EXPECT_TRUE(log.waitFor(named));
                largest = probe.largest();
            }
            // The server closes Mallory's link (after what it had queued for her).
            std::string why;
            EXPECT_TRUE(drainUntilClosed(mallory.link, 10s, why)) << why;
            EXPECT_TRUE(rosterSettles(2, mallory.user.getId()));
        }
        EXPECT_LT(largest, allocationBound);
        EXPECT_EQ(log.count(named), 1);
        EXPECT_TRUE(bob->downloadScene(scene, name));
        EXPECT_EQ(name, QStringLiteral("stored.kova"));
        EXPECT_EQ(scene, stored);
        expectNotesPass();
    }
}

} // namespace
} // namespace koFaultTest
