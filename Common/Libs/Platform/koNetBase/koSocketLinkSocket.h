#pragma once

// The socket behind a koSocketLink, shared by koSocketLink.cpp and
// koBoundSocketLink.cpp. Private to the platform implementation.

#include "koSocketLink.h"
#include "koSocketSystem.h"

#include <atomic>
#include <string>

struct koSocketLink::Socket
{
    int fd = -1;
    // Wake-up pipe of a listening socket: shutdown() writes, accept waits on it.
    int wakeRead = -1;
    int wakeWrite = -1;
    koSocketAddress address{"", 0};
    std::string peerName;
    // Read by the receiving thread, set by any thread.
    std::atomic<int> recvTimeoutMs{-1};

    Socket() = default;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket()
    {
        koSocketSystem::closeFd(fd);
        koSocketSystem::closeFd(wakeRead);
        koSocketSystem::closeFd(wakeWrite);
    }
};
