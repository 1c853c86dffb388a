#include "koNetStream.h"

#include "koNetError.h"
#include "koNetLink.h"
#include "koNetLinkReceiver.h"
#include "koNetLinkSender.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The write buffer never grows past this; what would pass it goes out first.
constexpr std::size_t kWriteBufferLimit = 256 * 1024;
// A put at least this large (after the buffer went out) is handed to the link
// straight from the caller's memory instead of being copied.
constexpr std::size_t kDirectWrite = 64 * 1024;

// The success marker on the wire: the bytes "KoOk".
constexpr unsigned char kSuccessMarker[4] = {'K', 'o', 'O', 'k'};

} // namespace

koNetStream::koNetStream() = default;

koNetStream::koNetStream(const std::shared_ptr<koNetLink>& link)
    : sender(koNetLinkSender::create(link))
    , receiver(koNetLinkReceiver::create(link))
{
}

koNetStream::~koNetStream() = default;

void koNetStream::setSender(const std::shared_ptr<koNetLinkSender>& newSender)
{
    sender = newSender;
}

void koNetStream::setReceiver(const std::shared_ptr<koNetLinkReceiver>& newReceiver)
{
    receiver = newReceiver;
}

void koNetStream::putBytes(const void* data, std::size_t size)
{
    if (size == 0)
        return;
    if (buffer.size() + size > kWriteBufferLimit) {
        flush();
        if (size >= kDirectWrite) {
            sendOut(data, size);
            return;
        }
    }
    const char* bytes = static_cast<const char*>(data);
    buffer.insert(buffer.end(), bytes, bytes + size);
}

void koNetStream::getBytes(void* data, std::size_t size)
{
    if (size == 0)
        return;
    if (!receiver)
        throw koNetError("Cannot read " + std::to_string(size) + " bytes: the stream has no link");
    receiver->recv(data, size);
}

bool koNetStream::hasReadable() const
{
    return receiver && receiver->getLink()->getReadableSize() > 0;
}

void koNetStream::flush()
{
    if (buffer.empty())
        return;
    sendOut(buffer.data(), buffer.size());
    buffer.clear();
}

void koNetStream::sendSuccess()
{
    putBytes(kSuccessMarker, sizeof kSuccessMarker);
    flush();
}

void koNetStream::recvResult()
{
    unsigned char got[sizeof kSuccessMarker] = {};
    getBytes(got, sizeof got);
    if (std::memcmp(got, kSuccessMarker, sizeof got) == 0)
        return;
    char text[64];
    std::snprintf(text, sizeof text, "%02x %02x %02x %02x", got[0], got[1], got[2], got[3]);
    throw koNetError("Expected a success marker from " + receiver->getLink()->getPeerName()
                     + " but received the bytes " + text);
}

void koNetStream::shutdown()
{
    if (sender)
        sender->shutdown();
    if (receiver)
        receiver->shutdown();
}

void koNetStream::sendOut(const void* data, std::size_t size)
{
    if (!sender)
        throw koNetError("Cannot write " + std::to_string(size) + " bytes: the stream has no link");
    sender->send(data, size);
}
