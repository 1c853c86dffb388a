#include "koBoundSocketLink.h"

#include "koNetError.h"
#include "koSocketLinkSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

using Sys = koSocketSystem;

namespace {

constexpr int kMaxPort = 65535;

// Binds a listening socket of `family` on every interface; -1 with errno set
// when the family is not available or the bind fails.
int listenOn(int family, int port)
{
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        // Dual stack: IPv4 peers arrive as mapped addresses on the same socket.
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v4;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) < 0 || ::listen(fd, SOMAXCONN) < 0) {
        const int error = errno;
        Sys::closeFd(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int boundPort(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int port = 0;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        Sys::addressText(reinterpret_cast<sockaddr*>(&address), length, &port);
    return port;
}

} // namespace

koBoundSocketLink::koBoundSocketLink(int port)
{
    if (port < 0 || port > kMaxPort)
        throw koNetError("Cannot listen on port " + std::to_string(port) + ": not between 0 and 65535");
    int fd = listenOn(AF_INET6, port);
    bool v6 = fd >= 0;
    if (fd < 0 && errno != EADDRINUSE)
        fd = listenOn(AF_INET, port);
    if (fd < 0) {
        if (errno == EADDRINUSE)
            throw koNetError("Cannot listen on port " + std::to_string(port) + ": it is already in use");
        throw koNetError("Cannot listen on port " + std::to_string(port) + ": " + Sys::errorText(errno));
    }
    socket->fd = fd;
    Sys::setNonBlocking(fd, true);
    Sys::makeWakePipe(socket->wakeRead, socket->wakeWrite);
    const int actual = boundPort(fd);
    socket->address = koSocketAddress(v6 ? "::" : "0.0.0.0", actual);
    socket->peerName = "listening port " + std::to_string(actual);
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
