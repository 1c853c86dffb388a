#include "koPoseProbe.h"

#include "koSessionUserPoseCommand.h"

#include <algorithm>

namespace {

constexpr std::int64_t LowBits = 1 << 20;

struct ThreadSlot
{
    const void* probe = nullptr;
    void* receiver = nullptr;
};
thread_local ThreadSlot threadSlot;

} // namespace

koPoseProbe::koPoseProbe(int count)
    : participants(count)
{
}

void koPoseProbe::encode(float* camera, int sender, std::uint32_t sequence, std::int64_t microseconds)
{
    camera[0] = static_cast<float>(sender);
    camera[1] = static_cast<float>(sequence);
    camera[2] = static_cast<float>(microseconds / LowBits);
    camera[3] = static_cast<float>(microseconds % LowBits);
}

koPoseProbe::Receiver& koPoseProbe::receiverOfThisThread()
{
    if (threadSlot.probe != this) {
        std::lock_guard<std::mutex> lock(mutex);
        receivers.emplace_back();
        receivers.back().lastSeen.assign(static_cast<std::size_t>(participants), -1);
        threadSlot.probe = this;
        threadSlot.receiver = &receivers.back();
    }
    return *static_cast<Receiver*>(threadSlot.receiver);
}

void koPoseProbe::onPose(const koSessionUserPoseCommand& pose, std::int64_t nowMicroseconds)
{
    const float* camera = pose.getCamera().getValues();
    const int sender = static_cast<int>(camera[0]);
    if (sender < 0 || sender >= participants)
        return;
    const auto sequence = static_cast<std::int64_t>(camera[1]);
    const std::int64_t sent = static_cast<std::int64_t>(camera[2]) * LowBits + static_cast<std::int64_t>(camera[3]);
    Receiver& receiver = receiverOfThisThread();
    std::int64_t& last = receiver.lastSeen[static_cast<std::size_t>(sender)];
    ++receiver.received;
    if (sequence <= last) {
        ++receiver.reordered;
        return;
    }
    receiver.superseded += static_cast<std::uint64_t>(sequence - last - 1);
    last = sequence;
    receiver.latencies.push_back(static_cast<double>(nowMicroseconds - sent) / 1000.0);
}

koPoseProbe::Totals koPoseProbe::collect(const std::vector<std::int64_t>& lastSequence) const
{
    Totals totals;
    totals.receivers = static_cast<int>(receivers.size());
    for (const Receiver& receiver : receivers) {
        totals.received += receiver.received;
        totals.superseded += receiver.superseded;
        totals.reordered += receiver.reordered;
        for (double ms : receiver.latencies)
            totals.latency.add(ms);
        // Whatever of a sender's poses never showed up at the end is lost;
        // the one sender of which nothing came at all is the receiver itself.
        std::vector<std::uint64_t> missing;
        for (std::size_t s = 0; s < lastSequence.size(); ++s)
            missing.push_back(static_cast<std::uint64_t>(lastSequence[s] - receiver.lastSeen[s]));
        std::uint64_t own = 0;
        for (std::size_t s = 0; s < lastSequence.size(); ++s) {
            if (receiver.lastSeen[s] < 0)
                own = std::max(own, missing[s]);
        }
        for (std::uint64_t count : missing)
            totals.lost += count;
        totals.lost -= own;
    }
    // A receiver that got nothing at all lost everything of every other sender.
    for (int absent = totals.receivers; absent < participants; ++absent) {
        for (std::size_t s = 0; s < lastSequence.size(); ++s)
            totals.lost += static_cast<std::uint64_t>(lastSequence[s] + 1);
    }
    return totals;
}
