#pragma once

#include "koNetSerializer.h"

#include <memory>
#include <vector>

class koNetLink;
class koNetLinkSender;
class koNetLinkReceiver;

// A serializer over a link. Writes collect in the stream's own buffer until
// flush() (large writes go out in bounded chunks before that); reads take
// exactly the bytes asked for and never read ahead, so whatever follows a
// flush stays on the link for the next stream over it.
//
// Unflushed bytes are dropped when the stream is destroyed. A stream made with
// the default constructor does nothing until it is given a sender and a receiver.
//
// Threads: with a sender and a receiver set, one thread may write and flush
// while another reads. shutdown() may be called from any thread.
class koNetStream : public koNetSerializer
{
public:
    koNetStream();
    explicit koNetStream(const std::shared_ptr<koNetLink>& link);
    ~koNetStream() override;

    koNetStream(const koNetStream&) = delete;
    koNetStream& operator=(const koNetStream&) = delete;

    void setSender(const std::shared_ptr<koNetLinkSender>& sender);
    void setReceiver(const std::shared_ptr<koNetLinkReceiver>& receiver);

    void putBytes(const void* data, std::size_t size) override;
    void getBytes(void* data, std::size_t size) override;

    // Whether the next read finds bytes that have already come in, so that a
    // reader can take them as one batch and stop before it would wait. Called
    // by the reading thread; false without a receiver.
    bool hasReadable() const;

    // Sends everything put so far. Throws koNetError.
    void flush();

    // A success marker that the peer's recvResult() consumes. recvResult throws
    // koNetError when something else arrives.
    void sendSuccess();
    void recvResult();

    // Shuts the underlying link down: a thread blocked reading or writing
    // returns with koNetError. Does nothing on a stream without a link.
    void shutdown();

private:
    std::shared_ptr<koNetLinkSender> sender;
    std::shared_ptr<koNetLinkReceiver> receiver;
    std::vector<char> buffer;

    void sendOut(const void* data, std::size_t size);
};
