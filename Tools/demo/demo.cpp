// kosession-demo: listens on 127.0.0.1, connects a client, runs the cipher
// handshake on both ends (the server's on a thread of its own), exchanges a
// few messages and a 16 MiB block through the encrypted streams, checks every
// byte and tells what it did. Exits 0 only when everything matched.
#include "koBoundSocketLink.h"
#include "koNetCipher.h"
#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <QCryptographicHash>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBlockSize = 16 * 1024 * 1024;
constexpr std::size_t kMaxMessage = 4096; // longest text either end accepts
constexpr double kWaitSeconds = 10.0;     // bound on every wait for the peer

const std::vector<std::string> kMessages = {
    "Hello from the client",
    "A second message, with UTF-8: Grüße, ½, ✓",
    "",
    std::string(3000, 'x'),
};

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void putText(koNetStream& stream, const std::string& text)
{
    stream.putValueSize(text.size());
    stream.putBytes(text.data(), text.size());
}

std::string getText(koNetStream& stream)
{
    const std::size_t size = stream.getValueSize();
    if (size > kMaxMessage)
        throw koNetError("Message of " + std::to_string(size) + " bytes is above the limit of "
                         + std::to_string(kMaxMessage));
    std::string text(size, '\0');
    stream.getBytes(&text[0], size);
    return text;
}

std::string replyTo(const std::string& message)
{
    return "server read " + std::to_string(message.size()) + " bytes: " + message.substr(0, 40);
}

QByteArray sha256(const std::vector<char>& block)
{
    return QCryptographicHash::hash(QByteArray::fromRawData(block.data(), static_cast<int>(block.size())),
                                    QCryptographicHash::Sha256);
}

std::vector<char> makeBlock()
{
    std::vector<char> block(kBlockSize);
    unsigned value = 12345;
    for (char& byte : block) {
        value = value * 1103515245u + 12345u;
        byte = static_cast<char>(value >> 16);
    }
    return block;
}

// The server end: answers each message, hashes the block and sends the digest
// back, then the success marker.
void serve(koSocketLink& link)
{
    koNetStream stream(link.shared_from_this());
    for (std::size_t i = 0; i < kMessages.size(); ++i) {
        putText(stream, replyTo(getText(stream)));
        stream.flush();
    }
    std::vector<char> block(stream.getValueSize() == kBlockSize ? kBlockSize : 0);
    if (block.empty())
        throw koNetError("Unexpected block size");
    stream.getBytes(block.data(), block.size());
    stream.sendSuccess(); // the whole block is here
    const QByteArray digest = sha256(block);
    stream.putBytes(digest.constData(), static_cast<std::size_t>(digest.size()));
    stream.flush();
}

struct Server
{
    koBoundSocketLink bound{0};
    std::shared_ptr<koSocketLink> link;
    std::string error;
    std::thread thread;

    void start()
    {
        thread = std::thread([this] {
            try {
                link = std::make_shared<koSocketLink>(bound);
                link->setRecvTimeout(kWaitSeconds);
                koNetStream handshake(link);
                link->setCipher(std::make_shared<koNetCipher>(false, handshake));
                serve(*link);
            } catch (const std::exception& e) {
                error = e.what();
            } catch (...) {
                error = "unknown failure";
            }
            if (!error.empty() && link)
                link->shutdown(); // the client must not wait for an answer that cannot come
        });
    }

    // Ends every wait of the server thread and joins it.
    void stop()
    {
        bound.shutdown();
        if (thread.joinable())
            thread.join();
    }
};

int checks = 0;
int failures = 0;

void check(bool ok, const std::string& what)
{
    ++checks;
    failures += ok ? 0 : 1;
    std::printf("  [%s] %s\n", ok ? "ok" : "FAILED", what.c_str());
}

void runClient(Server& server)
{
    const int port = server.bound.getAddress().getPort();
    std::printf("server listening on port %d (every interface)\n", port);

    auto start = Clock::now();
    auto link = std::make_shared<koSocketLink>(koSocketAddress("127.0.0.1", port), 5.0);
    link->setRecvTimeout(kWaitSeconds);
    std::printf("client connected to %s in %.1f ms\n", link->getPeerName().c_str(), millisecondsSince(start));

    start = Clock::now();
    koNetStream handshake(link);
    link->setCipher(std::make_shared<koNetCipher>(true, handshake));
    std::printf("cipher: %s, handshake %.1f ms\n", koNetCipher::getSuiteName(), millisecondsSince(start));

    koNetStream stream(link);
    std::size_t sent = 0;
    std::size_t received = 0;
    for (const std::string& message : kMessages) {
        putText(stream, message);
        stream.flush();
        const std::string reply = getText(stream);
        sent += 8 + message.size();
        received += 8 + reply.size();
        check(reply == replyTo(message), "message of " + std::to_string(message.size()) + " bytes, reply \""
                                             + reply.substr(0, 48) + (reply.size() > 48 ? "...\"" : "\""));
    }

    const std::vector<char> block = makeBlock();
    start = Clock::now();
    stream.putValueSize(block.size());
    stream.putBytes(block.data(), block.size());
    stream.flush();
    stream.recvResult();
    const double ms = millisecondsSince(start);
    QByteArray digest(32, '\0');
    stream.getBytes(digest.data(), static_cast<std::size_t>(digest.size()));
    sent += 8 + block.size();
    received += 4 + static_cast<std::size_t>(digest.size());
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.1f ms, %.0f MB/s", ms, block.size() / 1e3 / ms);
    check(digest == sha256(block), "16 MiB block in " + std::string(rate) + "; the server's SHA-256 "
                                       + digest.toHex().left(16).toStdString() + "... matches the client's");
    std::printf("plain bytes through the cipher: client sent %zu, received %zu\n", sent, received);
}

} // namespace

int main()
{
    std::printf("kosession-demo: an encrypted link over loopback TCP\n");
    Server server;
    try {
        server.start();
        runClient(server);
    } catch (const std::exception& e) {
        std::printf("client failed: %s\n", e.what());
        ++failures;
    }
    server.stop();
    if (!server.error.empty()) {
        std::printf("server failed: %s\n", server.error.c_str());
        ++failures;
    }
    std::printf("result: %d of %d checks passed%s\n", checks - (failures > checks ? checks : failures), checks,
                failures == 0 ? "" : " -- FAILED");
    return failures == 0 ? 0 : 1;
}
