#pragma once

#include <cstddef>
#include <memory>

class koNetLink;

// The reading end of a link, for a stream that one thread reads while another
// writes (koNetStream::setReceiver).
class koNetLinkReceiver
{
public:
    static std::shared_ptr<koNetLinkReceiver> create(const std::shared_ptr<koNetLink>& link);
    ~koNetLinkReceiver();

    // Exactly `size` bytes; throws koConnectionClosed or koNetError.
    void recv(void* data, std::size_t size);
    void shutdown();
    const std::shared_ptr<koNetLink>& getLink() const;

private:
    explicit koNetLinkReceiver(const std::shared_ptr<koNetLink>& link);
    std::shared_ptr<koNetLink> link;
};
