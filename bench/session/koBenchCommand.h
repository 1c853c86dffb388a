#pragma once

#include "koSessionCommand.h"

#include <cstdint>
#include <functional>

// The bench's own application command, registered as "SessionBenchPayload":
// a 100-byte payload that carries the moment it was pushed, a sequence number
// and the link it took. Not state-mergable and not echoing, so every one is
// relayed to every other participant; transient unless told otherwise, so the
// server drops it once every peer has sent it.
//
// Executing it hands it to the process-wide observer (set before any session
// runs), on whichever thread executes it.
class koBenchCommand : public koSessionCommand
{
public:
    static constexpr int PayloadBytes = 100;
    using Observer = std::function<void(const koBenchCommand& command, koSessionClient* client)>;

    koBenchCommand();
    koBenchCommand(std::int64_t sentNanoseconds, std::uint32_t sequence, std::uint8_t lane);

    // Not thread-safe: call while no session thread runs.
    static void setObserver(Observer observer);

    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    std::int64_t sentNanoseconds = 0; // steady clock, since its epoch
    std::uint32_t sequence = 0;
    std::uint8_t lane = 0; // 0 main link, 1 second link
};
