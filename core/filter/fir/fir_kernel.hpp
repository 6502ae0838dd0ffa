// FIR inner kernels: a scalar reference and one vector variant per ISA, all with the same
// arithmetic. They read the scratch s = [delay line (T - 1 samples) | n inputs] and write
// y[i] = Σ_{k=0}^{T-1} h[k]·s[i + T - 1 - k], each sum starting from +0 and running k = 0
// upward in single precision. The vector variants work across outputs (a block of
// interleaved re/im floats per accumulator), never across k, so every output sees exactly
// the scalar sequence of roundings: results do not depend on the ISA or block size.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "vx_base.h"
#include "vx_kernel.hpp"

// Vector values never cross a non-inlined call, so the ABI note about passing them does
// not apply (GCC emits it at the end of the including unit, hence no push/pop).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vx::fir_kernel {

// ---- scalar reference ----------------------------------------------------------------------

// One tap's term added to an output: real taps scale I and Q alike; complex taps add
// x.im·h.re first in the imaginary part, the order the vector lanes use.
inline void mac(float &re, float &im, float h, vx_cf32 x)
{
    re = re + h * x.re;
    im = im + h * x.im;
}
inline void mac(float &re, float &im, vx_cf32 h, vx_cf32 x)
{
    re = re + (x.re * h.re - x.im * h.im);
    im = im + (x.im * h.re + x.re * h.im);
}

// Outputs [i0, i1).
template <class Tap>
inline void reference(const vx_cf32 *s, const Tap *h, uint64_t taps, vx_cf32 *y, uint64_t i0,
                      uint64_t i1)
{
    const uint64_t m = taps - 1;
    for (uint64_t i = i0; i < i1; ++i) {
        float re = 0.0f, im = 0.0f;
        for (uint64_t k = 0; k < taps; ++k)
            mac(re, im, h[k], s[i + m - k]);
        y[i] = {re, im};
    }
}

// ---- vector variants ---------------------------------------------------------------------

template <int W> struct Vec {
    typedef float type __attribute__((vector_size(W * sizeof(float))));
};
template <int W> using vec = typename Vec<W>::type;

template <int W> [[gnu::always_inline]] inline vec<W> load(const float *p)
{
    vec<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <int W> [[gnu::always_inline]] inline void store(float *p, vec<W> v)
{
    std::memcpy(p, &v, sizeof v);
}
// (even, odd) repeated across the lanes: one 64-bit broadcast, bit-exact (-0 stays -0).
template <int W> [[gnu::always_inline]] inline vec<W> pairs(float even, float odd)
{
    typedef uint64_t u64v __attribute__((vector_size(W * sizeof(float))));
    const vx_cf32 pair = {even, odd};
    uint64_t bits;
    std::memcpy(&bits, &pair, sizeof bits);
    return reinterpret_cast<vec<W>>(bits - u64v{});
}
template <int W, size_t... I>
[[gnu::always_inline]] inline vec<W> swap_pairs(vec<W> v, std::index_sequence<I...>)
{
    return __builtin_shufflevector(v, v, static_cast<int>(I ^ 1u)...);
}

// One tap's term on a vector of interleaved (re, im) lanes, as `mac` computes it per lane.
template <int W, class Tap> struct Term;
template <int W> struct Term<W, float> {
    vec<W> h;
    [[gnu::always_inline]] explicit Term(float t) : h(pairs<W>(t, t)) {}
    [[gnu::always_inline]] vec<W> operator()(vec<W> x) const { return h * x; }
};
// x·h.re plus swapped(x)·(-h.im, +h.im): re lanes get x.re·h.re + (-(x.im·h.im)), which is
// x.re·h.re - x.im·h.im exactly; im lanes get x.im·h.re + x.re·h.im.
template <int W> struct Term<W, vx_cf32> {
    vec<W> re, im;
    [[gnu::always_inline]] explicit Term(vx_cf32 t)
        : re(pairs<W>(t.re, t.re)), im(pairs<W>(-t.im, t.im)) {}
    [[gnu::always_inline]] vec<W> operator()(vec<W> x) const
    {
        return x * re + swap_pairs<W>(x, std::make_index_sequence<W>{}) * im;
    }
};

// Interleaved output floats [j, nf) in blocks of W·NV; returns where the blocks ended.
// Float j reads sf[j + 2(T-1-k)] for tap k.
template <int W, int NV, class Tap>
[[gnu::always_inline]] inline uint64_t blocks(uint64_t j, const float *sf, const Tap *h,
                                              uint64_t taps, float *yf, uint64_t nf)
{
    constexpr uint64_t B = static_cast<uint64_t>(W) * NV;
    for (; j + B <= nf; j += B) {
        vec<W> acc[NV];
        for (int a = 0; a < NV; ++a)
            acc[a] = vec<W>{};
        const float *base = sf + j + 2 * (taps - 1);
        for (uint64_t k = 0; k < taps; ++k) {
            const Term<W, Tap> term(h[k]);
            const float *p = base - 2 * k;
            for (int a = 0; a < NV; ++a)
                acc[a] = acc[a] + term(load<W>(p + a * W));
        }
        for (int a = 0; a < NV; ++a)
            store<W>(yf + j + a * W, acc[a]);
    }
    return j;
}

// Whole block: wide vector blocks, single vectors, then the scalar reference for the
// remaining outputs. Tap is float (real taps) or vx_cf32 (complex taps).
template <class Tap, int W, int NV>
[[gnu::always_inline]] inline void run(const vx_cf32 *s, const void *h, uint64_t taps,
                                       vx_cf32 *y, uint64_t n)
{
    const Tap *ht = static_cast<const Tap *>(h);
    uint64_t done = blocks<W, NV>(0, &s[0].re, ht, taps, &y[0].re, 2 * n);
    done = blocks<W, 1>(done, &s[0].re, ht, taps, &y[0].re, 2 * n);
    reference(s, ht, taps, y, done / 2, n);
}

// ---- per-ISA entry points ------------------------------------------------------------------

using kernel_fn = void (*)(const vx_cf32 *s, const void *h, uint64_t taps, vx_cf32 *y, uint64_t n);

// Eight accumulators of the widest vector each level has.
template <class Tap> [[gnu::target("avx512f")]]
void avx512(const vx_cf32 *s, const void *h, uint64_t taps, vx_cf32 *y, uint64_t n)
{
    run<Tap, 16, 8>(s, h, taps, y, n);
}
template <class Tap> [[gnu::target("avx2")]]
void avx2(const vx_cf32 *s, const void *h, uint64_t taps, vx_cf32 *y, uint64_t n)
{
    run<Tap, 8, 8>(s, h, taps, y, n);
}
template <class Tap>
void sse2(const vx_cf32 *s, const void *h, uint64_t taps, vx_cf32 *y, uint64_t n)
{
    run<Tap, 4, 8>(s, h, taps, y, n);
}

// Kernels per SIMD level, best first; `level` names what vx_simd_level() reports.
struct Variant {
    const char *level;
    kernel_fn real;
    kernel_fn complex;
};
inline constexpr Variant VARIANTS[] = {
    {"avx512f", avx512<float>, avx512<vx_cf32>},
    {"avx2", avx2<float>, avx2<vx_cf32>},
    {"sse2", sse2<float>, sse2<vx_cf32>},
};

// The variant for the SIMD level this machine runs at.
inline const Variant &best() { return best_variant(VARIANTS); }

}  // namespace vx::fir_kernel
