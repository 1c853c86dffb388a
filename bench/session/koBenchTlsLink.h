#pragma once

#include "koSocketLink.h"

#include <exception>
#include <memory>

struct bio_st;
struct ssl_st;
struct ssl_ctx_st;

// A TCP link that speaks TLS 1.3 with AES-256-GCM, the cipher of the
// session's own links, so that a TLS server can be measured beside them. The
// peer's certificate is not verified: the bench only talks to a server it
// started itself on loopback.
//
// Threads: unlike koNetLink's contract, one thread at a time reads or writes
// (a TLS session's two directions share state).
class koBenchTlsLink : public koSocketLink
{
public:
    // Connects and completes the handshake. Throws koNetError when the
    // connection fails, std::runtime_error when the handshake does.
    koBenchTlsLink(const koSocketAddress& address, double timeout);
    ~koBenchTlsLink() override;

protected:
    void rawSend(const char* data, std::size_t size) override;
    std::size_t rawRecv(char* data, std::size_t size) override;

private:
    std::unique_ptr<ssl_ctx_st, void (*)(ssl_ctx_st*)> context;
    std::unique_ptr<ssl_st, void (*)(ssl_st*)> session;
    // What the socket threw inside an OpenSSL call, thrown again once the
    // call has returned (an exception must not unwind through C frames).
    std::exception_ptr pending;

    void fail(int result, const char* step);
    static bio_st* socketBio(koBenchTlsLink& link);
    static int bioWrite(bio_st* bio, const char* data, std::size_t size, std::size_t* written);
    static int bioRead(bio_st* bio, char* data, std::size_t size, std::size_t* read);
    static long bioControl(bio_st* bio, int command, long number, void* pointer);
};
