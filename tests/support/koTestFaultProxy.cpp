#include "koTestFaultProxy.h"

#include "koTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>

namespace koTest {

namespace {

// The relay's own receive window towards the server: small, so that a held
// direction closes the server's window after a few dozen KiB instead of the
// megabytes that loopback autotuning would allow.
constexpr int serverSideReceiveBuffer = 32 * 1024;
constexpr int pollStepMs = 20;

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool sendAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

} // namespace

struct FaultProxy::Pair
{
    int clientFd = -1;
    int serverFd = -1;
};

FaultProxy::FaultProxy(int port)
    : serverPort(port)
{
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0
        || ::listen(listenFd, 64) < 0 || ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) < 0)
        throw std::runtime_error("fault proxy cannot listen: " + std::to_string(errno));
    listenPort = ntohs(address.sin_port);
    acceptThread = std::thread([this] { acceptLoop(); });
}

FaultProxy::~FaultProxy()
{
    stopping = true;
    acceptThread.join();
    std::vector<std::thread> joining;
    {
        // The relay threads see the hang-up and close both descriptors; under
        // `mutex`, so that no descriptor is closed (and reused) meanwhile.
        std::lock_guard<std::mutex> lock(mutex);
        for (Pair* pair : pairs) {
            for (int fd : {pair->clientFd, pair->serverFd}) {
                if (fd >= 0)
                    ::shutdown(fd, SHUT_RDWR);
            }
        }
        joining.swap(threads);
    }
    for (std::thread& thread : joining)
        thread.join();
    for (Pair* pair : pairs)
        delete pair;
    ::close(listenFd);
}

QString FaultProxy::link(const QString& serverLink) const
{
    QString relayed = serverLink;
    return relayed.replace(QStringLiteral(":%1/").arg(serverPort), QStringLiteral(":%1/").arg(listenPort));
}

void FaultProxy::setBudgets(std::uint64_t up, std::uint64_t down)
{
    upBudget = up;
    downBudget = down;
}

void FaultProxy::stall()
{
    stalled = true;
}

void FaultProxy::release()
{
    upBudget = Unlimited;
    downBudget = Unlimited;
    released = true;
}

bool FaultProxy::waitHeld(int count, double seconds)
{
    std::unique_lock<std::mutex> lock(eventMutex);
    return event.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return held >= count; });
}

void FaultProxy::notify()
{
    std::lock_guard<std::mutex> lock(eventMutex);
    event.notify_all();
}

void FaultProxy::acceptLoop()
{
    while (!stopping) {
        pollfd waiting{listenFd, POLLIN, 0};
        if (::poll(&waiting, 1, pollStepMs) <= 0)
            continue;
        const int clientFd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (clientFd < 0)
            continue;
        auto* pair = new Pair;
        pair->clientFd = clientFd;
        std::lock_guard<std::mutex> lock(mutex);
        pairs.push_back(pair);
        threads.emplace_back([this, pair] { relay(pair); });
    }
}

// Moves bytes both ways until one side ends, a budget holds a direction, or
// the relay is destroyed. A held direction is no longer read, but its hang-up
// is still seen, so a killed participant still ends the server's side.
void FaultProxy::relay(Pair* pair)
{
    struct Direction
    {
        int from;
        int to;
        std::uint64_t budget;
        std::uint64_t moved;
        bool holding;
    };
    const int serverFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        pair->serverFd = serverFd;
    }
    ::setsockopt(serverFd, SOL_SOCKET, SO_RCVBUF, &serverSideReceiveBuffer, sizeof serverSideReceiveBuffer);
    const sockaddr_in address = loopback(serverPort);
    bool ended = ::connect(serverFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0;

    Direction directions[2] = {{pair->clientFd, serverFd, upBudget, 0, false},
                               {serverFd, pair->clientFd, downBudget, 0, false}};
    char buffer[64 * 1024];
    while (!ended && !stopping) {
        const bool stall = stalled;
        if (released) {
            for (Direction& direction : directions) {
                direction.budget = Unlimited;
                direction.holding = false;
            }
        }
        pollfd fds[2];
        for (int i = 0; i < 2; ++i) {
            const bool reading = !directions[i].holding && !stall;
            fds[i] = pollfd{directions[i].from, static_cast<short>(POLLRDHUP | (reading ? POLLIN : 0)), 0};
        }
        const int ready = ::poll(fds, 2, pollStepMs);
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2 && ready > 0; ++i) {
            Direction& direction = directions[i];
            const short seen = fds[i].revents;
            if (!(fds[i].events & POLLIN)) {
                ended = ended || (seen & (POLLHUP | POLLERR | POLLRDHUP)) != 0;
                continue;
            }
            if (!(seen & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)))
                continue;
            const std::size_t room = static_cast<std::size_t>(
                std::min<std::uint64_t>(sizeof buffer, direction.budget - direction.moved));
            const ssize_t got = ::recv(direction.from, buffer, room, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 || !sendAll(direction.to, buffer, static_cast<std::size_t>(got))) {
                ended = true;
                continue;
            }
            direction.moved += static_cast<std::uint64_t>(got);
            if (direction.moved >= direction.budget) {
                direction.holding = true;
                ++held;
                notify();
            }
        }
    }
    // Closing with unread bytes makes the kernel reset the connection, as a
    // killed process's kernel does.
    {
        std::lock_guard<std::mutex> lock(mutex);
        ::close(pair->clientFd);
        ::close(pair->serverFd);
        pair->clientFd = -1;
        pair->serverFd = -1;
    }
}

} // namespace koTest
