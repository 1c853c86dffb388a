#include "koSceneChecksum.h"

#include "koNetProgress.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace {

// Small enough that an abort waits for at most a few milliseconds; also
// keeps each length within OpenSSL's int-sized counters.
constexpr std::size_t Piece = std::size_t(16) << 20;

} // namespace

QByteArray koSceneChecksum::of(const char* data, std::size_t size)
{
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    koNetProgress::start("Checking scene ...", static_cast<double>(size));
    for (std::size_t done = 0; ok && done < size && !koNetProgress::isAborting(); done += Piece) {
        const std::size_t piece = std::min(Piece, size - done);
        ok = EVP_DigestUpdate(context.get(), data + done, piece) == 1;
        koNetProgress::add(static_cast<double>(piece));
    }
    koNetProgress::start(std::string(), 0.0);
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    if (!ok || koNetProgress::isAborting()
        || EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char*>(digest.data()), &length) != 1)
        return QByteArray();
    digest.resize(static_cast<int>(length));
    return digest;
}
