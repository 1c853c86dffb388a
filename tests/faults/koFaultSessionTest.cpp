// Participants whose link ends or goes wrong in the middle of a record, as
// when a process is killed (inside a cipher frame, a record's fixed part, its
// state identifier or its payload), and sizes announced far beyond memory (a
// change's payload length, an upload's scene size), which are refused from the
// length alone before anything of that size is allocated, requests the server
// does not know and end notices only it may send. The server drops only that
// link with one log line, and the session goes on.
#include "koServerTestKit.h"
#include "koTestAllocationProbe.h"
#include "koTestExecutionLog.h"
#include "koTestSupport.h"

#include "koSessionChange.h"
#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionEndCommand.h"
#include "koSessionSceneWire.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <limits>
#include <thread>

namespace {

using namespace koServerTest;
using koTest::randomBytes;

const koSessionCommandFactory::Register<koTest::TextCommand> registerNote("FaultNote");

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t Limit = koSessionChange::maxPayloadSize;
constexpr std::uint64_t Huge = std::uint64_t(1) << 40;
constexpr std::uint64_t Most = std::numeric_limits<std::uint64_t>::max();
// Far below any refused size, far above what a record's own fields need.
constexpr std::size_t allocationBound = 4 * MiB;

// Alice (A) and Bob (B) talk while a test attacks the server.
class FaultSessionTest : public Scenario
{
protected:
    void SetUp() override
    {
        Scenario::SetUp();
        joinAll({QStringLiteral("Alice"), QStringLiteral("Bob")});
    }

    // Waits until Alice and Bob both list `count` participants.
    bool rosterHolds(std::size_t count)
    {
        return pump([&] { return at('A').getUsers().size() == count && at('B').getUsers().size() == count; });
    }

    // A note from each of Alice and Bob reaches the other, and nothing else.
    void expectNotesPass()
    {
        koTest::ExecutionLog::the().reset(std::this_thread::get_id());
        const std::string number = std::to_string(++notes);
        const std::string fromAlice = "note " + number + " from Alice", fromBob = "note " + number + " from Bob";
        play({{'A', Step::Text, fromAlice.c_str(), "q", "B"}, {'B', Step::Text, fromBob.c_str(), "q", "A"}});
    }

    int notes = 0;
};

// Reads whatever the server still sends on `link` until it closes the link;
// true when it closed within `limit`. `why` gets the text of the failure that
// ended the reading.
bool drainUntilClosed(const std::shared_ptr<koSocketLink>& link, std::chrono::milliseconds limit, std::string& why)
{
    link->setRecvTimeout(std::chrono::duration<double>(limit).count());
    try {
        char byte = 0;
        for (;;)
            link->read(&byte, 1);
    } catch (const std::exception& e) {
        why = e.what();
        return why.find("timed out") == std::string::npos;
    }
}

// A record's wire form up to its payload length: type 7, user 0, flags, no
// addressee, a state identifier of `stateBytes` bytes.
std::vector<char> recordHead(std::uint32_t stateBytes, std::uint64_t payloadLength)
{
    std::vector<char> record;
    const auto put = [&record](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            record.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    };
    put(7, 4);
    put(0, 2 + 4 + 2); // maker, the four flags, addressee
    put(stateBytes, 4);
    record.insert(record.end(), stateBytes, 's');
    put(payloadLength, 8);
    return record;
}

TEST_F(FaultSessionTest, HugeSizeEndsOnlyTheLinkThatAnnouncedItAndTheSessionGoesOn)
{
    const std::vector<char> stored = randomBytes(100 * 1024, 6);
    at('A').uploadScene(stored, QStringLiteral("stored.kova"));
    std::vector<char> scene;
    QString name;
    ASSERT_TRUE(koTest::waitFor([&] {
        try {
            return at('B').downloadScene(scene, name) && scene == stored;
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
            ASSERT_TRUE(rosterHolds(3));
            {
                koTest::AllocationProbe probe;
                const std::vector<char> head = recordHead(0, row.announced);
                mallory.stream->putBytes(head.data(), head.size());
                const std::vector<char> some = randomBytes(64 * 1024, 5);
                mallory.stream->putBytes(some.data(), some.size());
                mallory.stream->flush();
                EXPECT_TRUE(log.waitFor(named));
                largest = probe.largest();
            }
            // The server closes Mallory's link (after what it had queued for her).
            std::string why;
            EXPECT_TRUE(drainUntilClosed(mallory.link, 10s, why)) << why;
            EXPECT_TRUE(settled());
        }
        EXPECT_LT(largest, allocationBound);
        EXPECT_EQ(log.count(named), 1);
        EXPECT_TRUE(at('B').downloadScene(scene, name));
        EXPECT_EQ(name, QStringLiteral("stored.kova"));
        EXPECT_EQ(scene, stored);
        expectNotesPass();
    }
}

TEST_F(FaultSessionTest, ParticipantCutInsideARecordOrAskingTheUnknownIsDroppedAndTheOthersGoOn)
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
        {
            RawParticipant mallory = rawJoin(connectCiphered(host->port()), QStringLiteral("Mallory"));
            ASSERT_TRUE(rosterHolds(3));
            // A 100000-byte payload, cut short.
            std::vector<char> part = recordHead(40, 100000);
            part.resize(cut.ciphered, 'p');
            mallory.stream->putBytes(part.data(), part.size());
            mallory.stream->flush();
            const std::vector<char> frame = randomBytes(cut.raw, 3);
            mallory.link->send(frame.data(), frame.size());
            // Leaving the scope closes the socket, as the kernel of a killed
            // process does.
        }
        EXPECT_TRUE(settled());
        expectNotesPass();
    }
    // Requests the server does not know end only their own connection.
    for (std::uint32_t request : {5u, 7u, 0xffffffffu}) {
        const auto link = connectCiphered(host->port());
        sendRequest(link, request);
        EXPECT_TRUE(waitClosed(link)) << "request " << request;
    }
    // Only the server ends the session: a participant's end notice ends its own link.
    auto mallory = join(QStringLiteral("Mallory"));
    mallory->pushAsync(koSessionEndCommand(QStringLiteral("forged")));
    EXPECT_TRUE(koTest::waitFor([&] { return !mallory->isConnected(); }));
    expectNotesPass();
    EXPECT_TRUE(at('A').isConnected());
    EXPECT_TRUE(at('B').isConnected());
    EXPECT_EQ(log.count("Stop accepting clients"), 0);
    // One line for each cut link and each end of Mallory's, none for the others.
    EXPECT_EQ(log.count("Session connection of user"), static_cast<int>(std::size(cuts)) + 2);
}

} // namespace
