#include "koSessionStateKeeper.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionSceneStore.h"
#include "koSessionStateDirectory.h"
#include "koSessionStateRecorder.h"

#include "koLog.h"

koSessionStateKeeper::koSessionStateKeeper() = default;

koSessionStateKeeper::~koSessionStateKeeper() = default;

void koSessionStateKeeper::setDirectory(std::shared_ptr<koSessionStateDirectory> directory)
{
    this->directory = std::move(directory);
}

void koSessionStateKeeper::endForGood()
{
    endedForGood = true;
}

// The kept changes go into the list in their order, so merging and scene
// loads treat them as they did when they first came.
std::set<unsigned short> koSessionStateKeeper::restore(const std::shared_ptr<koSessionChangeList>& list,
                                                       koSessionSceneStore& scenes)
{
    endedForGood = false;
    if (!directory)
        return {};
    const bool hasScene = scenes.restore();
    recorder = std::make_unique<koSessionStateRecorder>(directory->logFileName(), list);
    const std::vector<std::shared_ptr<koSessionChange>> kept = recorder->restore();
    std::set<unsigned short> userIds;
    for (const auto& change : kept) {
        list->push(change);
        userIds.insert({change->getChangedBy(), change->getDestinationUserId()});
    }
    userIds.erase(0);
    recorder->start();
    koLog::info("Restored %zu changes%s from %s", kept.size(), hasScene ? " and the scene" : "",
                directory->getPath().toLocal8Bit().constData());
    return userIds;
}

void koSessionStateKeeper::finish(koSessionSceneStore& scenes)
{
    if (!recorder)
        return;
    recorder->stop();
    recorder.reset();
    if (!endedForGood) {
        scenes.keepLast();
        return;
    }
    directory->clear();
    koLog::info("Stopped for everybody: cleared the kept session in %s", directory->getPath().toLocal8Bit().constData());
}
