#pragma once

#include "koNetLink.h"
#include "koSocketAddress.h"

#include <memory>
#include <string>
#include <utility>

class koBoundSocketLink;
class koSocketPipe;

// A link over a stream socket: TCP (with TCP_NODELAY and keep-alive with a
// user time-out, so a vanished peer is noticed within about 20 seconds) or a
// local socket.
class koSocketLink : public koNetLink
{
public:
    // Connects to the address; gives up after `timeout` seconds (<= 0: the
    // system's own limit). Throws koNetError naming the address.
    koSocketLink(const koSocketAddress& address, double timeout);
    // Waits for the next connection on a listening socket. Running out of
    // descriptors, buffers or memory is waited out (pauses growing to about a
    // second) and an aborted connection skipped. Throws koNetError when the
    // listening socket is shut down while waiting, or on any other failure.
    explicit koSocketLink(const koBoundSocketLink& bound);
    // Waits for the next connection on a local pipe; `timeout` <= 0 waits
    // until one comes or the pipe is shut down.
    koSocketLink(koSocketPipe& pipe, double timeout);
    ~koSocketLink() override;

    // Connects to a local pipe made by koSocketPipe with the same name.
    static std::shared_ptr<koSocketLink> connectPipe(const std::string& name, double timeout);
    // Two links connected to each other, for tests of what runs over a link.
    static std::pair<std::shared_ptr<koSocketLink>, std::shared_ptr<koSocketLink>> createPair();

    // Raw bytes straight to and from the socket, before any stream or cipher
    // (the tunnel request line). recv reads exactly `size` bytes.
    void send(const void* data, std::size_t size);
    void recv(void* data, std::size_t size);

    // This end's own address (for a listening socket: its port).
    const koSocketAddress& getAddress() const;

    void shutdown() override;
    void setRecvTimeout(double seconds) override;
    std::string getPeerName() const override;

    // Test hook: the options of a TCP link's socket as the system reports
    // them, for tests that both ends notice a vanished peer.
    struct TcpOptions
    {
        int noDelay, keepAlive, keepIdleSeconds, keepIntervalSeconds, keepCount, userTimeoutMs;
    };
    TcpOptions readTcpOptions() const;

protected:
    koSocketLink(); // for koBoundSocketLink
    void rawSend(const char* data, std::size_t size) override;
    std::size_t rawRecv(char* data, std::size_t size) override;

    struct Socket;
    std::unique_ptr<Socket> socket;
};
