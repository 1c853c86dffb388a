#pragma once

#include <memory>
#include <vector>

// A keyed byte coder: each byte is combined with the next byte of a keystream
// derived from the key. A fresh coder with the same key undoes what another
// fresh coder did, so one routine both codes and decodes.
class koCrypt
{
public:
    explicit koCrypt(const std::vector<unsigned char>& key);
    virtual ~koCrypt();

    koCrypt(const koCrypt&) = delete;
    koCrypt& operator=(const koCrypt&) = delete;

    unsigned char code(unsigned char byte);

private:
    struct State;
    std::unique_ptr<State> state;
};
