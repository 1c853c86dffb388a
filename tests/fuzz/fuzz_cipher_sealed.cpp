// Plain bytes sealed by the sending cipher of a keyed link, in runs whose
// sizes the first bytes choose, and opened by the peer as the raw bytes
// arrive in pieces of another chosen size: the plain text comes out whole and
// in order. This is the path past authentication that random cipher text
// never reaches.

#include "koFuzzSupport.h"

#include "koNetError.h"

#include <cstdint>

namespace {

const char Target[] = "fuzz_cipher_sealed";

koFuzz::CipherPair& pair()
{
    // The two counters advance together, one frame per frame, as long as
    // every sealed frame is opened; each input does so.
    static koFuzz::CipherPair keyed = koFuzz::makeCipherPair();
    return keyed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    koFuzz::Input input(data, size);
    const std::size_t run = input.takeSize(255) * input.takeSize(16);
    const std::size_t step = input.takeSize(255) * input.takeSize(4);
    const std::vector<char> plain = input.takeRest();

    std::vector<char> sealed;
    for (std::size_t offset = 0; offset < plain.size(); offset += run)
        pair().client->seal(plain.data() + offset, std::min(run, plain.size() - offset), sealed);

    std::vector<char> opened;
    std::size_t used = 0;
    std::size_t arrived = 0;
    while (arrived < sealed.size()) {
        arrived += std::min(step, sealed.size() - arrived);
        try {
            used += pair().server->open(sealed.data() + used, arrived - used, opened);
        } catch (const koNetError& error) {
            koFuzz::fail(Target, std::string("a sealed frame was refused: ") + error.what());
        }
    }
    koFuzz::check(used == sealed.size(), Target, "sealed frames were left unopened");
    koFuzz::check(opened == plain, Target, "the opened plain text differs from what was sealed");
    return 0;
}
