// One fuzz program: the target that the build names in KOSESSION_FUZZ_TARGET.
#include "koFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return koFuzz::KOSESSION_FUZZ_TARGET(data, size);
}
