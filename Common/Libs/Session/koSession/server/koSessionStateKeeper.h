#pragma once

#include <atomic>
#include <memory>
#include <set>

class koSessionChangeList;
class koSessionSceneStore;
class koSessionStateDirectory;
class koSessionStateRecorder;

// The relay's side of its state directory across one run: restore fills the
// empty shared list and the scene store from what an earlier run kept and
// starts recording the list; finish stops recording and keeps the stored
// scene, or, after a participant's stop request, clears the directory for
// good. Without a directory every operation does nothing.
//
// Use from whoever starts and waits for the relay: setDirectory before the
// start, restore at the start, finish after the wait; endForGood from any
// thread.
class koSessionStateKeeper
{
public:
    koSessionStateKeeper();
    ~koSessionStateKeeper();

    koSessionStateKeeper(const koSessionStateKeeper&) = delete;
    koSessionStateKeeper& operator=(const koSessionStateKeeper&) = delete;

    void setDirectory(std::shared_ptr<koSessionStateDirectory> directory);
    // The authors and addressees of the restored changes, 0 left out: a
    // newcomer with one of them would never get the changes made under it.
    // Throws std::runtime_error when the directory cannot be read.
    std::set<unsigned short> restore(const std::shared_ptr<koSessionChangeList>& list, koSessionSceneStore& scenes);
    // A participant stopped the session for everybody: the kept one goes.
    void endForGood();
    void finish(koSessionSceneStore& scenes);

private:
    std::shared_ptr<koSessionStateDirectory> directory;
    // Follows the shared list into the directory from restore to finish.
    std::unique_ptr<koSessionStateRecorder> recorder;
    std::atomic<bool> endedForGood{false};
};
