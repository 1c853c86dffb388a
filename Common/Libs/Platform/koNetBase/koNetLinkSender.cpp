#include "koNetLinkSender.h"

#include "koNetLink.h"

std::shared_ptr<koNetLinkSender> koNetLinkSender::create(const std::shared_ptr<koNetLink>& link)
{
    return std::shared_ptr<koNetLinkSender>(new koNetLinkSender(link));
}

koNetLinkSender::koNetLinkSender(const std::shared_ptr<koNetLink>& link)
    : link(link)
{
}

koNetLinkSender::~koNetLinkSender() = default;

void koNetLinkSender::send(const void* data, std::size_t size)
{
    link->write(data, size);
}

void koNetLinkSender::shutdown()
{
    link->shutdown();
}

const std::shared_ptr<koNetLink>& koNetLinkSender::getLink() const
{
    return link;
}
