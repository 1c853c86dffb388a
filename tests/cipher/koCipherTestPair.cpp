#include "koCipherTestPair.h"

#include "koNetStream.h"

#include <exception>
#include <thread>

namespace koTest {

void runBothEnds(const std::function<void()>& here, const std::function<void()>& there)
{
    std::exception_ptr thereError;
    std::thread thread([&] {
        try {
            there();
        } catch (...) {
            thereError = std::current_exception();
        }
    });
    std::exception_ptr hereError;
    try {
        here();
    } catch (...) {
        hereError = std::current_exception();
    }
    thread.join();
    if (hereError)
        std::rethrow_exception(hereError);
    if (thereError)
        std::rethrow_exception(thereError);
}

CipherPair makeCipherPair()
{
    CipherPair pair;
    std::tie(pair.clientLink, pair.serverLink) = koSocketLink::createPair();
    pair.clientLink->setRecvTimeout(10.0);
    pair.serverLink->setRecvTimeout(10.0);
    koNetStream clientStream(pair.clientLink);
    koNetStream serverStream(pair.serverLink);
    runBothEnds([&] { pair.client.reset(new koNetCipher(true, clientStream)); },
                [&] { pair.server.reset(new koNetCipher(false, serverStream)); });
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
