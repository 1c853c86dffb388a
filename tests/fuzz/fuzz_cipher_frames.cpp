// Raw bytes from the wire into the receiving cipher of a keyed link, arriving
// in pieces whose sizes the first bytes choose. Nothing made without the key
// may pass authentication: open() either waits for more bytes or refuses.

#include "koFuzzSupport.h"

#include "koNetError.h"

#include <cstdint>

namespace {

const char Target[] = "fuzz_cipher_frames";

koNetCipher& receiver()
{
    // Keyed once: a frame that fails leaves the cipher where it was, so one
    // receiver serves every input.
    static const koFuzz::CipherPair pair = koFuzz::makeCipherPair();
    return *pair.server;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    koFuzz::Input input(data, size);
    const std::size_t step = input.takeSize(64);
    const std::vector<char> raw = input.takeRest();
    std::vector<char> plain;
    std::size_t arrived = 0;
    while (arrived < raw.size()) {
        arrived += std::min(step, raw.size() - arrived);
        std::size_t used = 0;
        try {
            used = receiver().open(raw.data(), arrived, plain);
        } catch (const koNetError&) {
            break;
        }
        koFuzz::check(used == 0, Target, "a frame made without the key was accepted");
    }
    koFuzz::check(plain.empty(), Target, "plain text came out of a frame that did not authenticate");
    return 0;
}
