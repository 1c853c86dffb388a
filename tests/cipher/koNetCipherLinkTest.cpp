// The cipher installed on real socket links: what a link delivers and what it
// refuses once every byte passes through the cipher.
#include "koCipherTestPair.h"

#include "koNetError.h"
#include "koNetStream.h"

#include <gtest/gtest.h>

#include <exception>
#include <mutex>
#include <thread>

namespace {

// Runs every job on a thread of its own, joins all and rethrows the first failure.
void runAll(const std::vector<std::function<void()>>& jobs)
{
    std::mutex mutex; // guards `failure`; taken by each job thread once, when it fails
    std::exception_ptr failure;
    std::vector<std::thread> threads;
    for (const auto& job : jobs) {
        threads.emplace_back([&mutex, &failure, job] {
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

// Writes `data` in pieces of irregular sizes, flushing after each.
void writeInPieces(koNetStream& stream, const std::vector<char>& data)
{
    static const std::size_t pieces[] = {1, 7, 4096, 65535, 65536, 65537, 300000};
    std::size_t at = 0;
    for (std::size_t i = 0; at < data.size(); ++i) {
        const std::size_t n = std::min(pieces[i % 7], data.size() - at);
        stream.putBytes(data.data() + at, n);
        stream.flush();
        at += n;
    }
}

std::vector<char> readAll(koNetStream& stream, std::size_t size)
{
    std::vector<char> data(size);
    std::size_t at = 0;
    for (std::size_t n = 3; at < size; n = n * 5 + 1) {
        const std::size_t take = std::min(n % 200000 + 1, size - at);
        stream.getBytes(data.data() + at, take);
        at += take;
    }
    return data;
}

TEST(koNetCipherLink, CarriesLargeTransfersBothWaysAtOnce)
{
    koTest::CipherPair pair = koTest::makeCipherPair();
    pair.clientLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.client)));
    pair.serverLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.server)));

    koNetStream clientOut(pair.clientLink), clientIn(pair.clientLink);
    koNetStream serverOut(pair.serverLink), serverIn(pair.serverLink);
    const std::vector<char> up = koTest::patternBytes(6 * 1024 * 1024 + 13, 1);
    const std::vector<char> down = koTest::patternBytes(5 * 1024 * 1024 + 7, 2);
    std::vector<char> receivedUp, receivedDown;
    runAll({[&] { writeInPieces(clientOut, up); },
            [&] { writeInPieces(serverOut, down); },
            [&] { receivedUp = readAll(serverIn, up.size()); },
            [&] { receivedDown = readAll(clientIn, down.size()); }});
    EXPECT_TRUE(receivedUp == up);
    EXPECT_TRUE(receivedDown == down);
}

// Reads that start inside a frame, end inside one, or span several take the
// opened-frame buffer and the straight path in turn; every byte must arrive
// once and in order whichever path carried it.
TEST(koNetCipherLink, ReadsOfEverySizeMixBufferedAndDirectFrames)
{
    koTest::CipherPair pair = koTest::makeCipherPair();
    const std::size_t max = pair.client->getMaxFrameSize();
    pair.clientLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.client)));
    pair.serverLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.server)));
    const std::size_t reads[] = {1, max - 1, max, 3, max + 5, 2 * max, 7, 4 * max + 1, max - 2, 1};
    std::size_t total = 0;
    for (std::size_t n : reads)
        total += n;
    const std::vector<char> sent = koTest::patternBytes(total, 9);
    std::vector<char> received(total, 0);
    runAll({[&] {
                // Writes cut elsewhere than the reads, so frames and reads never line up.
                koNetStream out(pair.clientLink);
                writeInPieces(out, sent);
            },
            [&] {
                koNetStream in(pair.serverLink);
                std::size_t at = 0;
                for (std::size_t n : reads) {
                    in.getBytes(received.data() + at, n);
                    at += n;
                }
            }});
    EXPECT_TRUE(received == sent);
}

// The client end writes raw bytes on purpose (no cipher on its link), so the
// test controls exactly which frames reach the enciphered server end.
TEST(koNetCipherLink, ForgedFrameEndsTheLinkAfterTheGenuineBytes)
{
    koTest::CipherPair pair = koTest::makeCipherPair();
    pair.serverLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.server)));

    const std::vector<char> genuine = koTest::patternBytes(1000, 1);
    std::vector<char> wire;
    pair.client->seal(genuine.data(), genuine.size(), wire);
    std::vector<char> forged;
    pair.client->seal(genuine.data(), genuine.size(), forged);
    forged[forged.size() / 2] ^= 0x20;
    wire.insert(wire.end(), forged.begin(), forged.end());
    pair.clientLink->write(wire.data(), wire.size());

    std::vector<char> received(genuine.size());
    pair.serverLink->read(received.data(), received.size());
    EXPECT_EQ(received, genuine);
    char next = 0;
    EXPECT_THROW(pair.serverLink->read(&next, 1), koNetError);
    EXPECT_TRUE(pair.serverLink->isShutdown());
}

TEST(koNetCipherLink, PlainBytesOnAnEncipheredLinkAreRefused)
{
    koTest::CipherPair pair = koTest::makeCipherPair();
    pair.serverLink->setCipher(std::shared_ptr<koNetCipher>(std::move(pair.server)));
    const std::string text = "GET / HTTP/1.1\r\nHost: example\r\n\r\n";
    pair.clientLink->write(text.data(), text.size());
    char byte = 0;
    EXPECT_THROW(pair.serverLink->read(&byte, 1), koNetError);
}

} // namespace
