// Change records back to back, as a link's receiving thread reads them: each
// record is read, written back, rebuilt through the command factory (which
// runs a built-in command's payload reader) and pushed into a change list,
// where it may merge with an older state or cut the list at a scene load.

#include "koFuzzSupport.h"
#include "koTestMemorySerializer.h"

#include "koNetError.h"
#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"
#include "koSessionCommand.h"

#include <cstdint>
#include <memory>

namespace {

const char Target[] = "fuzz_change_record";
// Enough records for merging and scene cuts to meet; a bound on the work of
// one input.
constexpr int MaxRecords = 64;
// Offsets of the four flag bytes in the wire form; any non-zero byte reads as
// true and is written back as 1.
constexpr std::size_t FlagsBegin = 6;
constexpr std::size_t FlagsEnd = 10;

std::vector<char> wireOf(const koSessionChange& change)
{
    koTest::MemorySerializer out;
    out.recordPieces = false;
    change.putValue(out);
    return out.bytes;
}

// What was read, written again, is what came in (flags normalised), and reads
// back to the same record.
void checkRoundTrip(const koSessionChange& change, const std::vector<char>& consumed)
{
    std::vector<char> expected = consumed;
    for (std::size_t i = FlagsBegin; i < FlagsEnd; ++i)
        expected[i] = expected[i] != 0 ? 1 : 0;
    const std::vector<char> written = wireOf(change);
    koFuzz::check(written == expected, Target, "the record written back differs from the bytes read");

    koTest::MemorySerializer again(written);
    koSessionChange reread;
    reread.getValue(again);
    koFuzz::check(again.position == written.size(), Target, "reading the record back left bytes over");
    koFuzz::check(wireOf(reread) == written, Target, "the record read back differs");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    koTest::MemorySerializer in(std::vector<char>(data, data + size));
    in.recordPieces = false;
    const auto list = std::make_shared<koSessionChangeList>();
    const auto reader = list->getReader(true);
    koSessionChange record;
    for (int i = 0; i < MaxRecords; ++i) {
        const std::size_t start = in.position;
        const std::vector<char> before = wireOf(record);
        try {
            record.getValue(in);
        } catch (const koNetError&) {
            koFuzz::check(wireOf(record) == before, Target, "a failed read changed the record");
            break;
        }
        checkRoundTrip(record, std::vector<char>(in.bytes.begin() + start, in.bytes.begin() + in.position));

        const auto change = std::make_shared<koSessionChange>(record);
        // Unknown types give no command; a built-in one reads its payload.
        const std::shared_ptr<koSessionCommand> command = change->getCommand();
        if (command)
            koFuzz::check(command->getChangedBy() == change->getChangedBy(), Target,
                          "the rebuilt command lost its maker");
        list->push(change);
        std::shared_ptr<koSessionChange> next;
        if (i % 2 == 0)
            reader->tryPop(next);
    }
    reader->popAll();
    list->popAll();
    return 0;
}
