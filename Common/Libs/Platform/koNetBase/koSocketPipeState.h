#pragma once

// The listening socket behind a koSocketPipe, shared by koSocketPipe.cpp and
// koSocketLink.cpp (which accepts on it). Private to the platform implementation.

#include "koSocketPipe.h"

#include <sys/un.h>

#include <atomic>
#include <string>

struct koSocketPipe::State
{
    std::string name;
    std::string path;
    int fd = -1;
    // shutdown() writes to wakeWrite; a waiting accept polls wakeRead.
    int wakeRead = -1;
    int wakeWrite = -1;
    std::atomic<bool> shut{false};

    // The socket address of `path`; throws koNetError when it is too long.
    static sockaddr_un unixAddress(const std::string& path);
};
