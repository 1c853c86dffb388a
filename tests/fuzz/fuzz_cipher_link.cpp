// Change records through an enciphered link: the input is written through the
// sending end of a fresh keyed socket pair in writes of chosen sizes, then
// that end closes; the receiving end reads records with a stream, as a
// peer's receiving thread does, until the link ends. Exercises the link's frame
// buffering and the record reader on plain text that did authenticate.

#include "koFuzzSupport.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSessionChange.h"

#include <cstdint>
#include <exception>
#include <thread>

namespace {

const char Target[] = "fuzz_cipher_link";
constexpr int MaxRecords = 64;
// type, changedBy, four flags, destination, state identifier length, payload size.
constexpr std::size_t MinRecordBytes = 4 + 2 + 4 + 2 + 4 + 8;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    koFuzz::Input input(data, size);
    const std::size_t write = input.takeSize(255) * input.takeSize(8);
    const std::vector<char> plain = input.takeRest();

    koFuzz::CipherPair pair = koFuzz::makeCipherPair();
    pair.clientLink->setCipher(pair.client);
    pair.serverLink->setCipher(pair.server);
    // The peer writes on a thread of its own, as a remote end would: small
    // writes make many frames, more than a socket buffer holds. It stops
    // when the reader has closed its end.
    std::thread peer([link = std::move(pair.clientLink), &plain, write]() mutable {
        try {
            for (std::size_t offset = 0; offset < plain.size(); offset += write)
                link->write(plain.data() + offset, std::min(write, plain.size() - offset));
        } catch (const std::exception&) {
        }
        link.reset();
    });

    std::size_t records = 0;
    {
        koNetStream stream(pair.serverLink);
        try {
            for (; records < MaxRecords; ++records) {
                koSessionChange change;
                change.getValue(stream);
            }
        } catch (const koNetError&) {
            // The records ran out, or one was malformed: the link ends.
        }
    }
    pair.serverLink->shutdown();
    pair.serverLink.reset();
    peer.join();
    koFuzz::check(records <= plain.size() / MinRecordBytes, Target, "more records read than the bytes can hold");
    return 0;
}
