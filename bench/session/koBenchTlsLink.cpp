#include "koBenchTlsLink.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>
#include <string>

koBenchTlsLink::koBenchTlsLink(const koSocketAddress& address, double timeout)
    : koSocketLink(address, timeout)
    , context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free)
    , session(nullptr, SSL_free)
{
    if (context == nullptr || !SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION)
        || !SSL_CTX_set_ciphersuites(context.get(), "TLS_AES_256_GCM_SHA384"))
        fail(0, "setting up TLS 1.3 with AES-256-GCM");
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    session.reset(SSL_new(context.get()));
    if (session == nullptr)
        fail(0, "SSL_new");
    BIO* bio = socketBio(*this);
    SSL_set_bio(session.get(), bio, bio);
    const int result = SSL_connect(session.get());
    if (result != 1)
        fail(result, "TLS handshake");
}

koBenchTlsLink::~koBenchTlsLink() = default;

void koBenchTlsLink::rawSend(const char* data, std::size_t size)
{
    std::size_t written = 0;
    const int result = SSL_write_ex(session.get(), data, size, &written);
    if (result != 1)
        fail(result, "TLS write");
}

std::size_t koBenchTlsLink::rawRecv(char* data, std::size_t size)
{
    std::size_t read = 0;
    const int result = SSL_read_ex(session.get(), data, size, &read);
    if (result != 1)
        fail(result, "TLS read");
    return read;
}

// Throws what the socket threw, or else what OpenSSL reports.
void koBenchTlsLink::fail(int result, const char* step)
{
    if (pending) {
        const std::exception_ptr error = pending;
        pending = nullptr;
        std::rethrow_exception(error);
    }
    const int reason = session != nullptr ? SSL_get_error(session.get(), result) : SSL_ERROR_SSL;
    const unsigned long queued = ERR_get_error();
    throw std::runtime_error(std::string(step) + " with " + getPeerName() + " failed (SSL error "
                             + std::to_string(reason) + "): "
                             + (queued != 0 ? ERR_error_string(queued, nullptr) : "no further detail"));
}

// A BIO that moves the TLS records through the socket link underneath.
BIO* koBenchTlsLink::socketBio(koBenchTlsLink& link)
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "koBenchTlsLink");
        BIO_meth_set_write_ex(made, bioWrite);
        BIO_meth_set_read_ex(made, bioRead);
        BIO_meth_set_ctrl(made, bioControl);
        return made;
    }();
    BIO* bio = BIO_new(method);
    if (bio == nullptr)
        link.fail(0, "BIO_new");
    BIO_set_data(bio, &link);
    BIO_set_init(bio, 1);
    return bio;
}

int koBenchTlsLink::bioWrite(BIO* bio, const char* data, std::size_t size, std::size_t* written)
{
    auto* link = static_cast<koBenchTlsLink*>(BIO_get_data(bio));
    try {
        link->koSocketLink::rawSend(data, size);
        *written = size;
        return 1;
    } catch (...) {
        link->pending = std::current_exception();
        return 0;
    }
}

int koBenchTlsLink::bioRead(BIO* bio, char* data, std::size_t size, std::size_t* read)
{
    auto* link = static_cast<koBenchTlsLink*>(BIO_get_data(bio));
    try {
        *read = link->koSocketLink::rawRecv(data, size);
        return 1;
    } catch (...) {
        link->pending = std::current_exception();
        return 0;
    }
}

// The socket sends at once, so a flush always succeeds; nothing else applies.
long koBenchTlsLink::bioControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}
