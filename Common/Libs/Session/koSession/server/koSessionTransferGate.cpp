#include "koSessionTransferGate.h"

koSessionTransferGate::Ticket koSessionTransferGate::enter(const std::string& address, bool upload)
{
    std::lock_guard<koSessionMutex> lock(mutex);
    if (isCut)
        return nullptr;
    const auto found = perAddress.find(address);
    const int fromAddress = found == perAddress.end() ? 0 : found->second;
    if (running >= MaxInAll || fromAddress >= MaxPerAddress)
        return nullptr;
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
    std::unique_lock<koSessionMutex> lock(mutex);
    return changed.wait_for(lock, UploadWaitLimit,
                            [&] { return isCut || uploads.empty() || *uploads.begin() > *download; });
}

void koSessionTransferGate::cut()
{
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        isCut = true;
    }
    changed.notify_all();
}

void koSessionTransferGate::leave(std::uint64_t id, const std::string& address, bool upload)
{
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        --running;
        if (--perAddress[address] == 0)
            perAddress.erase(address);
        if (upload)
            uploads.erase(id);
    }
    changed.notify_all();
}
