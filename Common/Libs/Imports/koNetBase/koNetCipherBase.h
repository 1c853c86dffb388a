#pragma once

#include <cstddef>
#include <vector>

// Frames a byte stream and protects it. A link hands every outgoing run of
// bytes to seal() and every incoming run of raw bytes to open(); the two
// directions are independent, so one thread may seal while another opens.
class koNetCipherBase
{
public:
    virtual ~koNetCipherBase();

    // Largest plain text one frame carries; longer runs are split by seal().
    virtual std::size_t getMaxFrameSize() const = 0;

    // Appends the sealed frame(s) for `size` plain bytes to `out`.
    virtual void seal(const char* plain, std::size_t size, std::vector<char>& out) = 0;

    // Looks at raw bytes from the wire. When they begin with a whole frame,
    // authenticates it, appends its plain text to `plain` and returns how many
    // raw bytes it used; returns 0 when more raw bytes are needed. Throws
    // koNetError when the frame fails authentication, is out of order, or
    // announces a length above the bound.
    virtual std::size_t open(const char* raw, std::size_t size, std::vector<char>& plain) = 0;
};
