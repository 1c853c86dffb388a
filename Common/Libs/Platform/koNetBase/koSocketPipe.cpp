#include "koSocketPipe.h"

#include "koNetError.h"
#include "koSocketPipeState.h"
#include "koSocketSystem.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using Sys = koSocketSystem;

namespace {

// True when a live listener answers on `path`; a file left behind by a
// process that died refuses.
bool someoneListens(const sockaddr_un& address)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return live;
}

} // namespace

sockaddr_un koSocketPipe::State::unixAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw koNetError("Pipe path '" + path + "' is longer than "
                         + std::to_string(sizeof address.sun_path - 1) + " bytes");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

koSocketPipe::koSocketPipe(std::string name)
    : state(new State)
{
    state->name = std::move(name);
    state->path = pathFor(state->name);
    const sockaddr_un address = State::unixAddress(state->path);
    if (someoneListens(address))
        throw koNetError("Pipe " + state->name + " is already in use (" + state->path + ")");
    ::unlink(state->path.c_str());
    try {
        state->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (state->fd < 0)
            throw koNetError("Cannot create pipe " + state->name + ": " + Sys::errorText(errno));
        if (::bind(state->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0
            || ::listen(state->fd, SOMAXCONN) < 0)
            throw koNetError("Cannot listen on pipe " + state->name + " (" + state->path + "): "
                             + Sys::errorText(errno));
        Sys::setNonBlocking(state->fd, true);
        Sys::makeWakePipe(state->wakeRead, state->wakeWrite);
    } catch (...) {
        Sys::closeFd(state->fd);
        throw;
    }
}

koSocketPipe::~koSocketPipe()
{
    if (state->fd >= 0)
        ::unlink(state->path.c_str());
    Sys::closeFd(state->fd);
    Sys::closeFd(state->wakeRead);
    Sys::closeFd(state->wakeWrite);
}

void koSocketPipe::shutdown()
{
    state->shut.store(true);
    Sys::wake(state->wakeWrite);
}

const std::string& koSocketPipe::getName() const
{
    return state->name;
}

std::string koSocketPipe::pathFor(const std::string& name)
{
    if (!name.empty() && name.front() == '/')
        return name;
    // A fixed folder rather than $TMPDIR, so that two processes with
    // different environments still find each other.
    return "/tmp/" + name;
}
