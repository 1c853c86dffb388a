#include "koConnectionClosed.h"

koConnectionClosed::koConnectionClosed(const std::string& message)
    : koNetError(message)
{
}

koConnectionClosed::~koConnectionClosed() = default;
