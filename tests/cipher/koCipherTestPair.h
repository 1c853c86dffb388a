#pragma once

#include "koNetCipher.h"
#include "koSocketLink.h"

#include <array>
#include <functional>
#include <memory>
#include <vector>

namespace koTest {

// Two connected socket links and the ciphers that a real handshake over them
// gave each end (not yet installed on the links).
struct CipherPair
{
    std::shared_ptr<koSocketLink> clientLink;
    std::shared_ptr<koSocketLink> serverLink;
    std::unique_ptr<koNetCipher> client;
    std::unique_ptr<koNetCipher> server;
};

// Runs the client handshake on this thread and the server's on another.
// Every wait is bounded by a receive time limit on both links.
CipherPair makeCipherPair();

// Runs `body` on a second thread and `here` on this one, joins, and rethrows
// the first exception of either. Used for the two ends of a handshake.
void runBothEnds(const std::function<void()>& here, const std::function<void()>& there);

// Bytes that differ from frame to frame, so that a mixed-up frame shows.
std::vector<char> patternBytes(std::size_t size, unsigned seed);

} // namespace koTest
