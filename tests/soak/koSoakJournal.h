#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

// What the soak participants executed, checked as it arrives. Any thread may
// add (second-link steps are executed on the receiving threads).
//
// Per executor, sender and link the steps must come in rising order, each at
// most once; gaps are kept, since a late joiner may legitimately have missed
// steps made before it joined: whether a gap matters is decided at the end
// against the window of steps addressed to the executor. A participant must
// execute of its own steps only its barriers (echoing), each once, in order.
// Poses from one owner must reach an executor in rising order and never come
// back to their owner. What breaks these rules is kept as a violation text.
class koSoakJournal
{
public:
    struct Step
    {
        unsigned short executor = 0;  // the executing participant
        unsigned short changedBy = 0; // the maker named by the change record
        unsigned short sender = 0;    // the maker named by the payload
        std::uint32_t sequence = 0;
        int link = 0;                 // koSoakStepCommand::Link
        bool barrier = false;
    };

    // The steps one executor received from one sender on one link.
    struct Run
    {
        std::uint32_t first = 0; // 0: none yet
        std::uint32_t last = 0;
        std::uint64_t count = 0;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> gaps; // missing ranges, inclusive
    };

    static koSoakJournal& the();

    // The thread on which main-link changes must be executed.
    void setMainThread(std::thread::id thread);

    void addStep(const Step& step);
    void addPose(unsigned short executor, unsigned short changedBy, unsigned short owner, std::uint32_t sequence);

    Run getRun(unsigned short executor, unsigned short sender, int link) const;
    // The newest own barrier the sender executed on the link; 0 if none.
    std::uint32_t getOwnBarrier(unsigned short sender, int link) const;
    // The newest pose of `owner` that `executor` executed; 0 if none.
    std::uint32_t getPose(unsigned short executor, unsigned short owner) const;

    std::vector<std::string> getViolations() const;
    std::uint64_t getStepCount() const;
    std::uint64_t getPoseCount() const;

private:
    void violate(std::string text);

    // Guards everything below; taken by every operation, from the main thread
    // and the participants' receiving threads. Never held while calling out.
    mutable std::mutex mutex;
    std::thread::id mainThread;
    std::map<std::tuple<unsigned short, unsigned short, int>, Run> runs;
    std::map<std::pair<unsigned short, int>, std::uint32_t> ownBarriers;
    std::map<std::pair<unsigned short, unsigned short>, std::uint32_t> poses;
    std::vector<std::string> violations;
    std::uint64_t steps = 0;
    std::uint64_t poseCount = 0;
};
