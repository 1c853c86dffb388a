#pragma once

#include <cstddef>
#include <memory>

class koNetLink;

// The writing end of a link, for a stream that one thread writes while another
// reads (koNetStream::setSender).
class koNetLinkSender
{
public:
    static std::shared_ptr<koNetLinkSender> create(const std::shared_ptr<koNetLink>& link);
    ~koNetLinkSender();

    void send(const void* data, std::size_t size); // throws koNetError
    void shutdown();
    const std::shared_ptr<koNetLink>& getLink() const;

private:
    explicit koNetLinkSender(const std::shared_ptr<koNetLink>& link);
    std::shared_ptr<koNetLink> link;
};
