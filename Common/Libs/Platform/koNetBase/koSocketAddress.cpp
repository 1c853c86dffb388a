#include "koSocketAddress.h"

#include "koNetError.h"

#include <cctype>

namespace {

constexpr int kMaxPort = 65535;

int parsePort(const std::string& text, const std::string& whole)
{
    bool digits = !text.empty() && text.size() <= 5;
    for (char c : text)
        digits = digits && std::isdigit(static_cast<unsigned char>(c));
    const int port = digits ? std::stoi(text) : -1;
    if (port < 0 || port > kMaxPort)
        throw koNetError("Invalid port '" + text + "' in address '" + whole + "' (0 to 65535)");
    return port;
}

} // namespace

// Accepted forms: "host", "host:port", "[v6addr]", "[v6addr]:port" and a bare
// IPv6 address (more than one colon, so it cannot carry a port).
koSocketAddress::koSocketAddress(const std::string& text, int defaultPort)
    : host(text)
    , port(defaultPort)
{
    if (defaultPort < 0 || defaultPort > kMaxPort)
        throw koNetError("Invalid port " + std::to_string(defaultPort) + " for '" + text + "' (0 to 65535)");
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos)
            throw koNetError("Invalid address '" + text + "': missing ']'");
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                throw koNetError("Invalid address '" + text + "': unexpected text after ']'");
            port = parsePort(rest.substr(1), text);
        }
        return;
    }
    const auto colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
        host = text.substr(0, colon);
        port = parsePort(text.substr(colon + 1), text);
    }
}

const std::string& koSocketAddress::getHost() const
{
    return host;
}

int koSocketAddress::getPort() const
{
    return port;
}

std::string koSocketAddress::toString() const
{
    const std::string number = std::to_string(port);
    if (host.find(':') != std::string::npos)
        return "[" + host + "]:" + number;
    return host + ":" + number;
}
