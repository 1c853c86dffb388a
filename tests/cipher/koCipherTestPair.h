#pragma once

// Helpers of the cipher and fuzz tests, free of GoogleTest.

#include "koNetCipher.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <future>
#include <memory>
#include <vector>

namespace koTest {

// Two connected socket links and the ciphers a real key exchange over them
// gave each end, not yet installed on the links.
struct CipherPair
{
    std::shared_ptr<koSocketLink> clientLink;
    std::shared_ptr<koSocketLink> serverLink;
    std::shared_ptr<koNetCipher> client;
    std::shared_ptr<koNetCipher> server;
};

inline CipherPair makeCipherPair()
{
    CipherPair pair;
    std::tie(pair.clientLink, pair.serverLink) = koSocketLink::createPair();
    pair.clientLink->setRecvTimeout(10.0); // no wait of a test may hang
    pair.serverLink->setRecvTimeout(10.0);
    koNetStream client(pair.clientLink), server(pair.serverLink);
    auto serverSide = std::async(std::launch::async, [&] { return std::make_shared<koNetCipher>(false, server); });
    pair.client = std::make_shared<koNetCipher>(true, client);
    pair.server = serverSide.get();
    return pair;
}

// Bytes that differ from position to position and from seed to seed.
inline std::vector<char> patternBytes(std::size_t size, unsigned seed)
{
    std::vector<char> bytes(size);
    unsigned value = seed * 2654435761u + 1u;
    for (char& byte : bytes) {
        value = value * 1103515245u + 12345u;
        byte = static_cast<char>(value >> 16);
    }
    return bytes;
}

} // namespace koTest
