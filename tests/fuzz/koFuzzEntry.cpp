// One fuzz program: the target of koFuzzSupport.cpp that the build names in
// KOSESSION_FUZZ_TARGET.
#include <cstddef>
#include <cstdint>

namespace koFuzz {
int KOSESSION_FUZZ_TARGET(const std::uint8_t* data, std::size_t size);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return koFuzz::KOSESSION_FUZZ_TARGET(data, size);
}
