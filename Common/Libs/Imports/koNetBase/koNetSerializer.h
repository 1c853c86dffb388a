#pragma once

#include "koPlatformExport.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Writes and reads plain values as raw bytes. Integers travel least significant
// byte first whatever the host's order; a bool is one byte (1 or 0) and any
// non-zero byte reads as true; a byte count (value size) is 8 bytes, unsigned,
// little-endian.
//
// putBytes and getBytes are the only transport: a subclass over memory sees
// exactly the bytes that a writer produces. getBytes returns only when all the
// bytes asked for are there, and throws koNetError otherwise.
class KOPLATFORM_EXPORT koNetSerializer
{
public:
    virtual ~koNetSerializer();

    virtual void putBytes(const void* data, std::size_t size) = 0;
    virtual void getBytes(void* data, std::size_t size) = 0;

    template <class T>
    void putValue(const T& value);
    template <class T>
    void getValue(T& value);
    template <class T>
    T getValue();

    void putValueSize(const std::size_t& size);
    void getValueSize(std::size_t& size);
    std::size_t getValueSize();
};

template <class T>
void koNetSerializer::putValue(const T& value)
{
    static_assert(std::is_arithmetic<T>::value || std::is_enum<T>::value,
                  "koNetSerializer::putValue takes plain numbers only");
    if constexpr (std::is_same<T, bool>::value) {
        const unsigned char byte = value ? 1 : 0;
        putBytes(&byte, 1);
    } else if constexpr (std::is_floating_point<T>::value || std::is_enum<T>::value) {
        using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t,
                     std::conditional_t<sizeof(T) == 4, std::uint32_t,
                     std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint8_t>>>;
        static_assert(sizeof(Bits) == sizeof(T), "unsupported value width");
        Bits bits;
        std::memcpy(&bits, &value, sizeof bits);
        putValue(bits);
    } else {
        unsigned char bytes[sizeof(T)];
        using U = std::make_unsigned_t<T>;
        U v = static_cast<U>(value);
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            bytes[i] = static_cast<unsigned char>(v & 0xffu);
            if constexpr (sizeof(T) > 1)
                v = static_cast<U>(v >> 8);
        }
        putBytes(bytes, sizeof bytes);
    }
}

template <class T>
void koNetSerializer::getValue(T& value)
{
    static_assert(std::is_arithmetic<T>::value || std::is_enum<T>::value,
                  "koNetSerializer::getValue takes plain numbers only");
    if constexpr (std::is_same<T, bool>::value) {
        unsigned char byte = 0;
        getBytes(&byte, 1);
        value = byte != 0;
    } else if constexpr (std::is_floating_point<T>::value || std::is_enum<T>::value) {
        using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t,
                     std::conditional_t<sizeof(T) == 4, std::uint32_t,
                     std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint8_t>>>;
        Bits bits = 0;
        getValue(bits);
        std::memcpy(&value, &bits, sizeof bits);
    } else {
        unsigned char bytes[sizeof(T)];
        getBytes(bytes, sizeof bytes);
        using U = std::make_unsigned_t<T>;
        U v = 0;
        for (std::size_t i = sizeof(T); i-- > 0;) {
            if constexpr (sizeof(T) > 1)
                v = static_cast<U>(v << 8);
            v = static_cast<U>(v | bytes[i]);
        }
        value = static_cast<T>(v);
    }
}

template <class T>
T koNetSerializer::getValue()
{
    T value{};
    getValue(value);
    return value;
}
