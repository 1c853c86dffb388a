#include "koSceneChecksum.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace {

// Fed in pieces, so no length has to fit OpenSSL's int-sized counters.
constexpr std::size_t Piece = std::size_t(16) << 20;

} // namespace

QByteArray koSceneChecksum::of(const char* data, std::size_t size)
{
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    for (std::size_t done = 0; ok && done < size; done += Piece)
        ok = EVP_DigestUpdate(context.get(), data + done, std::min(Piece, size - done)) == 1;
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char*>(digest.data()), &length) != 1)
        return QByteArray();
    digest.resize(static_cast<int>(length));
    return digest;
}
