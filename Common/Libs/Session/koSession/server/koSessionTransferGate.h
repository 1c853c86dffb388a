#pragma once

#include "koSessionMutex.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

// Admits the server's scene transfers. At most MaxPerAddress run at once from
// one peer address and MaxInAll in all, so connections that announce a
// transfer and then stall cannot pile up jobs and memory; the excess is
// refused at once and logged. A download waits for the uploads admitted
// before it, so that it serves the scene that was announced after them.
// Thread-safe; lives as long as the server's transfer jobs.
class koSessionTransferGate
{
public:
    static constexpr int MaxPerAddress = 4;
    static constexpr int MaxInAll = 16;
    // An upload whose peer sends nothing for this long is cut.
    static constexpr double StallSeconds = 30.0;
    // How long a download waits for earlier uploads before it serves the
    // scene stored then.
    static constexpr std::chrono::seconds UploadWaitLimit{60};

    // Holds the admission number; dropping the last copy ends the transfer.
    using Ticket = std::shared_ptr<const std::uint64_t>;

    // Admits a transfer from peer `address` (host without port); null when a
    // limit is reached or the gate is cut. The caller logs a refusal.
    Ticket enter(const std::string& address, bool upload);
    // Waits until every upload admitted before `download` has ended, at most
    // UploadWaitLimit, or until cut(). False when the limit ran out.
    bool waitForEarlierUploads(const Ticket& download);
    // Admits nothing more and wakes every waiting download.
    void cut();

private:
    void leave(std::uint64_t id, const std::string& address, bool upload);

    // Guards every member below; never held while anything else is locked.
    koSessionMutex mutex{koSessionLockRank::TransferGate, "koSessionTransferGate::mutex"};
    std::condition_variable_any changed;
    int running = 0;
    std::map<std::string, int> perAddress;
    // Admission numbers of the uploads running now.
    std::set<std::uint64_t> uploads;
    std::uint64_t lastId = 0;
    bool isCut = false;
};
