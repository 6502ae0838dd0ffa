#include "wfm_dsss.h"

#include <cstring>

namespace {

vx_cf32 negated(vx_cf32 s)  // flip the sign bits: exact, and -0 for a zero part
{
    uint32_t re, im;
    std::memcpy(&re, &s.re, 4);
    std::memcpy(&im, &s.im, 4);
    re ^= 0x80000000u;
    im ^= 0x80000000u;
    std::memcpy(&s.re, &re, 4);
    std::memcpy(&s.im, &im, 4);
    return s;
}

}  // namespace

extern "C" {

void wfm_dsss_spread(const vx_cf32 *symbols, uint64_t count, const uint8_t *chips, uint64_t len, vx_cf32 *out)
{
    if (!symbols || !chips || !out)
        return;
    for (uint64_t k = 0; k < count; ++k) {
        const vx_cf32 s = symbols[k], ns = negated(symbols[k]);
        for (uint64_t i = 0; i < len; ++i)
            out[k * len + i] = chips[i] & 1 ? ns : s;
    }
}

uint64_t wfm_cont_dsss_chips(const uint8_t *code, uint64_t code_len, const uint8_t *bits, uint64_t n_bits,
                             uint64_t n, uint8_t *out, double chips_per_bit)
{
    if (!code || !bits || !out || code_len == 0 || n_bits == 0 || n == 0 || !(chips_per_bit > 0))
        return 0;
    for (uint64_t i = 0; i < n; ++i) {
        // Divide, not multiply by the reciprocal: 1/2.5 rounds, and i * 0.4 can land a whole
        // bit boundary one chip late.
        const double b = static_cast<double>(i) / chips_per_bit;
        const uint64_t bit = b < 0x1p64 ? static_cast<uint64_t>(b) : UINT64_MAX;
        out[i] = static_cast<uint8_t>((bits[bit % n_bits] ^ code[i % code_len]) & 1);
    }
    return n;
}

}  // extern "C"
