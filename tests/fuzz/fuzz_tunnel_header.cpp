// The tunnel header, read raw from a socket before any cipher, as the server
// reads a request line and the client the answer. The input goes into one
// end of a socket pair, which is then closed; the other end reads.

#include "koFuzzSupport.h"

#include "koConnectionClosed.h"
#include "koNetError.h"
#include "koSessionWire.h"
#include "koSocketLink.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

const char Target[] = "fuzz_tunnel_header";

// Where the header ends in `data`, or npos: the first blank line.
std::size_t headerEnd(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t at = text.find("\r\n\r\n");
    return at == std::string::npos ? at : at + 4;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto [writer, reader] = koSocketLink::createPair();
    reader->setRecvTimeout(10.0);
    // A socket pair's buffer holds far more than the longest input.
    writer->send(data, size);
    writer.reset();

    const std::size_t end = headerEnd(data, size);
    const bool fits = end != std::string::npos && end <= koSessionWire::MaxTunnelHeaderBytes;
    std::string header;
    try {
        header = koSessionWire::readTunnelHeader(*reader, "Tunnel request");
    } catch (const koConnectionClosed&) {
        koFuzz::check(end == std::string::npos && size < koSessionWire::MaxTunnelHeaderBytes, Target,
                      "the link closed although a header or the limit came first");
        return 0;
    } catch (const koNetError&) {
        koFuzz::check(!fits, Target, "a header within the limit was refused");
        return 0;
    }
    koFuzz::check(fits && header.size() == end && std::memcmp(header.data(), data, end) == 0, Target,
                  "the header read is not the input up to its blank line");
    // What follows the header stays on the link for the cipher.
    if (end < size) {
        char next = 0;
        reader->recv(&next, 1);
        koFuzz::check(static_cast<std::uint8_t>(next) == data[end], Target, "the byte after the header was lost");
    }
    return 0;
}
