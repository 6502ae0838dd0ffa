// Byte order of capture files: put and get values in a chosen order, whatever the host's.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace wfm {

// Reverse the bytes of one element of `n` bytes in place.
inline void swap_bytes(unsigned char *p, uint32_t n)
{
    for (uint32_t i = 0; i < n / 2; ++i) {
        const unsigned char t = p[i];
        p[i] = p[n - 1 - i];
        p[n - 1 - i] = t;
    }
}

// Whether values in a file of this order need swapping on this host.
inline bool needs_swap(bool big_endian) { return big_endian != (std::endian::native == std::endian::big); }

template <class T> void put(void *dst, T v, bool big_endian)
{
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    if (needs_swap(big_endian))
        swap_bytes(b, sizeof(T));
    std::memcpy(dst, b, sizeof(T));
}

template <class T> T get(const void *src, bool big_endian)
{
    unsigned char b[sizeof(T)];
    std::memcpy(b, src, sizeof(T));
    if (needs_swap(big_endian))
        swap_bytes(b, sizeof(T));
    T v;
    std::memcpy(&v, b, sizeof(T));
    return v;
}

}  // namespace wfm
