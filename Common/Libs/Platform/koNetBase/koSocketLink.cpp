#include "koSocketLink.h"

#include "koBoundSocketLink.h"
#include "koConnectionClosed.h"
#include "koNetError.h"
#include "koSocketLinkSocket.h"
#include "koSocketPipe.h"
#include "koSocketPipeState.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>

using Sys = koSocketSystem;

namespace {

// A peer that vanishes without closing is noticed after about
// kKeepIdle + kKeepCount * kKeepInterval seconds when idle, and after
// kUserTimeoutMs when sent bytes stay unacknowledged.
constexpr int kKeepIdleSeconds = 5;
constexpr int kKeepIntervalSeconds = 3;
constexpr int kKeepCount = 3;
constexpr int kUserTimeoutMs = 20000;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

void setOption(int fd, int level, int name, int value)
{
    // Best effort: a system without one of these options still works, only
    // notices a dead peer later.
    ::setsockopt(fd, level, name, &value, sizeof value);
}

void preventSigpipe(int fd)
{
#ifdef SO_NOSIGPIPE
    setOption(fd, SOL_SOCKET, SO_NOSIGPIPE, 1);
#else
    (void)fd;
#endif
}

// Every TCP link: no Nagle delay (the command stream batches by itself) and
// short keep-alive so that a vanished peer fails the link within ~20 s.
void configureTcp(int fd)
{
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
#ifdef TCP_KEEPIDLE
    setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
#endif
#ifdef TCP_KEEPINTVL
    setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
#endif
#ifdef TCP_KEEPCNT
    setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
#endif
#ifdef TCP_USER_TIMEOUT
    setOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, kUserTimeoutMs);
#endif
    preventSigpipe(fd);
}

koSocketAddress localAddress(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0
        || (address.ss_family != AF_INET && address.ss_family != AF_INET6))
        return koSocketAddress("", 0);
    std::string host;
    int port = 0;
    Sys::addressText(reinterpret_cast<sockaddr*>(&address), length, &port, &host);
    return koSocketAddress(host, port);
}

struct AddressList
{
    addrinfo* list = nullptr;
    ~AddressList()
    {
        if (list)
            ::freeaddrinfo(list);
    }
};

// Connects one socket of the list's first family that answers. Returns the
// connected, blocking socket or -1 with `error` set (ETIMEDOUT on time-out).
int connectAny(const addrinfo* list, int timeoutMs, int& error)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    error = EHOSTUNREACH;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        Sys::setNonBlocking(fd, true);
        int result = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (result < 0 && errno == EINPROGRESS) {
            int left = -1;
            if (timeoutMs >= 0) {
                const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                left = rest.count() > 0 ? static_cast<int>(rest.count()) : 0;
            }
            if (Sys::waitWritable(fd, left) == Sys::Wait::TimedOut) {
                Sys::closeFd(fd);
                error = ETIMEDOUT;
                return -1;
            }
            socklen_t length = sizeof result;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) < 0)
                result = errno;
            errno = result;
            result = result == 0 ? 0 : -1;
        }
        if (result == 0) {
            Sys::setNonBlocking(fd, false);
            return fd;
        }
        error = errno;
        Sys::closeFd(fd);
    }
    return -1;
}

// Failures of accept() that pass: a vanished connection, a signal, or running
// out of descriptors or memory for a while (the connection stays queued).
bool isTransientAcceptError(int error)
{
    switch (error) {
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ECONNABORTED:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return true;
    default:
        return false;
    }
}

// Pauses before the next accept after running out of resources: the queued
// connection keeps the socket readable, so retrying at once would spin.
// Grows to about a second; a shutdown ends the pause.
constexpr int FirstBackoffMs = 10;
constexpr int LastBackoffMs = 1000;

bool isOutOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Waits for the next connection on a listening socket whose wake-up pipe is
// `wakeFd`; `what` names the socket in messages. The listening socket is
// non-blocking so that a connection that vanished between poll and accept
// sends us back to waiting. Transient failures are retried; only a shutdown,
// the time-out or another failure ends the wait.
int acceptNext(int listenFd, int wakeFd, const std::function<bool()>& isShut, double timeout,
               const std::string& what, sockaddr_storage& peer, socklen_t& peerLength)
{
    const int timeoutMs = Sys::toMilliseconds(timeout);
    int backoffMs = FirstBackoffMs;
    for (;;) {
        if (isShut())
            throw koNetError("Waiting for a connection on " + what + " was shut down");
        switch (Sys::waitReadable(listenFd, wakeFd, timeoutMs)) {
        case Sys::Wait::Woken:
            throw koNetError("Waiting for a connection on " + what + " was shut down");
        case Sys::Wait::TimedOut:
            throw koNetError("No connection on " + what + " within " + Sys::secondsText(timeout) + " s");
        case Sys::Wait::Ready:
            break;
        }
        peerLength = sizeof peer;
        const int fd = ::accept(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            Sys::setNonBlocking(fd, false);
            return fd;
        }
        const int error = errno;
        // Shutting the listening socket down wakes poll before the wake-up
        // pipe does, and accept then fails: report the shutdown, not that.
        if (isShut())
            throw koNetError("Waiting for a connection on " + what + " was shut down");
        if (!isTransientAcceptError(error))
            throw koNetError("Accepting a connection on " + what + " failed: " + Sys::errorText(error));
        if (!isOutOfResources(error))
            continue;
        if (Sys::waitReadable(-1, wakeFd, backoffMs) == Sys::Wait::Woken)
            throw koNetError("Waiting for a connection on " + what + " was shut down");
        backoffMs = std::min(2 * backoffMs, LastBackoffMs);
    }
}

} // namespace

koSocketLink::koSocketLink()
    : socket(new Socket)
{
}

koSocketLink::koSocketLink(const koSocketAddress& address, double timeout)
    : socket(new Socket)
{
    socket->peerName = address.toString();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddressList found;
    const std::string port = std::to_string(address.getPort());
    const int status = ::getaddrinfo(address.getHost().c_str(), port.c_str(), &hints, &found.list);
    if (status != 0)
        throw koNetError("Cannot resolve host '" + address.getHost() + "': " + ::gai_strerror(status));
    int error = 0;
    socket->fd = connectAny(found.list, Sys::toMilliseconds(timeout), error);
    if (socket->fd < 0) {
        const std::string to = "Connection to " + socket->peerName;
        if (error == ETIMEDOUT)
            throw koNetError(to + " timed out after " + Sys::secondsText(timeout) + " s");
        if (error == ECONNREFUSED)
            throw koNetError(to + " refused");
        throw koNetError(to + " failed: " + Sys::errorText(error));
    }
    configureTcp(socket->fd);
    socket->address = localAddress(socket->fd);
}

koSocketLink::koSocketLink(const koBoundSocketLink& bound)
    : socket(new Socket)
{
    sockaddr_storage peer{};
    socklen_t length = 0;
    const Socket& listening = *bound.socket;
    socket->fd = acceptNext(listening.fd, listening.wakeRead, [&bound] { return bound.isShutdown(); }, -1.0,
                            "port " + std::to_string(listening.address.getPort()), peer, length);
    configureTcp(socket->fd);
    socket->peerName = Sys::addressText(reinterpret_cast<sockaddr*>(&peer), length);
    socket->address = localAddress(socket->fd);
}

koSocketLink::koSocketLink(koSocketPipe& pipe, double timeout)
    : socket(new Socket)
{
    sockaddr_storage peer{};
    socklen_t length = 0;
    koSocketPipe::State& listening = *pipe.state;
    socket->fd = acceptNext(listening.fd, listening.wakeRead, [&listening] { return listening.shut.load(); }, timeout,
                            "pipe " + pipe.getName(), peer, length);
    preventSigpipe(socket->fd);
    socket->peerName = "pipe " + pipe.getName();
}

koSocketLink::~koSocketLink() = default;

std::shared_ptr<koSocketLink> koSocketLink::connectPipe(const std::string& name, double timeout)
{
    const std::string path = koSocketPipe::pathFor(name);
    std::shared_ptr<koSocketLink> link(new koSocketLink);
    Socket& s = *link->socket;
    s.peerName = "pipe " + name;
    sockaddr_un address = koSocketPipe::State::unixAddress(path);
    s.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s.fd < 0)
        throw koNetError("Cannot create a socket for pipe " + name + ": " + Sys::errorText(errno));
    // A local connect only waits while the listener's backlog is full; the
    // send time-out bounds that wait and is lifted once connected.
    timeval limit{};
    const int ms = Sys::toMilliseconds(timeout);
    if (ms > 0) {
        limit.tv_sec = ms / 1000;
        limit.tv_usec = (ms % 1000) * 1000;
        ::setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    int result;
    do {
        result = ::connect(s.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        const int error = errno;
        const std::string to = "Connection to " + s.peerName;
        if (error == EAGAIN || error == ETIMEDOUT)
            throw koNetError(to + " timed out after " + Sys::secondsText(timeout) + " s");
        if (error == ECONNREFUSED || error == ENOENT)
            throw koNetError(to + " refused (" + path + ")");
        throw koNetError(to + " failed: " + Sys::errorText(error));
    }
    limit = timeval{};
    ::setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    preventSigpipe(s.fd);
    return link;
}

std::pair<std::shared_ptr<koSocketLink>, std::shared_ptr<koSocketLink>> koSocketLink::createPair()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0)
        throw koNetError("Cannot create a socket pair: " + Sys::errorText(errno));
    std::shared_ptr<koSocketLink> first(new koSocketLink);
    std::shared_ptr<koSocketLink> second(new koSocketLink);
    first->socket->fd = fds[0];
    second->socket->fd = fds[1];
    first->socket->peerName = "socket pair end 2";
    second->socket->peerName = "socket pair end 1";
    preventSigpipe(fds[0]);
    preventSigpipe(fds[1]);
    return {first, second};
}

// Before a cipher is set, write() hands the bytes to the socket as they are;
// going through it keeps the send lock.
void koSocketLink::send(const void* data, std::size_t size)
{
    write(data, size);
}

void koSocketLink::recv(void* data, std::size_t size)
{
    readRaw(static_cast<char*>(data), size);
}

const koSocketAddress& koSocketLink::getAddress() const
{
    return socket->address;
}

void koSocketLink::shutdown()
{
    // The flag first, so that the woken thread reports a shut-down link
    // rather than a peer that closed.
    markShutdown();
    ::shutdown(socket->fd, SHUT_RDWR);
}

void koSocketLink::setRecvTimeout(double seconds)
{
    socket->recvTimeoutMs.store(Sys::toMilliseconds(seconds));
}

std::string koSocketLink::getPeerName() const
{
    return socket->peerName;
}

// The test hook; an option the system lacks reads as 0.
koSocketLink::TcpOptions koSocketLink::readTcpOptions() const
{
    const auto get = [this](int level, int name) {
        int value = 0;
        socklen_t length = sizeof value;
        ::getsockopt(socket->fd, level, name, &value, &length);
        return value;
    };
    return {get(IPPROTO_TCP, TCP_NODELAY), get(SOL_SOCKET, SO_KEEPALIVE), get(IPPROTO_TCP, TCP_KEEPIDLE),
            get(IPPROTO_TCP, TCP_KEEPINTVL), get(IPPROTO_TCP, TCP_KEEPCNT), get(IPPROTO_TCP, TCP_USER_TIMEOUT)};
}

void koSocketLink::rawSend(const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(socket->fd, data, size, kSendFlags);
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        const int error = errno;
        if (isShutdown())
            throw koNetError("Link to " + socket->peerName + " has been shut down");
        throw koNetError("Sending to " + socket->peerName + " failed: " + Sys::errorText(error));
    }
}

std::size_t koSocketLink::rawRecv(char* data, std::size_t size)
{
    for (;;) {
        if (isShutdown())
            throw koNetError("Link to " + socket->peerName + " has been shut down");
        // With a time limit, bytes that are already there are taken without
        // a poll first: one system call per receive while data flows.
        const int timeoutMs = socket->recvTimeoutMs.load();
        ssize_t received = timeoutMs > 0 ? ::recv(socket->fd, data, size, MSG_DONTWAIT) : -1;
        if (received < 0 && timeoutMs > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Sys::waitReadable(socket->fd, -1, timeoutMs) == Sys::Wait::TimedOut)
                throw koNetError("Receiving from " + socket->peerName + " timed out after "
                                 + Sys::secondsText(timeoutMs / 1000.0) + " s");
            continue;
        }
        if (timeoutMs <= 0)
            received = ::recv(socket->fd, data, size, 0);
        if (received > 0)
            return static_cast<std::size_t>(received);
        const int error = errno;
        if (isShutdown())
            throw koNetError("Link to " + socket->peerName + " has been shut down");
        if (received == 0)
            throw koConnectionClosed("Connection closed by " + socket->peerName);
        if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK)
            throw koNetError("Receiving from " + socket->peerName + " failed: " + Sys::errorText(error));
    }
}
