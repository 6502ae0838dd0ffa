// Mixer kernels: y[i] = x[i] · e^{j2π·(p + i·inc)/2^32} from the sine table, in single
// precision as lo_sample and the scalar reference compute it. The vector variants gather
// the table entries for a block of phases, split the inputs into real and imaginary
// vectors and do the reference's multiplies, subtraction and addition lane by lane, so
// every variant gives the reference's bits.
#pragma once

// GCC 12 warns inside its AVX-512 headers about the deliberately undefined merge operand
// of unmasked intrinsics; the warning is located in the header, so it is silenced there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>

#include "lo.h"
#include "vx_kernel.hpp"

namespace vx::mix_kernel {

// Mixes n samples from phase p; returns the phase after them.
using mix_fn = uint32_t (*)(const float *table, uint32_t p, uint32_t inc, const vx_cf32 *x,
                            uint64_t n, vx_cf32 *y);

// ---- scalar reference ----------------------------------------------------------------------

inline uint32_t reference(const float *table, uint32_t p, uint32_t inc, const vx_cf32 *x,
                          uint64_t n, vx_cf32 *y)
{
    for (uint64_t i = 0; i < n; ++i) {
        const vx_cf32 e = lo_sample(table, p);
        const vx_cf32 v = x[i]; // y may be x
        y[i] = {v.re * e.re - v.im * e.im, v.re * e.im + v.im * e.re};
        p += inc;
    }
    return p;
}

// ---- vector variants -----------------------------------------------------------------------

[[gnu::target("avx512f")]] inline uint32_t avx512(const float *table, uint32_t p, uint32_t inc,
                                                  const vx_cf32 *x, uint64_t n, vx_cf32 *y)
{
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i steps = _mm512_mullo_epi32(lane, _mm512_set1_epi32(static_cast<int>(inc)));
    const __m512i even = _mm512_add_epi32(lane, lane), odd = _mm512_add_epi32(even, _mm512_set1_epi32(1));
    const __m512i lo_half = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512i hi_half = _mm512_add_epi32(lo_half, _mm512_set1_epi32(8));
    const __m512i quarter = _mm512_set1_epi32(16384), mask = _mm512_set1_epi32(0xFFFF);
    uint64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i ph = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(p)), steps);
        const __m512i idx = _mm512_srli_epi32(ph, 16);
        const __m512 s = _mm512_i32gather_ps(idx, table, 4);
        const __m512 c = _mm512_i32gather_ps(_mm512_and_si512(_mm512_add_epi32(idx, quarter), mask), table, 4);
        const __m512 a = _mm512_loadu_ps(&x[i].re), b = _mm512_loadu_ps(&x[i + 8].re);
        const __m512 xr = _mm512_permutex2var_ps(a, even, b), xi = _mm512_permutex2var_ps(a, odd, b);
        const __m512 yr = _mm512_sub_ps(_mm512_mul_ps(xr, c), _mm512_mul_ps(xi, s));
        const __m512 yi = _mm512_add_ps(_mm512_mul_ps(xr, s), _mm512_mul_ps(xi, c));
        _mm512_storeu_ps(&y[i].re, _mm512_permutex2var_ps(yr, lo_half, yi));
        _mm512_storeu_ps(&y[i + 8].re, _mm512_permutex2var_ps(yr, hi_half, yi));
        p += 16 * inc;
    }
    return reference(table, p, inc, x + i, n - i, y + i);
}

[[gnu::target("avx2")]] inline uint32_t avx2(const float *table, uint32_t p, uint32_t inc,
                                             const vx_cf32 *x, uint64_t n, vx_cf32 *y)
{
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i steps = _mm256_mullo_epi32(lane, _mm256_set1_epi32(static_cast<int>(inc)));
    const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7); // re to the low half
    const __m256i quarter = _mm256_set1_epi32(16384), mask = _mm256_set1_epi32(0xFFFF);
    uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i ph = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(p)), steps);
        const __m256i idx = _mm256_srli_epi32(ph, 16);
        const __m256 s = _mm256_i32gather_ps(table, idx, 4);
        const __m256 c = _mm256_i32gather_ps(table, _mm256_and_si256(_mm256_add_epi32(idx, quarter), mask), 4);
        const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(&x[i].re), split);
        const __m256 b = _mm256_permutevar8x32_ps(_mm256_loadu_ps(&x[i + 4].re), split);
        const __m256 xr = _mm256_permute2f128_ps(a, b, 0x20), xi = _mm256_permute2f128_ps(a, b, 0x31);
        const __m256 yr = _mm256_sub_ps(_mm256_mul_ps(xr, c), _mm256_mul_ps(xi, s));
        const __m256 yi = _mm256_add_ps(_mm256_mul_ps(xr, s), _mm256_mul_ps(xi, c));
        const __m256 lo = _mm256_unpacklo_ps(yr, yi), hi = _mm256_unpackhi_ps(yr, yi);
        _mm256_storeu_ps(&y[i].re, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(&y[i + 4].re, _mm256_permute2f128_ps(lo, hi, 0x31));
        p += 8 * inc;
    }
    return reference(table, p, inc, x + i, n - i, y + i);
}

// Kernels per SIMD level, best first; `level` names what vx_simd_level() reports.
struct Variant {
    const char *level;
    mix_fn mix;
};
inline constexpr Variant VARIANTS[] = {{"avx512f", avx512}, {"avx2", avx2}, {"sse2", reference}};

inline const Variant &best() { return best_variant(VARIANTS); }

}  // namespace vx::mix_kernel
