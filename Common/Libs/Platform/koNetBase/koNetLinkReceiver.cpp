#include "koNetLinkReceiver.h"

#include "koNetLink.h"

std::shared_ptr<koNetLinkReceiver> koNetLinkReceiver::create(const std::shared_ptr<koNetLink>& link)
{
    return std::shared_ptr<koNetLinkReceiver>(new koNetLinkReceiver(link));
}

koNetLinkReceiver::koNetLinkReceiver(const std::shared_ptr<koNetLink>& link)
    : link(link)
{
}

koNetLinkReceiver::~koNetLinkReceiver() = default;

void koNetLinkReceiver::recv(void* data, std::size_t size)
{
    link->read(data, size);
}

void koNetLinkReceiver::shutdown()
{
    link->shutdown();
}

const std::shared_ptr<koNetLink>& koNetLinkReceiver::getLink() const
{
    return link;
}
