#pragma once

#include "koLatencyStats.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class koSessionUserPoseCommand;

// Counts the poses that reach each receiver. A pose carries its sender's
// index, its sequence number and the moment it was pushed in the camera
// matrix (each value below 2^24, so the floats hold it exactly). Poses are
// executed on each receiver's second-link thread, so a receiver is known by
// the thread that executes its poses.
//
// A gap in one sender's sequence at a receiver is a pose superseded by a newer
// one of the same sender (the change lists keep one pose per participant); a
// pose after which nothing of its sender arrived is lost.
class koPoseProbe
{
public:
    struct Totals
    {
        std::uint64_t received = 0;
        std::uint64_t superseded = 0;
        std::uint64_t lost = 0;
        std::uint64_t reordered = 0;
        int receivers = 0; // threads that executed poses
        koLatencyStats latency;
    };

    explicit koPoseProbe(int participants);

    // Writes sender, sequence and time into the camera values.
    static void encode(float* camera, int sender, std::uint32_t sequence, std::int64_t microseconds);
    // On a receiving thread.
    void onPose(const koSessionUserPoseCommand& pose, std::int64_t nowMicroseconds);
    // After every receiving thread has been joined. `lastSequence[s]` is the
    // last sequence sender s pushed (-1: none).
    Totals collect(const std::vector<std::int64_t>& lastSequence) const;

private:
    struct Receiver
    {
        std::vector<std::int64_t> lastSeen; // per sender, -1: nothing yet
        std::uint64_t received = 0;
        std::uint64_t superseded = 0;
        std::uint64_t reordered = 0;
        std::vector<double> latencies;
    };
    Receiver& receiverOfThisThread();

    int participants;
    // Guards `receivers` while a thread adds its own; each Receiver is then
    // written by its thread alone.
    std::mutex mutex;
    std::deque<Receiver> receivers;
};
