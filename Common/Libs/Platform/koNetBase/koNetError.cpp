#include "koNetError.h"

koNetError::koNetError(const std::string& message)
    : std::runtime_error(message)
{
}

koNetError::~koNetError() = default;
