#include "koSessionCommandContext.h"

koSessionCommandContext::~koSessionCommandContext() = default;
