#pragma once

#include <string>

// A host and a port. The host text may carry a port of its own ("host:port",
// "[v6addr]:port"); the port argument applies only when it does not.
class koSocketAddress
{
public:
    koSocketAddress(const std::string& host, int port);

    const std::string& getHost() const; // without brackets or port
    int getPort() const;
    std::string toString() const; // "host:port", "[v6]:port"

private:
    std::string host;
    int port = 0;
};
