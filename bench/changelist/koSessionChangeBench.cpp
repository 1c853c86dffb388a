// kosession-changebench: pushes with merging, indexed reading by several
// readers, a change record written (as the relay writes it per receiver),
// and written and read back through memory.

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"
#include "koSessionCommand.h"
#include "koSessionCommandFactory.h"
#include "koTestMemorySerializer.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <QDataStream>

#include <benchmark/benchmark.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

// A state-mergable command keyed by an integer, with raw payload bytes.
class BenchCommand : public koSessionCommand
{
public:
    BenchCommand() = default;
    BenchCommand(qint32 key, std::size_t payloadSize)
        : key(key)
        , payload(payloadSize, 'b')
    {
    }
    void putStateId(QDataStream& stream) const override { stream << key; }
    void putData(QDataStream& stream) const override
    {
        stream.writeRawData(payload.data(), static_cast<int>(payload.size()));
    }

    qint32 key = 0;
    std::vector<char> payload;
};

const koSessionCommandFactory::Register<BenchCommand> registerBench("BenchCommand");

using ChangePtr = std::shared_ptr<koSessionChange>;

std::vector<ChangePtr> makeChanges(int stateCount, int count)
{
    std::vector<ChangePtr> changes;
    for (int i = 0; i < count; ++i)
        changes.push_back(std::make_shared<koSessionChange>(BenchCommand(i % stateCount, 16), 1));
    return changes;
}

// Every push replaces the held change of its state: the list stays at
// `stateCount` changes, as a list of poses and rosters does.
void BM_PushWithMerging(benchmark::State& state)
{
    const int stateCount = static_cast<int>(state.range(0));
    const std::vector<ChangePtr> changes = makeChanges(stateCount, 4096);
    koSessionChangeList list;
    std::size_t next = 0;
    for (auto _ : state) {
        list.push(changes[next]);
        next = (next + 1) % changes.size();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["held"] = static_cast<double>(list.size());
}
BENCHMARK(BM_PushWithMerging)->Arg(1)->Arg(64)->Arg(1024);

// One push, then every reader reads it: one server cycle of `readers` peers.
// Items are reads.
void BM_IndexedReading(benchmark::State& state)
{
    const int readerCount = static_cast<int>(state.range(0));
    const std::vector<ChangePtr> changes = makeChanges(64, 4096);
    koSessionChangeList list;
    std::vector<std::shared_ptr<koSessionChangeReader>> readers;
    for (int i = 0; i < readerCount; ++i)
        readers.push_back(list.getReader(true));
    std::size_t next = 0;
    ChangePtr change;
    for (auto _ : state) {
        list.push(changes[next]);
        next = (next + 1) % changes.size();
        for (const auto& reader : readers) {
            if (!reader->tryPop(change))
                state.SkipWithError("reader found nothing");
        }
    }
    state.SetItemsProcessed(state.iterations() * readerCount);
}
BENCHMARK(BM_IndexedReading)->Arg(1)->Arg(8)->Arg(64);

// What the relay pays per receiver for a record: putValue into a link's
// stream (Arg 1), flushed every 256 records to a thread that drains the
// other end, or into a serializer of the host's (Arg 0, memory).
void BM_RecordWrite(benchmark::State& state)
{
    const koSessionChange change(BenchCommand(7, 100), 3);
    const auto pair = koSocketLink::createPair();
    std::thread drain([&pair] {
        char sink[64 * 1024];
        try {
            for (;;)
                pair.second->recv(sink, sizeof sink);
        } catch (const koNetError&) {
        }
    });
    koNetStream link(pair.first);
    koTest::MemorySerializer memory;
    memory.recordPieces = false;
    const bool toLink = state.range(0) == 1;
    std::size_t written = 0;
    for (auto _ : state) {
        if (toLink)
            change.putValue(link);
        else
            change.putValue(memory);
        if (++written % 256 == 0) {
            memory.reset();
            link.flush();
        }
    }
    pair.first->shutdown();
    pair.second->shutdown();
    drain.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordWrite)->Arg(0)->Arg(1);

// putValue into memory, then getValue back into a fresh record.
void BM_RecordWriteRead(benchmark::State& state)
{
    const std::size_t payloadSize = static_cast<std::size_t>(state.range(0));
    const koSessionChange change(BenchCommand(7, payloadSize), 3);
    koTest::MemorySerializer serializer;
    serializer.recordPieces = false;
    for (auto _ : state) {
        serializer.reset();
        change.putValue(serializer);
        koSessionChange read;
        read.getValue(serializer);
        benchmark::DoNotOptimize(read);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payloadSize));
}
BENCHMARK(BM_RecordWriteRead)->Arg(100)->Arg(1 << 20);

} // namespace

BENCHMARK_MAIN();
