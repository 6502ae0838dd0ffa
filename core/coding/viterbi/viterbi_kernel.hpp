// Viterbi add-compare-select over one branch at a time: a scalar reference and one vector
// variant per ISA, all with the same arithmetic per state. The vector variants work across
// states (W new states per vector, in the butterfly order: old states 2i and 2i + 1 feed new
// states i and i + states/2), never across branches, and reduce only with max/min, so every
// state sees the scalar sequence of roundings: decoded bits, metrics and decisions do not
// depend on the ISA or on how the stream is cut into calls.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "conv_enc.h"
#include "vx_base.h"

// Vector values never cross a non-inlined call (see fir_kernel.hpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vx::viterbi_kernel {

// Running state and tables of one decoder; the owning object allocates the arrays.
struct Trellis {
    uint32_t states, half;
    int32_t n, k;
    uint64_t depth;
    float *metrics;      // path metric per state, normalised so the best is 0
    float *next;         // the next branch's metrics, swapped with `metrics` every branch
    uint8_t *decisions;  // ring of `depth` rows of `states` survivor choices (0: pred0, 1: pred1)
    uint8_t *path;       // survivor states of the last traceback, by ring row
    // Sign masks, [2][n][states]: bit 31 set where output j of the branch from pred0 (first
    // table) or pred1 (second) into state s is 1, so the branch metric is Σ_j (L_j ^ mask).
    const uint32_t *sign;
    float *bm;           // scratch, [2][states]: branch metrics from pred0 and from pred1
    uint64_t ring_pos;   // next ring row to write
    uint64_t fill;       // rows written, saturating at depth
    int path_valid;      // `path` holds the traceback of the previous branch
};

constexpr float LLR_CLAMP = 1e30f;
constexpr uint32_t UNREACHED_BITS = 0xFE7FFFFFu;  // -8.5070587e37: states not yet reached

// Bytes of the arrays of a trellis: metrics, next and two branch-metric rows (floats), the
// sign masks, the traceback path and the decision ring. depth·states must be checked.
inline uint64_t arena_bytes(const conv_code &c, uint64_t depth)
{
    const uint64_t states = 1u << (c.k - 1);
    return 4 * states * 4 + 2 * static_cast<uint64_t>(c.n) * states * 4 + depth + depth * states;
}

// Back to the start of a stream: the encoder started from a cleared register.
inline void reset(Trellis &t)
{
    float unreached;
    std::memcpy(&unreached, &UNREACHED_BITS, 4);
    for (uint32_t s = 0; s < t.states; ++s)
        t.metrics[s] = s ? unreached : 0.0f;
    std::memset(t.decisions, 0, t.depth * t.states);
    t.ring_pos = 0;
    t.fill = 0;
    t.path_valid = 0;
}

// Lay the trellis of a valid code over a zeroed arena of arena_bytes(), and reset it.
inline void init(Trellis &t, const conv_code &c, uint64_t depth, void *arena)
{
    const uint32_t states = 1u << (c.k - 1);
    auto *f = static_cast<float *>(arena);
    auto *sign = reinterpret_cast<uint32_t *>(f + 4 * states);
    auto *path = reinterpret_cast<uint8_t *>(sign + 2 * static_cast<uint64_t>(c.n) * states);
    for (uint32_t s = 0; s < states; ++s) {
        const uint32_t bit = s >> (c.k - 2) & 1u;  // the input bit that enters s
        for (uint32_t from = 0; from < 2; ++from) {
            const uint32_t pred = ((s << 1) & (states - 1)) | from;
            const uint32_t p = conv_outputs(&c, pred, bit);
            for (int j = 0; j < c.n; ++j)
                sign[(static_cast<uint64_t>(from) * c.n + j) * states + s] = (p >> j & 1u) << 31;
        }
    }
    t.states = states;
    t.half = states / 2;
    t.n = c.n;
    t.k = c.k;
    t.depth = depth;
    t.metrics = f;
    t.next = f + states;
    t.bm = f + 2 * states;
    t.sign = sign;
    t.path = path;
    t.decisions = path + depth;
    reset(t);
}

// NaN is an erasure; clamping keeps |branch metric| <= 6e30, below half an ulp of FLT_MAX,
// so metrics in [-FLT_MAX, 0] stay there and never become infinite.
[[gnu::always_inline]] inline float sanitize(float v)
{
    v = v > LLR_CLAMP ? LLR_CLAMP : v;
    v = v < -LLR_CLAMP ? -LLR_CLAMP : v;
    return v == v ? v : 0.0f;
}

inline float flip(float l, uint32_t mask)
{
    uint32_t u;
    std::memcpy(&u, &l, 4);
    u ^= mask;
    std::memcpy(&l, &u, 4);
    return l;
}

// Decoded bit of the branch depth - 1 back along the survivor of `best`, the state just
// reached. The walk stops early where it meets the previous branch's survivor path: from
// there on the two coincide, since the rows it reads are the same.
inline uint8_t traceback(Trellis &t, uint32_t best)
{
    const uint32_t mask = t.states - 1;
    uint64_t slot = t.ring_pos;
    uint32_t s = best;
    t.path[slot] = static_cast<uint8_t>(s);
    for (uint64_t step = 1; step < t.depth; ++step) {
        s = ((s << 1) & mask) | t.decisions[slot * t.states + s];
        slot = slot ? slot - 1 : t.depth - 1;
        if (t.path_valid && t.path[slot] == s)
            break;
        t.path[slot] = static_cast<uint8_t>(s);
    }
    t.path_valid = 1;
    const uint64_t oldest = t.ring_pos + 1 == t.depth ? 0 : t.ring_pos + 1;
    return static_cast<uint8_t>(t.path[oldest] >> (t.k - 2) & 1u);
}

// After a branch's decisions went into ring row ring_pos: count it, emit a bit once the ring
// is full, move to the next row.
[[gnu::always_inline]] inline void advance(Trellis &t, uint32_t best, uint8_t *out, uint64_t &produced)
{
    if (t.fill < t.depth)
        ++t.fill;
    if (t.fill == t.depth)
        out[produced++] = traceback(t, best);
    t.ring_pos = t.ring_pos + 1 == t.depth ? 0 : t.ring_pos + 1;
}

// Every branch of a block: the per-branch step (metrics, decisions into the ring row,
// best state) then the ring bookkeeping and, once the ring is full, one decoded bit. `n`
// is the code's n, or a constant when the caller instantiates for one. The state is
// worked on in a local copy, so its fields stay in registers.
template <class Step>
[[gnu::always_inline]] inline uint64_t drive(Trellis &state, const float *llr, uint64_t branches,
                                             uint8_t *out, int n, Step step)
{
    Trellis t = state;
    uint64_t produced = 0;
    for (uint64_t b = 0; b < branches; ++b) {
        float l[6] = {};
        for (int j = 0; j < n; ++j)
            l[j] = sanitize(llr[b * n + j]);
        const uint32_t best = step(t, l, t.decisions + t.ring_pos * t.states);
        float *m = t.metrics;
        t.metrics = t.next;
        t.next = m;
        advance(t, best, out, produced);
    }
    state = t;
    return produced;
}

// ---- scalar reference ----------------------------------------------------------------

// Branch metric from the sign tables: terms j = 0, 1, ... added in order.
inline float branch_metric(const Trellis &t, const float *l, int from, uint32_t s)
{
    const uint32_t *sg = t.sign + static_cast<uint64_t>(from) * t.n * t.states;
    float acc = flip(l[0], sg[s]);
    for (int j = 1; j < t.n; ++j)
        acc = acc + flip(l[j], sg[static_cast<uint64_t>(j) * t.states + s]);
    return acc;
}

inline void acs(float a, float b, float bm0, float bm1, float &out, uint8_t &dec)
{
    const float x0 = a + bm0, x1 = b + bm1;
    dec = x1 > x0;  // ties keep pred0
    out = x1 > x0 ? x1 : x0;
}

// One branch: writes `next` (normalised) and the decision row; returns the first state
// with the greatest metric.
inline uint32_t step_reference(Trellis &t, const float *l, uint8_t *row)
{
    const uint32_t h = t.half;
    for (uint32_t i = 0; i < h; ++i) {
        const float a = t.metrics[2 * i], b = t.metrics[2 * i + 1];
        acs(a, b, branch_metric(t, l, 0, i), branch_metric(t, l, 1, i), t.next[i], row[i]);
        acs(a, b, branch_metric(t, l, 0, h + i), branch_metric(t, l, 1, h + i), t.next[h + i],
            row[h + i]);
    }
    float mx = t.next[0];
    for (uint32_t s = 1; s < t.states; ++s)
        mx = t.next[s] > mx ? t.next[s] : mx;
    // No metric is ever -0 (a sum is -0 only from two -0 terms, a normalised metric
    // only from a -0 sum, and restored blobs may not hold one), so whichever of several
    // equal maxima a reduction meets first, its bits are the same.
    const float best = mx;
    uint32_t first = t.states;
    for (uint32_t s = 0; s < t.states; ++s) {
        const float x = t.next[s] - best;  // 0 exactly where next[s] == best
        t.next[s] = x;
        if (x == 0.0f && first == t.states)
            first = s;
    }
    return first;
}

inline uint64_t reference(Trellis &t, const float *llr, uint64_t branches, uint8_t *out)
{
    return drive(t, llr, branches, out, t.n, step_reference);
}

// ---- vector variants -------------------------------------------------------------------

template <int W> struct V {
    typedef float f __attribute__((vector_size(W * 4)));
    typedef int32_t i __attribute__((vector_size(W * 4)));
    typedef uint32_t u __attribute__((vector_size(W * 4)));
    typedef uint8_t b __attribute__((vector_size(W)));
};

template <class T> [[gnu::always_inline]] inline T load(const void *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class T> [[gnu::always_inline]] inline void store(void *p, T v) { std::memcpy(p, &v, sizeof v); }

template <int W, size_t... I>
[[gnu::always_inline]] inline typename V<W>::f pick(typename V<W>::f a, typename V<W>::f b, int odd,
                                                    std::index_sequence<I...>)
{
    if (odd)
        return __builtin_shufflevector(a, b, static_cast<int>(2 * I + 1)...);
    return __builtin_shufflevector(a, b, static_cast<int>(2 * I)...);
}

// The bits of f in every lane (a shuffle, so it compiles to one broadcast).
template <class U, size_t... I> [[gnu::always_inline]] inline U splat(float f, std::index_sequence<I...>)
{
    typedef uint32_t one __attribute__((vector_size(4)));
    uint32_t u;
    std::memcpy(&u, &f, 4);
    const one v = {u};
    return __builtin_shufflevector(v, v, (static_cast<int>(I) * 0)...);
}
template <class U> [[gnu::always_inline]] inline U splat(float f)
{
    return splat<U>(f, std::make_index_sequence<sizeof(U) / 4>{});
}

template <int W, size_t... I>
[[gnu::always_inline]] inline typename V<W>::i iota(std::index_sequence<I...>)
{
    return typename V<W>::i{static_cast<int32_t>(I)...};
}

// Reduce the W lanes of a vector by halving, keeping per lane the greater (MAX) or the
// smaller value: the greatest metric (any of equal maxima: only its value is used) and
// the first best state.
template <bool MAX, class T> [[gnu::always_inline]] inline T keep(T a, T b)
{
    if constexpr (MAX)
        return b > a ? b : a;
    else
        return b < a ? b : a;
}
template <int W, bool MAX, class T> [[gnu::always_inline]] inline T hreduce(const T *lanes)
{
    if constexpr (W == 1) {
        return lanes[0];
    } else {
        typedef T half __attribute__((vector_size(W / 2 * sizeof(T))));
        T out[W / 2];
        if constexpr (W == 2) {
            out[0] = keep<MAX>(lanes[0], lanes[1]);
        } else {
            half lo, hi;
            std::memcpy(&lo, lanes, sizeof lo);
            std::memcpy(&hi, lanes + W / 2, sizeof hi);
            const half k = keep<MAX>(lo, hi);
            std::memcpy(out, &k, sizeof out);
        }
        return hreduce<W / 2, MAX>(out);
    }
}
template <int W> [[gnu::always_inline]] inline float hmax(typename V<W>::f v)
{
    return hreduce<W, true>(reinterpret_cast<const float *>(&v));
}
template <int W> [[gnu::always_inline]] inline int32_t hmin(typename V<W>::i v)
{
    return hreduce<W, false>(reinterpret_cast<const int32_t *>(&v));
}

// The reference's step on W states per vector for codes of N outputs; needs
// states / 2 >= W. SYM as for run_fixed below.
template <int W, int N, bool SYM>
[[gnu::always_inline]] inline uint32_t step_vector(Trellis &t, const float *l, uint8_t *__restrict row)
{
    using F = typename V<W>::f;
    using I = typename V<W>::i;
    using U = typename V<W>::u;
    using B = typename V<W>::b;
    const uint32_t S = t.states, h = t.half;
    const float *__restrict m = t.metrics;
    float *__restrict nm = t.next;
    float *__restrict bm0 = t.bm;
    float *__restrict bm1 = t.bm + S;
    // Branch metrics for every state, terms j = 0, 1, ... as in branch_metric.
    for (int from = 0; from < (SYM ? 1 : 2); ++from) {
        const uint32_t *sg = t.sign + static_cast<uint64_t>(from) * N * S;
        float *bm = from ? bm1 : bm0;
        for (uint32_t s = 0; s < (SYM ? h : S); s += W) {
            F acc = reinterpret_cast<F>(splat<U>(l[0]) ^ load<U>(sg + s));
            for (int j = 1; j < N; ++j)
                acc = acc + reinterpret_cast<F>(splat<U>(l[j]) ^ load<U>(sg + static_cast<uint64_t>(j) * S + s));
            store(bm + s, acc);
        }
    }
    F vmax = F{} - __builtin_inff();
    for (uint32_t i = 0; i < h; i += W) {
        const F a = load<F>(m + 2 * i), b = load<F>(m + 2 * i + W);
        const F ev = pick<W>(a, b, 0, std::make_index_sequence<W>{});
        const F od = pick<W>(a, b, 1, std::make_index_sequence<W>{});
        for (uint32_t at : {i, h + i}) {
            F x0, x1;
            if constexpr (SYM) {
                const F b0 = load<F>(bm0 + i);
                x0 = at == i ? ev + b0 : ev - b0;
                x1 = at == i ? od - b0 : od + b0;
            } else {
                x0 = ev + load<F>(bm0 + at);
                x1 = od + load<F>(bm1 + at);
            }
            const I d = x1 > x0;
            const F r = d ? x1 : x0;
            store(nm + at, r);
            store(row + at, __builtin_convertvector(d & 1, B));
            vmax = r > vmax ? r : vmax;
        }
    }
    const float best = hmax<W>(vmax);
    const I lane = iota<W>(std::make_index_sequence<W>{});
    I first = I{} + static_cast<int32_t>(S);
    for (uint32_t s = 0; s < S; s += W) {
        const F x = load<F>(nm + s) - best;
        store(nm + s, x);
        const I at = lane + static_cast<int32_t>(s);
        const I cand = x == 0.0f ? at : first;
        first = cand < first ? cand : first;
    }
    return static_cast<uint32_t>(hmin<W>(first));
}

template <int W, int N, bool SYM>
[[gnu::always_inline]] inline uint64_t run(Trellis &t, const float *llr, uint64_t branches, uint8_t *out)
{
    return drive(t, llr, branches, out, N, step_vector<W, N, SYM>);
}

// step_vector for a state count S known at compile time: the metrics stay in registers
// across branches instead of passing through memory, which shortens the per-branch chain
// (ACS, greatest metric, normalisation) that bounds the decoder's speed. Same arithmetic.
// SYM: every polynomial taps both the newest and the oldest bit (the usual codes), so the
// four branch metrics of a butterfly are b, -b, -b, b and only b is computed: the sums of
// negated terms are the negated sums, and adding -b is subtracting b. The one difference,
// the sign of an exactly cancelling zero, cannot show, as no metric is ever -0.
template <int W, int N, int S, bool SYM>
[[gnu::always_inline]] inline uint64_t run_fixed(Trellis &state, const float *llr, uint64_t branches,
                                                 uint8_t *out)
{
    using F = typename V<W>::f;
    using I = typename V<W>::i;
    using U = typename V<W>::u;
    using B = typename V<W>::b;
    constexpr int Q = S / W, P = Q / 2;  // vectors of states; of butterflies
    Trellis t = state;
    F mv[Q];
    for (int q = 0; q < Q; ++q)
        mv[q] = load<F>(t.metrics + q * W);
    const I lane = iota<W>(std::make_index_sequence<W>{});
    uint64_t produced = 0;
    for (uint64_t br = 0; br < branches; ++br) {
        float l[N];
        for (int j = 0; j < N; ++j)
            l[j] = sanitize(llr[br * N + j]);
        F bm[2][Q];
        for (int from = 0; from < (SYM ? 1 : 2); ++from)
            for (int q = 0; q < (SYM ? P : Q); ++q) {
                const uint32_t *sg = t.sign + from * N * S + q * W;
                F acc = reinterpret_cast<F>(splat<U>(l[0]) ^ load<U>(sg));
                for (int j = 1; j < N; ++j)
                    acc = acc + reinterpret_cast<F>(splat<U>(l[j]) ^ load<U>(sg + j * S));
                bm[from][q] = acc;
            }
        uint8_t *row = t.decisions + t.ring_pos * S;
        F nv[Q];
        for (int i = 0; i < P; ++i) {
            const F ev = pick<W>(mv[2 * i], mv[2 * i + 1], 0, std::make_index_sequence<W>{});
            const F od = pick<W>(mv[2 * i], mv[2 * i + 1], 1, std::make_index_sequence<W>{});
            for (int at : {i, P + i}) {
                F x0, x1;
                if constexpr (SYM) {
                    x0 = at == i ? ev + bm[0][i] : ev - bm[0][i];
                    x1 = at == i ? od - bm[0][i] : od + bm[0][i];
                } else {
                    x0 = ev + bm[0][at];
                    x1 = od + bm[1][at];
                }
                const I d = x1 > x0;
                nv[at] = d ? x1 : x0;
                store(row + at * W, __builtin_convertvector(d & 1, B));
            }
        }
        F mx[Q];
        for (int q = 0; q < Q; ++q)
            mx[q] = nv[q];
        for (int w = Q / 2; w >= 1; w /= 2)  // pairwise, a short chain
            for (int q = 0; q < w; ++q)
                mx[q] = mx[q + w] > mx[q] ? mx[q + w] : mx[q];
        const float best = hmax<W>(mx[0]);
        I first = I{} + S;
        for (int q = 0; q < Q; ++q) {
            mv[q] = nv[q] - best;
            const I cand = mv[q] == 0.0f ? lane + q * W : first;
            first = cand < first ? cand : first;
        }
        advance(t, static_cast<uint32_t>(hmin<W>(first)), out, produced);
    }
    for (int q = 0; q < Q; ++q)
        store(t.metrics + q * W, mv[q]);
    state = t;
    return produced;
}

// ---- per-ISA entry points ------------------------------------------------------------------

using kernel_fn = uint64_t (*)(Trellis &t, const float *llr, uint64_t branches, uint8_t *out);

template <int N, bool SYM>
[[gnu::target("avx512f")]] uint64_t avx512(Trellis &t, const float *llr, uint64_t b, uint8_t *out)
{
    return run<16, N, SYM>(t, llr, b, out);
}
template <int N, bool SYM>
[[gnu::target("avx2")]] uint64_t avx2(Trellis &t, const float *llr, uint64_t b, uint8_t *out)
{
    return run<8, N, SYM>(t, llr, b, out);
}
// Constraint length 7 (64 states), the common case, with the metrics in registers.
constexpr uint32_t FIXED_STATES = 64;
template <int N, bool SYM>
[[gnu::target("avx512f")]] uint64_t avx512_k7(Trellis &t, const float *llr, uint64_t b, uint8_t *out)
{
    return run_fixed<16, N, FIXED_STATES, SYM>(t, llr, b, out);
}
template <int N, bool SYM>
[[gnu::target("avx2")]] uint64_t avx2_k7(Trellis &t, const float *llr, uint64_t b, uint8_t *out)
{
    return run_fixed<8, N, FIXED_STATES, SYM>(t, llr, b, out);
}
template <int N, bool SYM> uint64_t sse2(Trellis &t, const float *llr, uint64_t b, uint8_t *out)
{
    return run<4, N, SYM>(t, llr, b, out);
}

// Kernels per SIMD level, best first; `width` states per vector (the code needs
// states / 2 >= width), one function per symmetry and output count n = 1..6
// (fn[sym][n - 1]), and where the level has them, the register-resident forms for
// FIXED_STATES states (fixed[sym][n - 1]).
struct Variant {
    const char *level;
    uint32_t width;
    kernel_fn fn[2][6];
    kernel_fn fixed[2][6];
};
#define VX_VITERBI_TABLE(f) \
    {{f<1, false>, f<2, false>, f<3, false>, f<4, false>, f<5, false>, f<6, false>}, \
     {f<1, true>, f<2, true>, f<3, true>, f<4, true>, f<5, true>, f<6, true>}}
inline constexpr Variant VARIANTS[] = {
    {"avx512f", 16, VX_VITERBI_TABLE(avx512), VX_VITERBI_TABLE(avx512_k7)},
    {"avx2", 8, VX_VITERBI_TABLE(avx2), VX_VITERBI_TABLE(avx2_k7)},
    {"sse2", 4, VX_VITERBI_TABLE(sse2), {}},
};
#undef VX_VITERBI_TABLE

// 1 when every polynomial taps the newest and the oldest register bit.
inline int symmetric(const conv_code &c)
{
    const uint32_t ends = 1u | 1u << (c.k - 1);
    for (int j = 0; j < c.n; ++j)
        if ((c.polys[j] & ends) != ends)
            return 0;
    return 1;
}

// The widest variant this machine runs that fits the code, else the scalar reference.
inline kernel_fn best(const conv_code &c)
{
    const uint32_t states = 1u << (c.k - 1);
    const int n = c.n;
    const char *level = vx_simd_level();
    bool reached = false;
    for (const Variant &v : VARIANTS) {
        reached = reached || std::strcmp(v.level, level) == 0;
        if (reached && states == FIXED_STATES && v.fixed[symmetric(c)][n - 1])
            return v.fixed[symmetric(c)][n - 1];
        if (reached && states / 2 >= v.width)
            return v.fn[symmetric(c)][n - 1];
    }
    return reference;
}

}  // namespace vx::viterbi_kernel
