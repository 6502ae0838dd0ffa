// CIC kernels: a scalar reference (quantise and integrate input by input) and, per ISA, a
// quantiser that codes a chunk of inputs by vector and an integrator that cuts the codes
// into P parts, runs them side by side from zero registers in the lanes of one vector (I
// and Q of each part) and chains them onto the registers by the closed form of cascaded
// running sums. Integer additions and products wrap the same way in any order, so every
// variant leaves the registers bit for bit as the reference does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "vx_base.h"
#include "vx_kernel.hpp"

// Vector values never cross a non-inlined call, so the ABI note about passing them does
// not apply (GCC emits it at the end of the including unit, hence no push/pop).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vx::cic_kernel {

constexpr int kOrder = 4;

// Registers of one component (I or Q). Unsigned: the wrap is the intended arithmetic.
struct Lane {
    uint64_t integ[kOrder];
    uint64_t comb[kOrder];
};

constexpr float kTop = 32767.0f / 16384.0f; // largest input with a code of its own

// Offset-binary code of one component; NaN counts as 0 and, like overflow, as clipping.
[[gnu::always_inline]] inline uint32_t quantise(float v, uint32_t &clip)
{
    const bool in_range = (v >= -2.0f) & (v <= kTop);
    clip |= !in_range;
    const float c = in_range ? v : v > kTop ? kTop : v < -2.0f ? -2.0f : 0.0f;
    return static_cast<uint32_t>(static_cast<int32_t>(c * 16384.0f) + 32768);
}

// ---- scalar reference ----------------------------------------------------------------------

inline void reference(Lane *lane, const vx_cf32 *x, uint64_t m, uint32_t *clip)
{
    uint32_t cl = 0;
    for (uint64_t k = 0; k < m; ++k) {
        const uint64_t c[2] = {quantise(x[k].re, cl), quantise(x[k].im, cl)};
        for (int q = 0; q < 2; ++q) {
            uint64_t *s = lane[q].integ;
            s[0] += c[q];
            s[1] += s[0];
            s[2] += s[1];
            s[3] += s[2];
        }
    }
    *clip |= cl;
}

// ---- block form ----------------------------------------------------------------------------

// Eight floats (four inputs) per vector, one shape for every ISA (each clone splits it into
// its own registers).
constexpr int W = 8;
typedef float vf __attribute__((vector_size(W * sizeof(float))));
typedef int32_t vi __attribute__((vector_size(W * sizeof(int32_t))));
typedef uint64_t vu __attribute__((vector_size(W * sizeof(uint64_t))));

constexpr uint64_t kCodes = 256; // inputs quantised per pass, into a fixed stack buffer

// Codes of n inputs (interleaved I, Q), as `quantise` gives them: by vector, then the tail.
[[gnu::always_inline]] inline void quantise_block(const vx_cf32 *x, uint64_t n, uint64_t *code,
                                                  uint32_t *clip)
{
    const float *xf = &x[0].re;
    const uint64_t nf = 2 * n, nv = nf / W * W;
    const vf zero = {}, top = zero + kTop, bottom = zero - 2.0f;
    vi out = {};
    for (uint64_t j = 0; j < nv; j += W) {
        vf v;
        std::memcpy(&v, xf + j, sizeof v);
        const vi in_range = (v >= -2.0f) & (v <= kTop);
        out |= ~in_range;
        // The saturated value by masks (NaN meets none of them and becomes 0).
        const vi bits = ((vi)v & in_range) | ((vi)top & (v > kTop)) | ((vi)bottom & (v < -2.0f));
        const vu c = __builtin_convertvector(__builtin_convertvector((vf)bits * 16384.0f, vi) + 32768, vu);
        std::memcpy(code + j, &c, sizeof c);
    }
    uint32_t cl = 0;
    for (int l = 0; l < W; ++l)
        cl |= out[l] != 0;
    for (uint64_t j = nv; j < nf; ++j)
        code[j] = quantise(xf[j], cl);
    *clip |= cl;
}

// Four cascaded running sums of one component over m inputs, from registers s, by the
// closed form: with d_t the same sums run from zero registers,
//   s0' = s0 + d0,  s1' = s1 + m·s0 + d1,  s2' = s2 + m·s1 + C(m+1,2)·s0 + d2,
//   s3' = s3 + m·s2 + C(m+1,2)·s1 + C(m+2,3)·s0 + d3,
// an identity over the integers and so over the wrapping registers.
[[gnu::always_inline]] inline void chain(uint64_t *s, const uint64_t *d, uint64_t m)
{
    const uint64_t n2 = m * (m + 1) / 2, n3 = m * (m + 1) * (m + 2) / 6;
    s[3] += m * s[2] + n2 * s[1] + n3 * s[0] + d[3];
    s[2] += m * s[1] + n2 * s[0] + d[2];
    s[1] += m * s[0] + d[1];
    s[0] += d[0];
}

template <int N> struct U64s {
    typedef uint64_t type __attribute__((vector_size(N * sizeof(uint64_t))));
};
using v2 = U64s<2>::type;
using v4 = U64s<4>::type;

[[gnu::always_inline]] inline v2 load_pair(const uint64_t *p)
{
    v2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The (I, Q) code pairs at p, p + stride, ... of P parts, side by side in registers.
template <int P> [[gnu::always_inline]] inline typename U64s<2 * P>::type gather_pairs(const uint64_t *p, uint64_t stride)
{
    const v2 a = load_pair(p), b = load_pair(p + stride);
    const v4 ab = __builtin_shufflevector(a, b, 0, 1, 2, 3);
    if constexpr (P == 2) {
        return ab;
    } else {
        static_assert(P == 4);
        const v2 c = load_pair(p + 2 * stride), d = load_pair(p + 3 * stride);
        const v4 cd = __builtin_shufflevector(c, d, 0, 1, 2, 3);
        return __builtin_shufflevector(ab, cd, 0, 1, 2, 3, 4, 5, 6, 7);
    }
}

// The integrators on P·q codes (interleaved I, Q) cut into P parts of q inputs, run side
// by side from zero registers, then chained onto the registers in stream order.
template <int P>
[[gnu::always_inline]] inline void integrate_parts(Lane *lane, const uint64_t *code, uint64_t q)
{
    using vq = typename U64s<2 * P>::type;
    vq s0 = {}, s1 = {}, s2 = {}, s3 = {};
    for (uint64_t k = 0; k < q; ++k) {
        const vq c = gather_pairs<P>(code + 2 * k, 2 * q);
        s0 += c;
        s1 += s0;
        s2 += s1;
        s3 += s2;
    }
    for (int p = 0; p < P; ++p)
        for (int comp = 0; comp < 2; ++comp) {
            const int l = 2 * p + comp;
            const uint64_t d[kOrder] = {s0[l], s1[l], s2[l], s3[l]};
            chain(lane[comp].integ, d, q);
        }
}

// The integrators one input at a time on n codes.
inline void integrate_codes(Lane *lane, const uint64_t *code, uint64_t n)
{
    uint64_t i0 = lane[0].integ[0], i1 = lane[0].integ[1], i2 = lane[0].integ[2], i3 = lane[0].integ[3];
    uint64_t q0 = lane[1].integ[0], q1 = lane[1].integ[1], q2 = lane[1].integ[2], q3 = lane[1].integ[3];
    for (uint64_t k = 0; k < n; ++k) {
        i0 += code[2 * k];
        q0 += code[2 * k + 1];
        i1 += i0;
        q1 += q0;
        i2 += i1;
        q2 += q1;
        i3 += i2;
        q3 += q2;
    }
    lane[0].integ[0] = i0, lane[0].integ[1] = i1, lane[0].integ[2] = i2, lane[0].integ[3] = i3;
    lane[1].integ[0] = q0, lane[1].integ[1] = q1, lane[1].integ[2] = q2, lane[1].integ[3] = q3;
}

constexpr uint64_t kMinPart = 8; // shorter parts: the chaining would cost more than it saves

// The integrators on m codes: P parts side by side, the last few one by one.
template <int P> [[gnu::always_inline]] inline void integrate_block(Lane *lane, const uint64_t *code, uint64_t m)
{
    const uint64_t q = m / P >= kMinPart ? m / P : 0;
    if (q)
        integrate_parts<P>(lane, code, q);
    integrate_codes(lane, code + 2 * P * q, m - P * q);
}

// ---- per-ISA entry points ------------------------------------------------------------------

// A variant quantises up to kCodes inputs at a time and integrates codes; runs shorter than
// `min_run` gain nothing from its integrate and go through integrate_codes.
using quantise_fn = void (*)(const vx_cf32 *x, uint64_t n, uint64_t *code, uint32_t *clip);
using integrate_fn = void (*)(Lane *lane, const uint64_t *code, uint64_t m);

[[gnu::target("avx512f")]] inline void quantise_avx512(const vx_cf32 *x, uint64_t n, uint64_t *code, uint32_t *clip)
{
    quantise_block(x, n, code, clip);
}
[[gnu::target("avx512f")]] inline void integrate_avx512(Lane *lane, const uint64_t *code, uint64_t m)
{
    integrate_block<4>(lane, code, m);
}
[[gnu::target("avx2")]] inline void quantise_avx2(const vx_cf32 *x, uint64_t n, uint64_t *code, uint32_t *clip)
{
    quantise_block(x, n, code, clip);
}
[[gnu::target("avx2")]] inline void integrate_avx2(Lane *lane, const uint64_t *code, uint64_t m)
{
    integrate_block<2>(lane, code, m);
}
// Baseline x86-64 stays scalar: the eight-float vectors cost more than they save there.
inline void quantise_sse2(const vx_cf32 *x, uint64_t n, uint64_t *code, uint32_t *clip)
{
    uint32_t cl = 0;
    for (uint64_t j = 0; j < n; ++j) {
        code[2 * j] = quantise(x[j].re, cl);
        code[2 * j + 1] = quantise(x[j].im, cl);
    }
    *clip |= cl;
}

// Kernels per SIMD level, best first; `level` names what vx_simd_level() reports.
struct Variant {
    const char *level;
    quantise_fn quantise;
    integrate_fn integrate;
    uint64_t min_run;
};
inline constexpr Variant VARIANTS[] = {
    {"avx512f", quantise_avx512, integrate_avx512, 4 * kMinPart},
    {"avx2", quantise_avx2, integrate_avx2, 2 * kMinPart},
    {"sse2", quantise_sse2, integrate_codes, UINT64_MAX},
};

inline const Variant &best() { return best_variant(VARIANTS); }

}  // namespace vx::cic_kernel
