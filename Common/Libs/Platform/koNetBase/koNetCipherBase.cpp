#include "koNetCipherBase.h"

koNetCipherBase::~koNetCipherBase() = default;
