#include "koCipherTestPair.h"

#include "koNetStream.h"

#include <exception>
#include <mutex>
#include <thread>

namespace koTest {

void runConcurrently(const std::vector<std::function<void()>>& jobs)
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

CipherPair makeCipherPair()
{
    CipherPair pair;
    std::tie(pair.clientLink, pair.serverLink) = koSocketLink::createPair();
    pair.clientLink->setRecvTimeout(10.0);
    pair.serverLink->setRecvTimeout(10.0);
    koNetStream clientStream(pair.clientLink);
    koNetStream serverStream(pair.serverLink);
    runConcurrently({[&] { pair.client = std::make_shared<koNetCipher>(true, clientStream); },
                     [&] { pair.server = std::make_shared<koNetCipher>(false, serverStream); }});
    return pair;
}

std::vector<char> patternBytes(std::size_t size, unsigned seed)
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
