// Bit strings. Position k of a string holds, in big order, bit k of the written sequence;
// little order reverses each group of 8 (the last group within its own length), so one
// index map serves every function.
#include "bitstr.h"

namespace {

bool valid_order(uint32_t order) { return order <= VX_BITORDER_LITTLE; }

// Where sequence bit k (most significant first) is stored in an n-bit string.
inline uint64_t slot(uint64_t k, uint64_t n, uint32_t order)
{
    if (order == VX_BITORDER_BIG)
        return k;
    const uint64_t group = k & ~uint64_t{7};
    const uint64_t len = n - group < 8 ? n - group : 8;
    return group + (len - 1 - (k - group));
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" {

VX_API uint64_t int_to_bin(uint64_t v, uint64_t n_bits, uint8_t *out, uint64_t out_len,
                           uint32_t order)
{
    if (!out || n_bits < 1 || n_bits > 64 || out_len < n_bits || !valid_order(order))
        return 0;
    for (uint64_t k = 0; k < n_bits; ++k)
        out[slot(k, n_bits, order)] = (v >> (n_bits - 1 - k)) & 1u;
    return n_bits;
}

VX_API uint64_t hex_to_bin(const char *hex, uint8_t *out, uint64_t out_len, uint32_t order)
{
    if (!hex || !out || !valid_order(order) || hex[0] == '\0')
        return 0;
    uint64_t digits = 0;
    for (; hex[digits]; ++digits)
        if (hex_value(hex[digits]) < 0)
            return 0;
    if (digits > out_len / 4)
        return 0;
    const uint64_t n = 4 * digits;
    for (uint64_t k = 0; k < n; ++k)
        out[slot(k, n, order)] = (hex_value(hex[k / 4]) >> (3 - k % 4)) & 1;
    return n;
}

VX_API uint64_t bin_to_int(const uint8_t *bits, uint64_t n_bits, uint32_t order)
{
    if (!bits || n_bits < 1 || n_bits > 64 || !valid_order(order))
        return 0;
    uint64_t v = 0;
    for (uint64_t k = 0; k < n_bits; ++k)
        v = v << 1 | (bits[slot(k, n_bits, order)] != 0);
    return v;
}

VX_API uint64_t bin_to_hex(const uint8_t *bits, uint64_t n_bits, char *out, uint64_t out_len,
                           uint32_t order)
{
    if (!bits || !out || n_bits == 0 || n_bits % 4 || !valid_order(order) ||
        out_len < n_bits / 4 + 1)
        return 0;
    static constexpr char DIGITS[] = "0123456789abcdef";
    const uint64_t digits = n_bits / 4;
    for (uint64_t d = 0; d < digits; ++d) {
        unsigned v = 0;
        for (uint64_t k = 4 * d; k < 4 * d + 4; ++k)
            v = v << 1 | (bits[slot(k, n_bits, order)] != 0);
        out[d] = DIGITS[v];
    }
    out[digits] = '\0';
    return digits;
}

VX_API uint64_t bin_to_nrz(const uint8_t *bits, uint64_t n, float *out, uint64_t out_len)
{
    if (!bits || !out || n == 0 || n > out_len)
        return 0;
    for (uint64_t i = 0; i < n; ++i)
        out[i] = bits[i] ? -1.0f : 1.0f;
    return n;
}

VX_API uint64_t nrz_to_bin(const float *x, uint64_t n, uint8_t *out, uint64_t out_len)
{
    if (!x || !out || n == 0 || n > out_len)
        return 0;
    for (uint64_t i = 0; i < n; ++i)
        out[i] = x[i] < 0.0f;
    return n;
}

}  // extern "C"
