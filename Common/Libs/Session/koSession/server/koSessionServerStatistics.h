#pragma once

#include <chrono>
#include <cstdint>

// What a koSessionServer has counted since its start, as one snapshot taken
// by koSessionServer::getStatistics. Counters only grow within a run.
struct koSessionServerStatistics
{
    // Participants in the roster now.
    std::uint64_t participants = 0;
    std::uint64_t joins = 0;
    std::uint64_t leaves = 0;
    // Connections closed before admission: a bound of the door reached,
    // another session's tunnel line, a version mismatch, a failed handshake,
    // a refused second link or transfer.
    std::uint64_t refusedConnections = 0;
    // Changes received from participants and passed into the shared lists,
    // and the bytes of those changes.
    std::uint64_t changesRelayed = 0;
    std::uint64_t bytesRelayed = 0;
    // Scene bytes of complete uploads and downloads.
    std::uint64_t sceneBytes = 0;
    std::chrono::seconds uptime{0};
};
