#pragma once

// Two connected socket links and the ciphers a real key exchange over them
// gave each end, not yet installed on the links. Free of GoogleTest, so that
// the fuzz targets share it.

#include "koNetCipher.h"
#include "koSocketLink.h"

#include <functional>
#include <memory>
#include <vector>

namespace koTest {

struct CipherPair
{
    std::shared_ptr<koSocketLink> clientLink;
    std::shared_ptr<koSocketLink> serverLink;
    std::shared_ptr<koNetCipher> client;
    std::shared_ptr<koNetCipher> server;
};

// Runs the two roles on two threads; every wait is bounded by a receive time limit on both links.
CipherPair makeCipherPair();

// Runs every job on a thread of its own, joins all, and rethrows the first
// exception of any.
void runConcurrently(const std::vector<std::function<void()>>& jobs);

// Bytes that differ from position to position and from seed to seed.
std::vector<char> patternBytes(std::size_t size, unsigned seed);

} // namespace koTest
