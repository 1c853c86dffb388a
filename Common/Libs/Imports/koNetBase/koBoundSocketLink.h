#pragma once

#include "koSocketLink.h"

#include <string>

// A listening TCP socket on `host` (a name or an address; the first of its
// addresses that binds), or on every interface (IPv6 and IPv4) when `host` is
// empty. Port 0 takes a free port; getAddress().getPort() tells which.
// Throws koNetError when it cannot listen. shutdown() makes a blocked
// accept fail with koNetError, and every later accept too.
class koBoundSocketLink : public koSocketLink
{
public:
    explicit koBoundSocketLink(int port, const std::string& host = std::string());
    ~koBoundSocketLink() override;

    void shutdown() override;

private:
    friend class koSocketLink;
};
