#pragma once

#include "koSocketLink.h"

// A listening TCP socket on every interface (IPv6 and IPv4). Port 0 takes a
// free port; getAddress().getPort() tells which. shutdown() makes a blocked
// accept fail with koNetError, and every later accept too.
class koBoundSocketLink : public koSocketLink
{
public:
    explicit koBoundSocketLink(int port);
    ~koBoundSocketLink() override;

    void shutdown() override;

private:
    friend class koSocketLink;
};
