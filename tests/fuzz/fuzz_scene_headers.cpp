// The scene transfer headers as the server reads an upload: the name field,
// the announced size, then the scene bytes, which may be fewer than
// announced.

#include "koFuzzSupport.h"
#include "koTestMemorySerializer.h"

#include "koNetError.h"
#include "koSessionSceneWire.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

const char Target[] = "fuzz_scene_headers";
const std::string Peer = "fuzz peer";
// The reader reserves the announced size at once, so that a scene is never
// moved while it arrives; the pages are only committed as bytes arrive. A
// server configured for scenes of at most 64 MiB keeps the fuzzer on the
// parsing instead of the allocator.
const std::uint64_t MaxSceneBytes = std::uint64_t(64) << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    koTest::MemorySerializer in(std::vector<char>(data, data + size));
    in.recordPieces = false;
    std::string name;
    std::uint64_t announced = 0;
    try {
        name = koSessionSceneWire::getName(in, Peer);
        announced = koSessionSceneWire::getSize(in, MaxSceneBytes, Peer);
    } catch (const koNetError&) {
        return 0;
    }
    koFuzz::check(name.size() < koSessionSceneWire::MaxNameBytes, Target, "a name above the limit was read");
    koFuzz::check(announced <= MaxSceneBytes, Target, "a size above the limit was read");
    const std::size_t dataStart = in.position;

    std::vector<char> scene;
    std::size_t pieces = 0;
    std::size_t read = 0;
    try {
        read = koSessionSceneWire::getData(in, scene, static_cast<std::size_t>(announced),
                                           [&pieces](std::size_t) { return ++pieces < 64; });
    } catch (const koNetError&) {
        // The link ended inside the data: the caller drops what it holds.
        return 0;
    }
    // What is held is what arrived, byte for byte.
    koFuzz::check(read == scene.size() && read <= announced, Target, "the count read and the bytes held differ");
    koFuzz::check(scene.size() <= size - dataStart, Target, "more scene bytes held than arrived");
    koFuzz::check(scene.empty() || std::memcmp(scene.data(), data + dataStart, scene.size()) == 0, Target,
                  "the scene bytes differ from those sent");
    return 0;
}
