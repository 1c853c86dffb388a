#include "koSessionTransferGate.h"

#include "koLog.h"

namespace {

// The peer name without its port: "[::1]:4242" and "127.0.0.1:4242" give the
// address; a name without a port (a pipe) stands for itself.
std::string addressOf(const std::string& peer)
{
    const std::size_t colon = peer.rfind(':');
    if (colon == std::string::npos || peer.find_first_not_of("0123456789", colon + 1) != std::string::npos)
        return peer;
    return peer.substr(0, colon);
}

} // namespace

koSessionTransferGate::Ticket koSessionTransferGate::enter(const std::string& peer, bool upload)
{
    const std::string address = addressOf(peer);
    std::lock_guard<std::mutex> lock(mutex);
    if (isCut)
        return nullptr;
    const auto found = perAddress.find(address);
    const int fromAddress = found == perAddress.end() ? 0 : found->second;
    if (running >= MaxInAll || fromAddress >= MaxPerAddress) {
        koLog::warning("Scene %s of %s refused: %d transfers running, %d of them from its address (limits %d and %d)",
                       upload ? "upload" : "download", peer.c_str(), running, fromAddress, MaxInAll,
                       MaxPerAddress);
        return nullptr;
    }
    ++running;
    ++perAddress[address];
    const std::uint64_t id = ++lastId;
    if (upload)
        uploads.insert(id);
    return Ticket(new std::uint64_t(id), [this, address, upload](const std::uint64_t* ticket) {
        leave(*ticket, address, upload);
        delete ticket;
    });
}

bool koSessionTransferGate::waitForEarlierUploads(const Ticket& download)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, UploadWaitLimit,
                            [&] { return isCut || uploads.empty() || *uploads.begin() > *download; });
}

void koSessionTransferGate::cut()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        isCut = true;
    }
    changed.notify_all();
}

void koSessionTransferGate::leave(std::uint64_t id, const std::string& address, bool upload)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        if (--perAddress[address] == 0)
            perAddress.erase(address);
        if (upload)
            uploads.erase(id);
    }
    changed.notify_all();
}
