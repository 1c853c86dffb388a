#pragma once

#include <cstddef>

// The machine's limit for the relay scenario: the same traffic as one
// participant pushing 124-byte records through the session server to N
// receivers, but over plain loopback TCP with no change list and no cipher.
// A sender writes a batch every 40 ms, a relay thread reads the batches into a
// shared store and one relay thread per receiver forwards what is new every
// 40 ms; receivers read record by record and check the sequence. The sender
// keeps at most `window` records in flight, as the session sender does.
class koPlainRelay
{
public:
    // Records delivered per second, all receivers together, over `seconds`.
    // Throws std::runtime_error when a record arrives out of sequence or a
    // connection fails during the run.
    static double run(int receivers, double seconds, std::size_t window);
};
