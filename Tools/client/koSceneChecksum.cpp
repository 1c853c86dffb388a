#include "koSceneChecksum.h"

#include "koProgressPieces.h"

#include <openssl/evp.h>

#include <memory>

QByteArray koSceneChecksum::of(const char* data, std::size_t size)
{
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return QByteArray();
    // Pieces also keep each length within OpenSSL's int-sized counters.
    const bool hashed = koProgressPieces::run("Checking scene ...", size, [&](std::size_t offset, std::size_t length) {
        return EVP_DigestUpdate(context.get(), data + offset, length) == 1;
    });
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    if (!hashed || EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char*>(digest.data()), &length) != 1)
        return QByteArray();
    digest.resize(static_cast<int>(length));
    return digest;
}
