// CIC integrator kernels: a scalar reference (quantise and integrate sample by sample) and
// a block form per ISA that quantises a run of inputs by vector first, then runs the four
// integrators of I and Q on the codes. Both advance the wrapping 64-bit registers by the
// same integer operations, so every clone leaves the registers bit for bit as the
// reference does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "vx_base.h"

namespace vx::cic_kernel {

constexpr int kOrder = 4;
constexpr uint64_t kMaxBlock = 2048; // the largest ratio: a block never spans an output

// Registers of one component (I or Q). Unsigned: the wrap is the intended arithmetic.
struct Lane {
    uint64_t integ[kOrder];
    uint64_t comb[kOrder];
};

constexpr float kTop = 32767.0f / 16384.0f; // largest input with a code of its own

// Offset-binary code of one component; NaN counts as 0 and, like overflow, as clipping.
[[gnu::always_inline]] inline uint32_t quantise(float v, uint32_t &clip)
{
    // Selects only, no branches, so the block form vectorises.
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

constexpr uint64_t kCodes = 256; // inputs quantised per pass, into a fixed stack buffer

// Codes of nf interleaved components (nf a multiple of W) by vector; clip flags ORed in.
[[gnu::always_inline]] inline void quantise_block(const float *xf, uint64_t nf, int32_t *code,
                                                  uint32_t &clip)
{
    const vf zero = {}, top = zero + kTop, bottom = zero - 2.0f;
    vi out = {};
    for (uint64_t j = 0; j < nf; j += W) {
        vf v;
        std::memcpy(&v, xf + j, sizeof v);
        const vi in_range = (v >= -2.0f) & (v <= kTop);
        out |= ~in_range;
        // The saturated value by masks (NaN meets none of them and becomes 0).
        const vi bits = ((vi)v & in_range) | ((vi)top & (v > kTop)) | ((vi)bottom & (v < -2.0f));
        const vi c = __builtin_convertvector((vf)bits * 16384.0f, vi) + 32768;
        std::memcpy(code + j, &c, sizeof c);
    }
    for (int l = 0; l < W; ++l)
        clip |= out[l] != 0;
}

// Quantise by vector, then the integrators on the codes: four adds per component, with
// no conversion work left on their dependency chains.
[[gnu::always_inline]] inline void block(Lane *lane, const vx_cf32 *x, uint64_t m, uint32_t *clip)
{
    uint64_t i0 = lane[0].integ[0], i1 = lane[0].integ[1], i2 = lane[0].integ[2], i3 = lane[0].integ[3];
    uint64_t q0 = lane[1].integ[0], q1 = lane[1].integ[1], q2 = lane[1].integ[2], q3 = lane[1].integ[3];
    uint32_t cl = 0;
    int32_t code[2 * kCodes];
    for (uint64_t at = 0; at < m; at += kCodes) {
        const uint64_t n = std::min(kCodes, m - at), nv = 2 * n / W * W;
        const float *xf = &x[at].re;
        quantise_block(xf, nv, code, cl);
        for (uint64_t j = nv; j < 2 * n; ++j)
            code[j] = static_cast<int32_t>(quantise(xf[j], cl));
        for (uint64_t k = 0; k < n; ++k) {
            i0 += static_cast<uint64_t>(code[2 * k]);
            q0 += static_cast<uint64_t>(code[2 * k + 1]);
            i1 += i0;
            q1 += q0;
            i2 += i1;
            q2 += q1;
            i3 += i2;
            q3 += q2;
        }
    }
    lane[0].integ[0] = i0, lane[0].integ[1] = i1, lane[0].integ[2] = i2, lane[0].integ[3] = i3;
    lane[1].integ[0] = q0, lane[1].integ[1] = q1, lane[1].integ[2] = q2, lane[1].integ[3] = q3;
    *clip |= cl;
}

// ---- per-ISA entry points ------------------------------------------------------------------

using kernel_fn = void (*)(Lane *lane, const vx_cf32 *x, uint64_t m, uint32_t *clip);

[[gnu::target("avx512f")]] inline void avx512(Lane *lane, const vx_cf32 *x, uint64_t m, uint32_t *clip)
{
    block(lane, x, m, clip);
}
[[gnu::target("avx2")]] inline void avx2(Lane *lane, const vx_cf32 *x, uint64_t m, uint32_t *clip)
{
    block(lane, x, m, clip);
}
// Baseline x86-64 runs the reference: the eight-float vectors cost more than they save there.
inline void sse2(Lane *lane, const vx_cf32 *x, uint64_t m, uint32_t *clip) { reference(lane, x, m, clip); }

// Kernels per SIMD level, best first; `level` names what vx_simd_level() reports.
struct Variant {
    const char *level;
    kernel_fn run;
};
inline constexpr Variant VARIANTS[] = {{"avx512f", avx512}, {"avx2", avx2}, {"sse2", sse2}};

inline const Variant &best()
{
    const char *level = vx_simd_level();
    for (const Variant &v : VARIANTS)
        if (std::strcmp(v.level, level) == 0)
            return v;
    return VARIANTS[2];
}

}  // namespace vx::cic_kernel
