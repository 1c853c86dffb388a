// The session link decoder: any text a user pastes, with any password. The
// input is the password, a line feed, then the link. A link made for an
// address decodes back to it.

#include "koFuzzSupport.h"

#include "koSession.h"

#include <QString>

#include <cstdint>
#include <cstring>

namespace {

const char Target[] = "fuzz_session_link";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    const void* newline = std::memchr(text, '\n', size);
    const std::size_t split = newline ? static_cast<const char*>(newline) - text : 0;
    const QString password = QString::fromUtf8(text, static_cast<int>(split));
    const QString link = QString::fromUtf8(text + split + (newline ? 1 : 0),
                                           static_cast<int>(size - split - (newline ? 1 : 0)));

    QString address;
    QString sessionId;
    koSession::tryDecryptSessionLink(password, link, address, sessionId);

    // The address part of any input, made into a link with this password and
    // decoded again, gives the address back.
    if (address.contains(QLatin1Char('/')))
        return 0;
    const QString made = koSession::createSessionLink(address, password);
    QString madeAddress;
    QString madeId;
    koFuzz::check(koSession::tryDecryptSessionLink(password, made, madeAddress, madeId), Target,
                  "a link made with this password is refused");
    koFuzz::check(madeAddress == address, Target, "a link made for an address decodes to another");
    return 0;
}
