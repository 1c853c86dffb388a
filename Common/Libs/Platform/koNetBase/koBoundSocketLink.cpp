#include "koBoundSocketLink.h"

#include "koNetError.h"
#include "koSocketLinkSocket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

using Sys = koSocketSystem;

namespace {

constexpr int kMaxPort = 65535;

// Binds a listening socket to `address`; -1 with errno set when its family
// is not available or the bind fails.
int listenAt(const sockaddr* address, socklen_t length)
{
    int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Dual stack: IPv4 peers of the wildcard arrive as mapped addresses on the same socket.
    if (address->sa_family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (::bind(fd, address, length) < 0 || ::listen(fd, SOMAXCONN) < 0) {
        const int error = errno;
        Sys::closeFd(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Every interface: IPv6 with IPv4 mapped, or IPv4 alone where IPv6 is missing.
int listenEverywhere(int port)
{
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    any6.sin6_port = htons(static_cast<uint16_t>(port));
    int fd = listenAt(reinterpret_cast<const sockaddr*>(&any6), sizeof any6);
    if (fd < 0 && errno != EADDRINUSE) {
        sockaddr_in any4{};
        any4.sin_family = AF_INET;
        any4.sin_addr.s_addr = htonl(INADDR_ANY);
        any4.sin_port = htons(static_cast<uint16_t>(port));
        fd = listenAt(reinterpret_cast<const sockaddr*>(&any4), sizeof any4);
    }
    return fd;
}

// The first address of `host` that binds; a name that does not resolve
// throws, since nothing could be listened on.
int listenOnHost(const std::string& host, int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (status != 0)
        throw koNetError("Cannot listen on '" + host + "': " + ::gai_strerror(status));
    int fd = -1;
    for (addrinfo* entry = found; entry && fd < 0; entry = entry->ai_next)
        fd = listenAt(entry->ai_addr, entry->ai_addrlen);
    const int error = errno;
    ::freeaddrinfo(found);
    errno = error;
    return fd;
}

koSocketAddress boundAddress(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    std::string host;
    int port = 0;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        Sys::addressText(reinterpret_cast<sockaddr*>(&address), length, &port, &host);
    return koSocketAddress(host, port);
}

} // namespace

koBoundSocketLink::koBoundSocketLink(int port, const std::string& host)
{
    if (port < 0 || port > kMaxPort)
        throw koNetError("Cannot listen on port " + std::to_string(port) + ": not between 0 and 65535");
    const int fd = host.empty() ? listenEverywhere(port) : listenOnHost(host, port);
    if (fd < 0) {
        const std::string where = "port " + std::to_string(port) + (host.empty() ? "" : " of " + host);
        if (errno == EADDRINUSE)
            throw koNetError("Cannot listen on " + where + ": it is already in use");
        throw koNetError("Cannot listen on " + where + ": " + Sys::errorText(errno));
    }
    socket->fd = fd;
    Sys::setNonBlocking(fd, true);
    Sys::makeWakePipe(socket->wakeRead, socket->wakeWrite);
    socket->address = boundAddress(fd);
    socket->peerName = "listening port " + std::to_string(socket->address.getPort());
}

koBoundSocketLink::~koBoundSocketLink() = default;

void koBoundSocketLink::shutdown()
{
    markShutdown();
    // Stops listening, so that new connections are refused at once instead
    // of waiting in the backlog of a socket that nobody accepts from; the
    // descriptor stays open until the link goes, so no other socket can take
    // its number while the accept thread still looks at it.
    ::shutdown(socket->fd, SHUT_RDWR);
    Sys::wake(socket->wakeWrite);
}
