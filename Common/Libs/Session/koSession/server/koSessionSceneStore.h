#pragma once

#include "koSessionMutex.h"
#include "koSessionSceneWire.h"
#include "koSessionTransferGate.h"

#include "koLog.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class koNetActionManager;
class koNetLink;
class koSessionSceneBuffer;
class koSessionStateDirectory;

// The relay's stored scene and the transfers that fill and read it. An upload
// replaces the stored scene only once it has arrived whole; a download sends
// the scene stored when it starts, after any upload that came before it. Each
// transfer runs as a job of the relay's pool; the store bounds them
// (koSessionTransferGate) and, when the session is kept in a state directory,
// writes each completed upload there.
//
// Threads: upload and download from handshake jobs, the rest from whoever
// starts and waits for the relay. Its lock is a leaf (koSessionLockOrder.h):
// taken only to swap or share the scene, never across a transfer.
class koSessionSceneStore
{
public:
    // How a transfer refused at the door is logged and counted.
    using Refusal = std::function<void(koLog::Level, const std::string& address, const std::string& line)>;

    // `jobs` runs the transfers and must outlive the store's last job.
    koSessionSceneStore(koNetActionManager& jobs, Refusal refuse);
    ~koSessionSceneStore();

    koSessionSceneStore(const koSessionSceneStore&) = delete;
    koSessionSceneStore& operator=(const koSessionSceneStore&) = delete;

    // Bounds the size an upload may announce; a larger one is refused (and
    // logged) before anything is allocated. Any thread.
    void setMaxSceneSize(std::uint64_t bytes);
    std::uint64_t getMaxSceneSize() const;
    // Where completed uploads are kept; null: nowhere. Before the relay starts.
    void setStateDirectory(std::shared_ptr<koSessionStateDirectory> directory);

    // Admit the transfer (or refuse it at once), replace the handshake time
    // limit with the transfer's stall limit and submit its job, which owns
    // the link; they return at once.
    void upload(std::shared_ptr<koNetLink> link);
    void download(std::shared_ptr<koNetLink> link);
    // Shuts every running transfer down, and every later one as it starts.
    void cutTransfers();

    // Takes the scene kept in the state directory; false when there is none.
    bool restore();
    // Writes the stored scene to the state directory unless it is there
    // already: an upload whose write failed (a full disk) gets another chance.
    void keepLast();
    // Bytes uploaded and downloaded since the last reset.
    std::uint64_t getBytesMoved() const;
    void resetBytesMoved();

private:
    koSessionTransferGate::Ticket enter(koNetLink& link, bool upload);
    void receive(std::shared_ptr<koNetLink> link, koSessionTransferGate::Ticket ticket);
    void send(std::shared_ptr<koNetLink> link, koSessionTransferGate::Ticket ticket);
    // Writes the scene of upload `generation` to the state directory, outside
    // the lock: a large scene takes a while to reach the disk.
    void keep(std::uint64_t generation, const std::string& name, const koSessionSceneBuffer& data);
    void addTransfer(const std::shared_ptr<koNetLink>& link);

    koNetActionManager& jobs;
    const Refusal refuse;
    // Guards sceneData, sceneName, sceneGeneration, transfers and transfersCut.
    koSessionMutex mutex{koSessionLockRank::SceneStore, "koSessionSceneStore::mutex"};
    // The stored scene; null until the first complete upload.
    std::shared_ptr<koSessionSceneBuffer> sceneData;
    // The stored scene's name, UTF-8.
    std::string sceneName;
    // Counts completed uploads, so the directory keeps the newest.
    std::uint64_t sceneGeneration = 0;
    // The connections of running transfers, so that a relay going away cuts
    // them short instead of waiting for a peer that stopped moving bytes.
    std::vector<std::weak_ptr<koNetLink>> transfers;
    // Set by cutTransfers: a transfer that starts afterwards is cut at once.
    bool transfersCut = false;
    // Bounds the transfers at once and orders downloads after uploads.
    koSessionTransferGate transferGate;
    // Where completed uploads are kept; null: nowhere. Set before the start.
    std::shared_ptr<koSessionStateDirectory> stateDirectory;
    std::atomic<std::uint64_t> maxSceneSize{koSessionSceneWire::DefaultMaxSceneBytes};
    std::atomic<std::uint64_t> bytesMoved{0};
};
