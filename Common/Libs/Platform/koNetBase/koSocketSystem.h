#pragma once

// Small wrappers over the BSD socket calls shared by the socket classes of
// this library. Private to the platform implementation: nothing outside
// Platform/koNetBase includes it.

#include <string>

struct sockaddr;

class koSocketSystem
{
public:
    enum class Wait { Ready, Woken, TimedOut };

    // Text of an errno value, safe to call from any thread.
    static std::string errorText(int error);
    // Seconds as a person reads them in a message: "5", "0.25".
    static std::string secondsText(double seconds);
    // Milliseconds for poll(); -1 (no bound) for zero or less.
    static int toMilliseconds(double seconds);

    static void closeFd(int& fd);
    static void setNonBlocking(int fd, bool nonBlocking);

    // A pipe whose read end becomes readable for good once wake() wrote to it:
    // the way a thread waiting in poll() is told to give up.
    static void makeWakePipe(int& readFd, int& writeFd);
    static void wake(int writeFd);

    // Waits until `fd` has something to read (POLLIN), `wakeFd` (may be -1)
    // was woken, or `timeoutMs` passed (-1: no bound). Retries on EINTR with
    // the time that is left. Throws koNetError when poll() fails.
    static Wait waitReadable(int fd, int wakeFd, int timeoutMs);
    // Same for writability (a connect in progress); no wake pipe.
    static Wait waitWritable(int fd, int timeoutMs);

    // Numeric "host:port" ("[v6]:port") of a socket address; IPv4 addresses
    // mapped into IPv6 are shown as IPv4.
    static std::string addressText(const sockaddr* address, unsigned length, int* port = nullptr,
                                   std::string* host = nullptr);
};
