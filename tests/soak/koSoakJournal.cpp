#include "koSoakJournal.h"

#include <sstream>

namespace {

// Enough to diagnose; a broken run would otherwise flood the report.
constexpr std::size_t MaxViolations = 50;

std::string describe(const koSoakJournal::Step& step)
{
    std::ostringstream text;
    text << "user " << step.executor << " executed step " << step.sequence << " of user " << step.sender
         << (step.link == 0 ? " (main link" : " (second link") << (step.barrier ? ", barrier)" : ")");
    return text.str();
}

} // namespace

koSoakJournal& koSoakJournal::the()
{
    static koSoakJournal journal;
    return journal;
}

void koSoakJournal::setMainThread(std::thread::id thread)
{
    std::lock_guard<std::mutex> lock(mutex);
    mainThread = thread;
}

void koSoakJournal::addStep(const Step& step)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++steps;
    const bool onMainThread = std::this_thread::get_id() == mainThread;
    if (onMainThread != (step.link == 0))
        violate(describe(step) + " on the wrong thread");
    if (step.changedBy != step.sender)
        violate(describe(step) + ", but the record names user " + std::to_string(step.changedBy));
    if (step.executor == step.sender) {
        std::uint32_t& newest = ownBarriers[{step.sender, step.link}];
        if (!step.barrier)
            violate(describe(step) + ": its own step, which does not echo");
        else if (step.sequence <= newest)
            violate(describe(step) + " after its barrier " + std::to_string(newest));
        else
            newest = step.sequence;
        return;
    }
    Run& run = runs[{step.executor, step.sender, step.link}];
    if (run.first != 0 && step.sequence <= run.last) {
        violate(describe(step) + " after step " + std::to_string(run.last));
        return;
    }
    if (run.first == 0) {
        run.first = step.sequence;
        if (step.sequence > 1)
            run.gaps.emplace_back(1, step.sequence - 1);
    } else if (step.sequence > run.last + 1) {
        run.gaps.emplace_back(run.last + 1, step.sequence - 1);
    }
    run.last = step.sequence;
    ++run.count;
}

void koSoakJournal::addPose(unsigned short executor, unsigned short changedBy, unsigned short owner,
                            std::uint32_t sequence)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++poseCount;
    std::ostringstream text;
    text << "user " << executor << " executed pose " << sequence << " of user " << owner;
    if (std::this_thread::get_id() != mainThread)
        violate(text.str() + " off the main thread");
    if (changedBy != owner)
        violate(text.str() + ", but the record names user " + std::to_string(changedBy));
    if (executor == owner || executor == 0) {
        violate(text.str() + ": a pose must not come back to its owner");
        return;
    }
    std::uint32_t& newest = poses[{executor, owner}];
    if (sequence <= newest)
        violate(text.str() + " after pose " + std::to_string(newest));
    else
        newest = sequence;
}

koSoakJournal::Run koSoakJournal::getRun(unsigned short executor, unsigned short sender, int link) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = runs.find({executor, sender, link});
    return found == runs.end() ? Run() : found->second;
}

std::uint32_t koSoakJournal::getOwnBarrier(unsigned short sender, int link) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = ownBarriers.find({sender, link});
    return found == ownBarriers.end() ? 0 : found->second;
}

std::uint32_t koSoakJournal::getPose(unsigned short executor, unsigned short owner) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = poses.find({executor, owner});
    return found == poses.end() ? 0 : found->second;
}

std::vector<std::string> koSoakJournal::getViolations() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return violations;
}

std::uint64_t koSoakJournal::getStepCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return steps;
}

std::uint64_t koSoakJournal::getPoseCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return poseCount;
}

void koSoakJournal::violate(std::string text)
{
    if (violations.size() < MaxViolations)
        violations.push_back(std::move(text));
    else if (violations.size() == MaxViolations)
        violations.push_back("... more violations left out");
}
