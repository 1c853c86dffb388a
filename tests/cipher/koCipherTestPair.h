#pragma once

// Helpers of the cipher, network and fuzz tests, free of GoogleTest.

#include "koNetCipher.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace koTest {

// Runs every job on a thread of its own, joins all, and rethrows the first
// exception of any.
inline void runConcurrently(const std::vector<std::function<void()>>& jobs)
{
    std::mutex mutex; // guards `failure`; taken by a job's thread once, when it fails
    std::exception_ptr failure;
    std::vector<std::thread> threads;
    for (const auto& job : jobs) {
        threads.emplace_back([&mutex, &failure, &job] {
            try {
                job();
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!failure)
                    failure = std::current_exception();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);
}

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
    runConcurrently({[&] { pair.client = std::make_shared<koNetCipher>(true, client); },
                     [&] { pair.server = std::make_shared<koNetCipher>(false, server); }});
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
