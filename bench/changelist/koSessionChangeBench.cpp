// kosession-changebench: pushes with merging, indexed reading by several
// readers, and a change record written and read back through memory.

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"
#include "koSessionCommand.h"
#include "koSessionCommandFactory.h"
#include "koTestMemorySerializer.h"

#include <QDataStream>

#include <benchmark/benchmark.h>

#include <memory>
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
