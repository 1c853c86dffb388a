#pragma once

#include <cstddef>
#include <vector>

// Frames a byte stream and protects it. A link hands every outgoing run of
// bytes to sealInto() and every incoming run of raw bytes to openInto() or
// open(); the two directions are independent, so one thread may seal while
// another opens.
class koNetCipherBase
{
public:
    virtual ~koNetCipherBase();

    // Largest plain text one frame carries; longer runs are split by seal().
    virtual std::size_t getMaxFrameSize() const = 0;

    // Appends the sealed frame(s) for `size` plain bytes to `out`.
    virtual void seal(const char* plain, std::size_t size, std::vector<char>& out) = 0;

    // Writes the sealed frame(s) for `size` plain bytes to `out`, which has
    // `room` bytes, and returns how many it wrote. Room for the plain bytes
    // plus FrameSlack per frame always suffices. Throws koNetError when
    // `room` is too small or a frame cannot be sealed (nothing is sent then).
    virtual std::size_t sealInto(const char* plain, std::size_t size, char* out, std::size_t room) = 0;

    // Looks at raw bytes from the wire. When they begin with a whole frame,
    // authenticates it, appends its plain text to `plain` and returns how many
    // raw bytes it used; returns 0 when more raw bytes are needed. Throws
    // koNetError when the frame fails authentication, is out of order, or
    // announces a length above the bound.
    virtual std::size_t open(const char* raw, std::size_t size, std::vector<char>& plain) = 0;

    // Like open(), but writes the plain text of whole frames straight to
    // `out` as long as each fits in what is left of `room`; `opened` tells
    // how many plain bytes it wrote. Returns the raw bytes used: 0 when the
    // next frame is not whole yet or (only when `room` is below
    // getMaxFrameSize()) does not fit. A failed frame leaves nothing of its
    // plain text in `out` and throws as open() does, unless frames before it
    // were opened in this call: those are returned first.
    virtual std::size_t openInto(const char* raw, std::size_t size, char* out, std::size_t room,
                                 std::size_t& opened) = 0;

    // Bytes a frame adds to its plain text at most, for sizing sealInto's room.
    static constexpr std::size_t FrameSlack = 4096;
};
