// Pieces both correlators use: the complex products, the zero-padding rule of an
// interpolated output grid, and the blob of count and accumulator.
#pragma once

#include <cstring>

#include "vx_blob.hpp"

namespace vx::corr_kernels {

inline vx_cf32 cmul(vx_cf32 a, vx_cf32 b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }

inline void mul_add(vx_cf32 *acc, const vx_cf32 *s, const vx_cf32 *r, uint64_t n)
{
    for (uint64_t k = 0; k < n; ++k) {
        const vx_cf32 v = cmul(s[k], r[k]);
        acc[k].re += v.re;
        acc[k].im += v.im;
    }
}

inline void scale(vx_cf32 *x, uint64_t n, float g)
{
    for (uint64_t k = 0; k < n; ++k) {
        x[k].re *= g;
        x[k].im *= g;
    }
}

inline void conj_inplace(vx_cf32 *x, uint64_t n)
{
    for (uint64_t k = 0; k < n; ++k)
        x[k].im = -x[k].im;
}

// The zero-padding rule over strided spectra (rows: stride 1; columns: stride = row length).
inline void zeropad(const vx_cf32 *s, uint64_t n, uint64_t ss, vx_cf32 *p, uint64_t m, uint64_t ps)
{
    if (m == n) {
        for (uint64_t k = 0; k < n; ++k)
            p[k * ps] = s[k * ss];
        return;
    }
    for (uint64_t k = 0; k < m; ++k)
        p[k * ps] = {0.0f, 0.0f};
    const uint64_t h = n / 2;
    for (uint64_t k = 0; k <= h; ++k)
        p[k * ps] = s[k * ss];
    for (uint64_t k = h + 1; k < n; ++k)
        p[(m - n + k) * ps] = s[k * ss];
    if (n % 2 == 0) {
        const vx_cf32 nyq = {s[h * ss].re * 0.5f, s[h * ss].im * 0.5f};
        p[h * ps] = nyq;
        p[(m - h) * ps] = nyq;
    }
}

inline uint64_t min_u(uint64_t a, uint64_t b) { return a < b ? a : b; }

inline vx_cf32 *cbuf(uint64_t n) { return static_cast<vx_cf32 *>(vx_calloc(n, sizeof(vx_cf32))); }

// Blob of either correlator: count and the accumulator.
inline uint64_t blob_bytes(uint64_t n) { return VX_STATE_HEADER_BYTES + sizeof(uint64_t) + n * sizeof(vx_cf32); }

inline void write_blob(void *out, uint32_t magic, uint16_t version, uint64_t count, const vx_cf32 *acc, uint64_t n)
{
    vx::BlobWriter(out, magic, version, blob_bytes(n)).put(count).put_bytes(acc, n * sizeof(vx_cf32));
}

inline int read_blob(const void *blob, uint32_t magic, uint16_t version, uint64_t dwell, uint64_t *count, vx_cf32 *acc,
              uint64_t n)
{
    if (vx_state_check_header(blob, magic, version, blob_bytes(n)) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader r(blob);
    const uint64_t c = r.get<uint64_t>();
    // The count decides when the next dump falls: at or past dwell it never would.
    if (dwell != 0 && c >= dwell)
        return VX_ERR_INVALID;
    *count = c;
    r.get_bytes(acc, n * sizeof(vx_cf32));
    return VX_OK;
}

}  // namespace vx::corr_kernels
