// A participant whose connection ends in the middle of a record, as when its
// process is killed: inside a cipher frame, inside a record's fixed part,
// inside its state identifier, inside its payload. The server drops only that
// participant, tells the others, and keeps relaying between them.
#include "koFaultKit.h"

#include "koNetStream.h"
#include "koSocketLink.h"

namespace koFaultTest {
namespace {

using CutLinkTest = FaultSessionTest;

// The first `count` bytes of a record's wire form: type 7, user 0, flags,
// no addressee, a 40-byte state identifier, a 100000-byte payload.
std::vector<char> recordPrefix(std::size_t count)
{
    std::vector<char> record;
    const auto put = [&record](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            record.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    };
    put(7, 4);
    put(0, 2 + 4 + 2); // maker, the four flags, addressee
    put(40, 4);
    record.insert(record.end(), 40, 's');
    put(100000, 8);
    record.resize(std::max<std::size_t>(record.size(), 100000 + 64), 'p');
    record.resize(count);
    return record;
}

TEST_F(CutLinkTest, ParticipantCutInsideARecordIsDroppedAndTheOthersGoOn)
{
    const struct
    {
        const char* where;
        std::size_t ciphered; // record bytes sent through the cipher
        std::size_t raw;      // then bytes of a cipher frame that never completes
    } cuts[] = {
        {"inside a cipher frame", 0, 5},
        {"inside the fixed part", 7, 0},
        {"inside the state identifier", 16 + 20, 0},
        {"inside the payload", 16 + 40 + 8 + 30000, 0},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.where);
        unsigned short malloryId = 0;
        {
            RawParticipant mallory = rawJoin(connectCiphered(host->port()), QStringLiteral("Mallory"));
            malloryId = mallory.user.getId();
            ASSERT_TRUE(rosterSettles(3));
            const std::vector<char> part = recordPrefix(cut.ciphered);
            mallory.stream->putBytes(part.data(), part.size());
            mallory.stream->flush();
            const std::vector<char> frame = randomBytes(cut.raw, 3);
            mallory.link->send(frame.data(), frame.size());
            // Leaving the scope closes the socket, as the kernel of a killed
            // process does.
        }
        EXPECT_TRUE(rosterSettles(2, malloryId));
        expectNotesPass();
    }
    EXPECT_TRUE(alice->isConnected());
    EXPECT_TRUE(bob->isConnected());
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
    // One line for each cut link, none for the others.
    EXPECT_EQ(log.count("Session connection of user"), static_cast<int>(std::size(cuts)));
}

} // namespace
} // namespace koFaultTest
