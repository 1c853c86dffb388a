#include "koPlainRelay.h"

#include "koBenchTransfer.h"
#include "koSocketLink.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t RecordBytes = 124; // a 100-byte command's change record
constexpr std::chrono::milliseconds Cycle(40);

struct Relay
{
    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> sent{0};
    std::vector<std::unique_ptr<std::atomic<std::uint64_t>>> delivered;
    // Guards blocks and firstBlock; taken by the relay's reading thread to
    // append and trim, and by each forwarding thread to take new blocks.
    std::mutex mutex;
    std::deque<std::shared_ptr<const std::string>> blocks;
    std::uint64_t firstBlock = 0;
    std::vector<std::unique_ptr<std::atomic<std::uint64_t>>> cursors; // next block per receiver
    // Guards failure; taken by a thread that fails.
    std::mutex failureMutex;
    std::string failure;

    void fail(const std::string& what)
    {
        if (stopping)
            return;
        std::lock_guard<std::mutex> lock(failureMutex);
        if (failure.empty())
            failure = what;
    }

    std::uint64_t minDelivered() const
    {
        std::uint64_t minimum = UINT64_MAX;
        for (const auto& count : delivered)
            minimum = std::min(minimum, count->load());
        return minimum;
    }
};

void sleepRest(Clock::time_point start)
{
    const auto elapsed = Clock::now() - start;
    if (elapsed < Cycle)
        std::this_thread::sleep_for(Cycle - elapsed);
}

template <class Body>
std::thread runThread(Relay& relay, Body body)
{
    return std::thread([&relay, body] {
        try {
            body();
        } catch (const std::exception& e) {
            relay.fail(e.what());
        } catch (...) {
            relay.fail("unknown failure");
        }
    });
}

void sendBatches(Relay& relay, koSocketLink& link, std::size_t window)
{
    std::string batch;
    while (!relay.stopping) {
        const auto start = Clock::now();
        const std::uint64_t sent = relay.sent;
        const std::uint64_t inFlight = sent - relay.minDelivered();
        const std::size_t count = inFlight >= window ? 0 : window - static_cast<std::size_t>(inFlight);
        if (count > 0) {
            batch.assign(4 + count * RecordBytes, '\x5a');
            const auto bytes = static_cast<std::uint32_t>(count * RecordBytes);
            std::memcpy(&batch[0], &bytes, 4);
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint64_t sequence = sent + i;
                std::memcpy(&batch[4 + i * RecordBytes], &sequence, 8);
            }
            link.write(batch.data(), batch.size());
            relay.sent = sent + count;
        }
        sleepRest(start);
    }
}

void storeBatches(Relay& relay, koSocketLink& link)
{
    while (!relay.stopping) {
        std::uint32_t bytes = 0;
        link.read(&bytes, 4);
        auto block = std::make_shared<std::string>(bytes, '\0');
        link.read(&(*block)[0], bytes);
        std::lock_guard<std::mutex> lock(relay.mutex);
        relay.blocks.push_back(std::move(block));
        std::uint64_t slowest = UINT64_MAX;
        for (const auto& cursor : relay.cursors)
            slowest = std::min(slowest, cursor->load());
        while (relay.firstBlock < slowest && !relay.blocks.empty()) {
            relay.blocks.pop_front();
            ++relay.firstBlock;
        }
    }
}

void forwardBlocks(Relay& relay, koSocketLink& link, std::atomic<std::uint64_t>& cursor)
{
    std::vector<std::shared_ptr<const std::string>> pending;
    while (!relay.stopping) {
        const auto start = Clock::now();
        {
            std::lock_guard<std::mutex> lock(relay.mutex);
            const std::uint64_t end = relay.firstBlock + relay.blocks.size();
            for (std::uint64_t block = cursor; block < end; ++block)
                pending.push_back(relay.blocks[static_cast<std::size_t>(block - relay.firstBlock)]);
        }
        for (const auto& block : pending)
            link.write(block->data(), block->size());
        cursor += pending.size();
        pending.clear();
        sleepRest(start);
    }
}

void receiveRecords(Relay& relay, koSocketLink& link, std::atomic<std::uint64_t>& delivered)
{
    char record[RecordBytes];
    for (std::uint64_t expected = 0; !relay.stopping; ++expected) {
        link.read(record, RecordBytes);
        std::uint64_t sequence = 0;
        std::memcpy(&sequence, record, 8);
        if (sequence != expected)
            throw std::runtime_error("plain relay: record " + std::to_string(sequence) + " arrived where "
                                     + std::to_string(expected) + " was due");
        delivered.store(expected + 1, std::memory_order_relaxed);
    }
}

} // namespace

double koPlainRelay::run(int receivers, double seconds, std::size_t window)
{
    Relay relay;
    koBench::Connection input = koBench::connect(false);
    std::vector<koBench::Connection> outputs;
    for (int i = 0; i < receivers; ++i) {
        outputs.push_back(koBench::connect(false));
        relay.delivered.push_back(std::make_unique<std::atomic<std::uint64_t>>(0));
        relay.cursors.push_back(std::make_unique<std::atomic<std::uint64_t>>(0));
    }
    for (koBench::Connection& connection : outputs)
        connection.client->setRecvTimeout(0);
    input.server->setRecvTimeout(0);

    std::vector<std::thread> threads;
    const auto start = Clock::now();
    threads.push_back(runThread(relay, [&] { sendBatches(relay, *input.client, window); }));
    threads.push_back(runThread(relay, [&] { storeBatches(relay, *input.server); }));
    for (int i = 0; i < receivers; ++i) {
        threads.push_back(runThread(relay, [&, i] { forwardBlocks(relay, *outputs[i].server, *relay.cursors[i]); }));
        threads.push_back(runThread(relay, [&, i] { receiveRecords(relay, *outputs[i].client, *relay.delivered[i]); }));
    }
    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds)));
    std::uint64_t total = 0;
    for (const auto& count : relay.delivered)
        total += count->load();
    const std::chrono::duration<double> elapsed = Clock::now() - start;

    // From here on, failures are the shutdown's own and are not reported.
    relay.stopping = true;
    input.client->shutdown();
    input.server->shutdown();
    for (koBench::Connection& connection : outputs) {
        connection.client->shutdown();
        connection.server->shutdown();
    }
    for (std::thread& thread : threads)
        thread.join();
    if (!relay.failure.empty())
        throw std::runtime_error(relay.failure);
    return static_cast<double>(total) / elapsed.count();
}
