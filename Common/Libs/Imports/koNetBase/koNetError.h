#pragma once

#include "koPlatformExport.h"

#include <stdexcept>
#include <string>

// Every failure of the network layer: time-outs, short reads, a shut-down link,
// a frame that fails authentication, a length above its bound. The message says
// what failed and where, so that it can be shown to a user as it is.
class KOPLATFORM_EXPORT koNetError : public std::runtime_error
{
public:
    explicit koNetError(const std::string& message);
    ~koNetError() override;
};
