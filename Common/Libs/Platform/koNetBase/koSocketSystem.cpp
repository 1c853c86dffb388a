#include "koSocketSystem.h"

#include "koNetError.h"
#include "koSocketAddress.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

std::string koSocketSystem::errorText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

std::string koSocketSystem::secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

int koSocketSystem::toMilliseconds(double seconds)
{
    if (!(seconds > 0.0))
        return -1;
    const double ms = std::ceil(seconds * 1000.0);
    return ms > 2e9 ? 2000000000 : static_cast<int>(ms);
}

void koSocketSystem::closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void koSocketSystem::setNonBlocking(int fd, bool nonBlocking)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (flags < 0 || ::fcntl(fd, F_SETFL, wanted) < 0)
        throw koNetError("Cannot change the blocking mode of a socket: " + errorText(errno));
}

void koSocketSystem::makeWakePipe(int& readFd, int& writeFd)
{
    int fds[2];
    if (::pipe(fds) < 0)
        throw koNetError("Cannot create a wake-up pipe: " + errorText(errno));
    for (int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        setNonBlocking(fd, true);
    }
    readFd = fds[0];
    writeFd = fds[1];
}

void koSocketSystem::wake(int writeFd)
{
    // The read end is never drained, so one byte wakes every later wait too.
    const char byte = 1;
    if (writeFd >= 0) {
        const ssize_t written = ::write(writeFd, &byte, 1);
        (void)written; // a full pipe is already readable
    }
}

namespace {

koSocketSystem::Wait waitFor(int fd, short events, int wakeFd, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        int left = -1;
        if (timeoutMs >= 0) {
            const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            left = rest.count() > 0 ? static_cast<int>(rest.count()) : 0;
        }
        const int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, left);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw koNetError("Waiting on a socket failed: " + koSocketSystem::errorText(errno));
        }
        if (wakeFd >= 0 && fds[1].revents != 0)
            return koSocketSystem::Wait::Woken;
        if (fds[0].revents != 0)
            return koSocketSystem::Wait::Ready;
        if (ready == 0 && timeoutMs >= 0 && Clock::now() >= deadline)
            return koSocketSystem::Wait::TimedOut;
    }
}

} // namespace

koSocketSystem::Wait koSocketSystem::waitReadable(int fd, int wakeFd, int timeoutMs)
{
    return waitFor(fd, POLLIN, wakeFd, timeoutMs);
}

koSocketSystem::Wait koSocketSystem::waitWritable(int fd, int timeoutMs)
{
    return waitFor(fd, POLLOUT, -1, timeoutMs);
}

std::string koSocketSystem::addressText(const sockaddr* address, unsigned length, int* port,
                                        std::string* host)
{
    char hostText[NI_MAXHOST] = "";
    char portText[NI_MAXSERV] = "";
    if (::getnameinfo(address, static_cast<socklen_t>(length), hostText, sizeof hostText, portText,
                      sizeof portText, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "unknown address";
    std::string name = hostText;
    static const std::string mapped = "::ffff:";
    if (address->sa_family == AF_INET6 && name.compare(0, mapped.size(), mapped) == 0
        && name.find('.') != std::string::npos)
        name.erase(0, mapped.size());
    const int number = std::atoi(portText);
    if (port)
        *port = number;
    if (host)
        *host = name;
    return koSocketAddress(name, number).toString();
}
