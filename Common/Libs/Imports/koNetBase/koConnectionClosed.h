#pragma once

#include "koNetError.h"

// The peer closed the link in an orderly way (end of stream). Derived from
// koNetError, so a caller that does not care why a link ended catches both.
class koConnectionClosed : public koNetError
{
public:
    explicit koConnectionClosed(const std::string& message);
    ~koConnectionClosed() override;
};
