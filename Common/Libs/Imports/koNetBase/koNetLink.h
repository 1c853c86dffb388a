#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class koNetCipherBase;

// One connection to a peer. A link owns its transport, its receive buffers and
// its cipher; streams (koNetStream) are only views that read and write through
// it, so several streams may use one link one after another.
//
// Threads: one thread may write while another reads. Writers are serialized by
// the send lock. Reading takes no lock: one thread reads a link at a time, and
// a link passes to another reading thread only through something that orders
// the two (starting or joining a thread). The two paths share nothing but the
// cipher object, whose two directions are independent.
//
// Releasing the last share of a link closes the connection.
class koNetLink : public std::enable_shared_from_this<koNetLink>
{
public:
    virtual ~koNetLink();

    koNetLink(const koNetLink&) = delete;
    koNetLink& operator=(const koNetLink&) = delete;

    // Sends all bytes (through the cipher when one is set). Throws koNetError.
    void write(const void* data, std::size_t size);
    // Reads exactly `size` bytes (through the cipher when one is set); blocks
    // until they are there. Throws koConnectionClosed when the peer closed the
    // link, koNetError on any other failure or after shutdown().
    void read(void* data, std::size_t size);
    // How many bytes read() can take at once, without waiting for the
    // transport (it may find more). Called by the thread that reads the link.
    std::size_t getReadableSize() const;

    // From now on every byte in both directions passes through the cipher.
    // Bytes that already arrived but were not read yet are taken as cipher text.
    // Called by the thread that reads the link, between its reads.
    void setCipher(const std::shared_ptr<koNetCipherBase>& cipher);

    // Wakes any thread blocked in read() or write() with koNetError; every later
    // call fails too. Safe to call from any thread, more than once.
    virtual void shutdown() = 0;
    bool isShutdown() const;

    // Bounds each wait for incoming bytes; 0 or less means no bound. A read that
    // waits longer fails with koNetError naming the peer and the limit.
    virtual void setRecvTimeout(double seconds) = 0;

    // The peer's address as text, for messages ("127.0.0.1:8889", "pipe kosession").
    virtual std::string getPeerName() const = 0;

protected:
    koNetLink();

    // Transport primitives. rawSend sends all bytes; rawRecv blocks until at
    // least one byte is there and returns how many it stored (at most `size`).
    // Both throw koNetError, rawRecv koConnectionClosed at the end of stream.
    virtual void rawSend(const char* data, std::size_t size) = 0;
    virtual std::size_t rawRecv(char* data, std::size_t size) = 0;

    // Reads exactly `size` bytes from the transport, bypassing the cipher but
    // not the bytes already buffered (used before a cipher is set up).
    void readRaw(char* data, std::size_t size);

    void markShutdown();

private:
    // Implementation details (buffers, locks, cipher) belong to the platform
    // implementation; see koNetLink.cpp.
    struct State;
    std::unique_ptr<State> state;

    // One attempt of the cipher on the receive buffer: (cipher, raw bytes,
    // their count, plain bytes given) -> raw bytes used.
    using OpenStep = std::function<std::size_t(koNetCipherBase&, const char*, std::size_t, std::size_t&)>;

    void readBuffered(char* data, std::size_t size);
    void openFrame();
    std::size_t openInto(char* out, std::size_t room);
    std::size_t openWith(const OpenStep& open);
    void receiveMore();
};
