#pragma once

// Pieces shared by the fuzz targets: the failure report, quiet logging, a
// reader of the control bytes that steer a target, and a keyed cipher pair.

#include "koNetCipher.h"
#include "koSocketLink.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace koFuzz {

// Ends the process with `what` when an invariant of a reader breaks. Both
// libFuzzer and the replay program report the abort with the input at fault.
[[noreturn]] void fail(const char* target, const std::string& what);
void check(bool condition, const char* target, const std::string& what);

// Drops the library's log lines and Qt's warnings: the readers log every
// refusal, and a fuzzer refuses millions. The formatting still runs. This
// library's LLVMFuzzerInitialize calls it for every target.
void quietLogs();

// Splits an input into control bytes taken from the front (selectors, chunk
// sizes) and the rest. Past the end every control byte reads as 0.
class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size);

    std::uint8_t takeByte();
    // A size in 1..limit from one control byte.
    std::size_t takeSize(std::size_t limit);
    std::vector<char> takeRest();
    std::size_t remaining() const { return size - position; }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
};

// Two socket links joined to each other and the ciphers a real key exchange
// over them gave each end, not installed on the links. The exchange runs the
// two roles on two threads; every wait is bounded by a receive time limit.
struct CipherPair
{
    std::shared_ptr<koSocketLink> clientLink;
    std::shared_ptr<koSocketLink> serverLink;
    std::shared_ptr<koNetCipher> client;
    std::shared_ptr<koNetCipher> server;
};
CipherPair makeCipherPair();

} // namespace koFuzz
