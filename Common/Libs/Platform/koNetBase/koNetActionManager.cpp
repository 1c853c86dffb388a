#include "koNetActionManager.h"

#include "koLog.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// Every job runs on a thread of its own; a thread that finished puts itself on
// the `finished` list, and the next run() or waitAll() joins it, so finished
// threads do not pile up and no thread ever joins itself.
struct koNetActionManager::State
{
    // Guards threads, finished and active. Taken by run(), waitAll() and by
    // each job thread as it ends; never held while a job runs or while joining.
    std::mutex mutex;
    std::condition_variable idle; // signalled when `active` drops to zero
    std::map<std::thread::id, std::thread> threads;
    std::vector<std::thread::id> finished;
    int active = 0;

    // Takes the threads that finished out of the map; the caller joins them
    // without the lock.
    std::vector<std::thread> takeFinished()
    {
        std::vector<std::thread> done;
        for (const auto& id : finished) {
            auto found = threads.find(id);
            if (found != threads.end()) {
                done.push_back(std::move(found->second));
                threads.erase(found);
            }
        }
        finished.clear();
        return done;
    }
};

namespace {

void joinAll(std::vector<std::thread>& done)
{
    for (auto& thread : done)
        thread.join();
}

void runGuarded(const std::function<void()>& job)
{
    try {
        job();
    } catch (const std::exception& e) {
        koLog::error("Background job failed: %s", e.what());
    } catch (...) {
        koLog::error("Background job failed with an unknown exception");
    }
}

} // namespace

koNetActionManager::koNetActionManager(int /*workers: one thread per job*/)
    : state(new State)
{
}

koNetActionManager::~koNetActionManager()
{
    waitAll();
}

void koNetActionManager::run(std::function<void()> job)
{
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        done = state->takeFinished();
        State* s = state.get();
        // The map entry is made under the lock, before the job can reach its
        // end and report itself finished.
        std::thread thread([s, job = std::move(job)] {
            runGuarded(job);
            std::lock_guard<std::mutex> end(s->mutex);
            s->finished.push_back(std::this_thread::get_id());
            if (--s->active == 0)
                s->idle.notify_all();
        });
        ++state->active;
        state->threads.emplace(thread.get_id(), std::move(thread));
    }
    joinAll(done);
}

void koNetActionManager::waitAll()
{
    std::vector<std::thread> done;
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->idle.wait(lock, [this] { return state->active == 0; });
        done = state->takeFinished();
    }
    joinAll(done);
}
