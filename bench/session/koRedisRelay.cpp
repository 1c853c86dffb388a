#include "koRedisRelay.h"

#include "koBenchCertificate.h"
#include "koBenchTlsLink.h"
#include "koBoundSocketLink.h"
#include "koSocketAddress.h"
#include "koSocketLink.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t MessageBytes = 100;
const std::string Channel = "kobench";

std::string bulk(const std::string& text)
{
    return "$" + std::to_string(text.size()) + "\r\n" + text + "\r\n";
}

std::string command(const std::vector<std::string>& words)
{
    std::string out = "*" + std::to_string(words.size()) + "\r\n";
    for (const std::string& word : words)
        out += bulk(word);
    return out;
}

// Reads exactly `expected` and fails on anything else.
void expect(koSocketLink& link, const std::string& expected)
{
    std::string got(expected.size(), '\0');
    link.read(&got[0], got.size());
    if (got != expected)
        throw std::runtime_error("redis-server answered something unexpected: " + got);
}

// The server, on a port that was free a moment before, in a folder of its own
// so that it writes nothing anywhere else.
class RedisServer
{
public:
    explicit RedisServer(bool tls)
        : tls(tls)
    {
        if (!folder.isValid())
            throw std::runtime_error("cannot make a temporary folder for redis-server");
        port = koBoundSocketLink(0).getAddress().getPort();
        process.setWorkingDirectory(folder.path());
        process.setStandardOutputFile(folder.filePath(QStringLiteral("redis.log")));
        process.setStandardErrorFile(folder.filePath(QStringLiteral("redis.err")));
        process.start(QStringLiteral("redis-server"),
                      listening() + QStringList{QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                                                QStringLiteral("--save"), QString(), QStringLiteral("--appendonly"),
                                                QStringLiteral("no"), QStringLiteral("--dir"), folder.path(),
                                                QStringLiteral("--client-output-buffer-limit"),
                                                QStringLiteral("pubsub 0 0 0")});
        if (!process.waitForStarted(10000))
            throw std::runtime_error("cannot start redis-server: " + process.errorString().toStdString());
    }

    ~RedisServer()
    {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // A connection that has answered PING; waits for the server to listen.
    std::shared_ptr<koSocketLink> connect()
    {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            try {
                const koSocketAddress address("127.0.0.1", port);
                const std::shared_ptr<koSocketLink> link = tls ? std::make_shared<koBenchTlsLink>(address, 5.0)
                                                               : std::make_shared<koSocketLink>(address, 5.0);
                const std::string ping = command({"PING"});
                link->write(ping.data(), ping.size());
                expect(*link, "+PONG\r\n");
                return link;
            } catch (const std::exception&) {
                if (Clock::now() > deadline)
                    throw;
                // The pause waits on the process, so a server that refused
                // its options is noticed at once.
                if (process.state() != QProcess::Running || process.waitForFinished(20))
                    throw std::runtime_error("redis-server stopped; its log ends: " + logTail());
            }
        }
    }

private:
    QTemporaryDir folder;
    QProcess process;
    int port = 0;
    bool tls = false;

    // Why a server that refused its options stopped (a build without TLS).
    std::string logTail() const
    {
        QFile log(folder.filePath(QStringLiteral("redis.log")));
        log.open(QIODevice::ReadOnly);
        return log.readAll().right(300).trimmed().toStdString();
    }

    // The port options; with TLS, a throwaway certificate and no plain port.
    QStringList listening() const
    {
        if (!tls)
            return {QStringLiteral("--port"), QString::number(port)};
        const QString key = folder.filePath(QStringLiteral("key.pem"));
        const QString certificate = folder.filePath(QStringLiteral("certificate.pem"));
        koBenchCertificate::write(key.toStdString(), certificate.toStdString());
        return {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--tls-port"), QString::number(port),
                QStringLiteral("--tls-cert-file"), certificate, QStringLiteral("--tls-key-file"), key,
                QStringLiteral("--tls-ca-cert-file"), certificate, QStringLiteral("--tls-auth-clients"),
                QStringLiteral("no")};
    }
};

// Every message reaches a subscriber in the same number of bytes, so counting
// them needs no parsing past the first.
void receive(koSocketLink& link, const std::atomic<bool>& stopping, std::atomic<std::uint64_t>& delivered)
{
    const std::string form = "*3\r\n" + bulk("message") + bulk(Channel) + bulk(std::string(MessageBytes, 'm'));
    std::vector<char> block(form.size() * 64);
    expect(link, form);
    std::size_t pending = 0;
    delivered = 1;
    while (!stopping) {
        link.read(block.data(), block.size());
        pending += block.size();
        delivered += pending / form.size();
        pending %= form.size();
    }
}

// Keeps between half the window and the whole window in flight: a batch goes
// out whenever the replies to half of it have come back.
void publish(koSocketLink& link, const std::atomic<bool>& stopping, std::size_t window, int receivers)
{
    const std::string one = command({"PUBLISH", Channel, std::string(MessageBytes, 'm')});
    const std::size_t half = std::max<std::size_t>(1, window / 2);
    std::string batch;
    for (std::size_t i = 0; i < half; ++i)
        batch += one;
    const std::string reply = ":" + std::to_string(receivers) + "\r\n";
    std::vector<char> replies(reply.size() * half);
    link.write(batch.data(), batch.size());
    while (!stopping) {
        link.write(batch.data(), batch.size());
        link.read(replies.data(), replies.size());
    }
}

} // namespace

bool koRedisRelay::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("redis-server")).isEmpty();
}

double koRedisRelay::run(int receivers, double seconds, std::size_t window, bool tls)
{
    RedisServer server(tls);
    std::vector<std::shared_ptr<koSocketLink>> subscribers;
    for (int i = 0; i < receivers; ++i) {
        subscribers.push_back(server.connect());
        const std::string subscribe = command({"SUBSCRIBE", Channel});
        subscribers.back()->write(subscribe.data(), subscribe.size());
        expect(*subscribers.back(), "*3\r\n" + bulk("subscribe") + bulk(Channel) + ":1\r\n");
        subscribers.back()->setRecvTimeout(0);
    }
    std::shared_ptr<koSocketLink> publisher = server.connect();
    publisher->setRecvTimeout(0);
    std::atomic<bool> stopping{false};
    std::vector<std::unique_ptr<std::atomic<std::uint64_t>>> delivered;
    std::vector<std::thread> threads;
    std::string failure;
    std::mutex failureMutex;
    const auto guarded = [&](auto body) {
        return [&, body] {
            try {
                body();
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (!stopping && failure.empty())
                    failure = e.what();
            }
        };
    };
    // Every counter exists before the first receiver looks its own up: a
    // push_back while receivers run would move the vector under them.
    for (int i = 0; i < receivers; ++i)
        delivered.push_back(std::make_unique<std::atomic<std::uint64_t>>(0));
    for (std::size_t at = 0; at < delivered.size(); ++at)
        threads.emplace_back(guarded([&, at] { receive(*subscribers[at], stopping, *delivered[at]); }));
    threads.emplace_back(guarded([&] { publish(*publisher, stopping, window, receivers); }));
    const auto total = [&] {
        std::uint64_t sum = 0;
        for (const auto& count : delivered)
            sum += *count;
        return sum;
    };
    // The first second warms up the server and the subscribers.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::uint64_t before = total();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t after = total();
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    stopping = true;
    publisher->shutdown();
    for (const auto& subscriber : subscribers)
        subscriber->shutdown();
    for (std::thread& thread : threads)
        thread.join();
    if (!failure.empty())
        throw std::runtime_error("Redis relay: " + failure);
    return static_cast<double>(after - before) / elapsed.count();
}
