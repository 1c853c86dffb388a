#include "koSessionSceneStore.h"

#include "koSessionSceneBuffer.h"
#include "koSessionStateDirectory.h"
#include "koSessionWire.h"

#include "koNetActionManager.h"
#include "koNetLink.h"
#include "koNetStream.h"

#include <algorithm>

koSessionSceneStore::koSessionSceneStore(koNetActionManager& jobs, Refusal refuse)
    : jobs(jobs), refuse(std::move(refuse))
{
}

koSessionSceneStore::~koSessionSceneStore() = default;

void koSessionSceneStore::setMaxSceneSize(std::uint64_t bytes)
{
    maxSceneSize = bytes;
}

std::uint64_t koSessionSceneStore::getMaxSceneSize() const
{
    return maxSceneSize;
}

void koSessionSceneStore::setStateDirectory(std::shared_ptr<koSessionStateDirectory> directory)
{
    stateDirectory = std::move(directory);
}

std::uint64_t koSessionSceneStore::getBytesMoved() const
{
    return bytesMoved;
}

void koSessionSceneStore::resetBytesMoved()
{
    bytesMoved = 0;
}

// A transfer over the gate's bounds is closed at once, its refusal logged
// like any other at the door.
koSessionTransferGate::Ticket koSessionSceneStore::enter(koNetLink& link, bool upload)
{
    const std::string address = koSessionWire::peerHost(link);
    koSessionTransferGate::Ticket ticket = transferGate.enter(address, upload);
    if (!ticket) {
        refuse(koLog::Level::Warning, address,
               std::string("Scene ") + (upload ? "upload" : "download") + " of " + link.getPeerName()
                   + " refused: too many transfers running");
        link.shutdown();
    }
    return ticket;
}

void koSessionSceneStore::upload(std::shared_ptr<koNetLink> link)
{
    koSessionTransferGate::Ticket ticket = enter(*link, true);
    if (!ticket)
        return;
    // A big scene may pause longer than a handshake may, but an uploader
    // that sends nothing at all must not hold its job forever.
    link->setRecvTimeout(koSessionTransferGate::StallSeconds);
    jobs.run([this, link, ticket]() mutable { receive(std::move(link), std::move(ticket)); });
}

void koSessionSceneStore::download(std::shared_ptr<koNetLink> link)
{
    koSessionTransferGate::Ticket ticket = enter(*link, false);
    if (!ticket)
        return;
    // Nothing more is read; a reader that stops taking bytes is cut by the
    // link's own limit on a closed window.
    link->setRecvTimeout(0);
    jobs.run([this, link, ticket]() mutable { send(std::move(link), std::move(ticket)); });
}

// The upload job: name field, size field, then the data in pieces. The new
// scene replaces the stored one only once it has arrived whole, so a failed
// or aborted upload leaves the store as it was. Nothing is sent back.
void koSessionSceneStore::receive(std::shared_ptr<koNetLink> link, koSessionTransferGate::Ticket ticket)
{
    try {
        addTransfer(link);
        const std::string peer = link->getPeerName();
        auto data = std::make_shared<koSessionSceneBuffer>();
        std::string name;
        {
            koNetStream stream(link);
            name = koSessionSceneWire::getName(stream, peer);
            const std::uint64_t size = koSessionSceneWire::getSize(stream, maxSceneSize, peer);
            koSessionSceneWire::getData(stream, *data, static_cast<std::size_t>(size));
        }
        link.reset();
        const std::size_t size = data->size();
        const std::shared_ptr<const koSessionSceneBuffer> stored = data;
        std::uint64_t generation = 0;
        {
            std::lock_guard<koSessionMutex> lock(mutex);
            sceneData.swap(data);
            sceneName = name;
            generation = ++sceneGeneration;
        }
        // Stored: the downloads that waited for this upload may go on.
        ticket.reset();
        keep(generation, name, *stored);
        // The previous scene (now in `data`) is freed here, outside the lock,
        // or later by the last download still sending it.
        data.reset();
        bytesMoved += size;
        koLog::info("Scene \"%s\" uploaded by %s: %zu bytes", name.c_str(), peer.c_str(), size);
    } catch (const std::exception& e) {
        koLog::error("Upload failed: %s", e.what());
    } catch (...) {
        koLog::error("Upload failed: %s", "unknown exception");
    }
}

// The download job: sends the stored scene straight from the shared buffer;
// a later upload swaps in a new one without disturbing this send. When no
// scene is stored, nothing is sent at all and the closed link tells the
// client.
void koSessionSceneStore::send(std::shared_ptr<koNetLink> link, koSessionTransferGate::Ticket ticket)
{
    try {
        addTransfer(link);
        const std::string peer = link->getPeerName();
        // An upload still arriving may be the scene just announced.
        if (!transferGate.waitForEarlierUploads(ticket))
            koLog::warning("Download of %s waited %lld s for an upload in progress; it gets the scene stored now",
                           peer.c_str(), static_cast<long long>(koSessionTransferGate::UploadWaitLimit.count()));
        std::shared_ptr<const koSessionSceneBuffer> data;
        std::string name;
        {
            std::lock_guard<koSessionMutex> lock(mutex);
            data = sceneData;
            name = sceneName;
        }
        if (!data) {
            koLog::info("No scene stored for the download of %s", peer.c_str());
            return;
        }
        koNetStream stream(link);
        koSessionSceneWire::putName(stream, name);
        stream.putValueSize(data->size());
        stream.flush();
        koSessionSceneWire::putData(stream, data->data(), data->size());
        stream.flush();
        bytesMoved += data->size();
        koLog::info("Scene \"%s\" downloaded by %s: %zu bytes", name.c_str(), peer.c_str(), data->size());
    } catch (const std::exception& e) {
        koLog::error("Download failed: %s", e.what());
    } catch (...) {
        koLog::error("Download failed: %s", "unknown exception");
    }
}

void koSessionSceneStore::addTransfer(const std::shared_ptr<koNetLink>& link)
{
    std::lock_guard<koSessionMutex> lock(mutex);
    if (transfersCut) {
        link->shutdown();
        return;
    }
    transfers.erase(std::remove_if(transfers.begin(), transfers.end(),
                                   [](const std::weak_ptr<koNetLink>& entry) { return entry.expired(); }),
                    transfers.end());
    transfers.push_back(link);
}

void koSessionSceneStore::cutTransfers()
{
    transferGate.cut();
    std::lock_guard<koSessionMutex> lock(mutex);
    transfersCut = true;
    for (const auto& entry : transfers) {
        if (auto link = entry.lock())
            link->shutdown();
    }
    transfers.clear();
}

// ---------------------------------------------------------------------------
// State directory

bool koSessionSceneStore::restore()
{
    if (!stateDirectory)
        return false;
    auto scene = std::make_shared<koSessionSceneBuffer>();
    std::string name;
    if (!stateDirectory->readScene(name, *scene))
        return false;
    std::lock_guard<koSessionMutex> lock(mutex);
    sceneData = std::move(scene);
    sceneName = name;
    return true;
}

void koSessionSceneStore::keepLast()
{
    std::shared_ptr<const koSessionSceneBuffer> scene;
    std::string name;
    std::uint64_t generation = 0;
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        scene = sceneData;
        name = sceneName;
        generation = sceneGeneration;
    }
    // A written one is not written again.
    if (scene)
        keep(generation, name, *scene);
}

void koSessionSceneStore::keep(std::uint64_t generation, const std::string& name, const koSessionSceneBuffer& data)
{
    if (!stateDirectory)
        return;
    try {
        stateDirectory->writeScene(generation, name, data);
    } catch (const std::exception& e) {
        koLog::error("Unable to keep the scene on disk: %s", e.what());
    }
}
