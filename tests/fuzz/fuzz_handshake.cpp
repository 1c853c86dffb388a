// The handshake texts and counts, read in the order a joining client reads
// the server's version answer: the version text, then the participant count
// and names. What reads cleanly is written back byte for byte.

#include "koFuzzSupport.h"
#include "koTestMemorySerializer.h"

#include "koNetError.h"
#include "koSessionVersionError.h"
#include "koSessionWire.h"

#include <algorithm>
#include <cstdint>

namespace {

const char Target[] = "fuzz_handshake";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    koTest::MemorySerializer in(std::vector<char>(data, data + size));
    in.recordPieces = false;
    QString version;
    try {
        version = koSessionWire::getText(in, "Server version text");
    } catch (const koNetError&) {
        return 0;
    }
    koFuzz::check(static_cast<std::uint32_t>(version.size()) <= koSessionWire::MaxTextUnits, Target,
                  "a text above the limit was read");
    const std::size_t textEnd = in.position;
    QStringList names;
    bool namesRead = true;
    try {
        names = koSessionWire::getNames(in);
    } catch (const koNetError&) {
        namesRead = false;
    }
    koFuzz::check(static_cast<std::uint64_t>(names.size()) <= koSessionWire::MaxNames, Target,
                  "more names than the limit were read");

    koTest::MemorySerializer out;
    out.recordPieces = false;
    koSessionWire::putText(out, version);
    koFuzz::check(out.bytes.size() == textEnd && std::equal(out.bytes.begin(), out.bytes.end(), in.bytes.begin()),
                  Target, "the text written back differs from the bytes read");
    if (namesRead) {
        koSessionWire::putNames(out, names);
        koFuzz::check(out.bytes.size() == in.position
                          && std::equal(out.bytes.begin(), out.bytes.end(), in.bytes.begin()),
                      Target, "the names written back differ from the bytes read");
    }
    // What a client hands the application when the versions differ.
    const koSessionVersionError error(version, names);
    koFuzz::check(error.getUserNames() == names && error.getVersion() == version, Target,
                  "the version error lost what it was given");
    return 0;
}
