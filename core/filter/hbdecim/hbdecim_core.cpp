// Halfband decimators: one pair-splitting engine for the cf32 and f32 families, two
// output kernels. Each input phase (first / second sample of a pair) has a linear history
// buffer, oldest first: `size` past samples followed by room for one chunk of new pairs,
// so every output's taps are contiguous and consecutive outputs sit at consecutive
// addresses; the kernels vectorise across outputs with one fixed order per output:
// acc = 0, acc += c[k]·(pair k) for k = 0, 1, …, then the centre tap.
#include "hbdecim.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "vx_blob.hpp"
#include "vx_kernel.hpp"

extern "C" VX_API const float VX_HB_FIR[VX_HB_FIR_LEN] = {
    0.00157905323f, -0.00467577344f, 0.0104431789f, -0.0201746244f, 0.0357989259f,
    -0.0608663708f, 0.104113407f,    -0.19753781f,  0.631600916f,   0.631600916f,
    -0.19753781f,   0.104113407f,    -0.0608663708f, 0.0357989259f, -0.0201746244f,
    0.0104431789f,  -0.00467577344f, 0.00157905323f, 0.0f};

namespace {

constexpr uint64_t kChunk = 256; // input pairs per pass

template <class S> struct Halfband {
    uint64_t n;     // table length
    uint64_t half;  // n / 2: branch taps and centre delay in pairs
    uint32_t odd;   // n odd: branch on second-of-pair samples, centre on first
    float csign;    // r2c: sign of the centre tap
    uint64_t size;  // smallest power of two >= n: samples of history kept per phase
    float *coef;    // half branch coefficients
    S *hist[2];     // [0] first, [1] second sample of each pair: size + kChunk samples
    float *scratch; // r2c: kChunk branch sums
    // running state
    uint32_t pending; // one input of a pair held over
    S held;
    uint32_t sign; // r2c: (−1)^m of the next output is −1
};

// acc[q] = Σ_k c[k]·(b[q − w·o1(k)] ± b[q − w·o2(k)]) over q < nf, with o1(k) = k + odd and
// o2(k) = n − 1 − k the two taps of pair k (w floats per sample).
VX_KERNEL void branch_sums(float *__restrict acc, const float *__restrict b,
                           const float *__restrict c, uint64_t half, uint64_t odd, uint64_t n,
                           uint64_t w, bool diff, uint64_t nf)
{
    for (uint64_t q = 0; q < nf; ++q)
        acc[q] = 0.0f;
    for (uint64_t k = 0; k < half; ++k) {
        const float ck = c[k];
        const float *p1 = b - w * (k + odd), *p2 = b - w * (n - 1 - k);
        if (diff)
            for (uint64_t q = 0; q < nf; ++q)
                acc[q] += ck * (p1[q] - p2[q]);
        else
            for (uint64_t q = 0; q < nf; ++q)
                acc[q] += ck * (p1[q] + p2[q]);
    }
}

VX_KERNEL void add_centre(float *__restrict acc, const float *__restrict centre, uint64_t nf)
{
    for (uint64_t q = 0; q < nf; ++q)
        acc[q] += 0.5f * centre[q];
}

template <class H> void destroy(H *h)
{
    if (!h)
        return;
    vx_free(h->coef);
    vx_free(h->hist[0]);
    vx_free(h->hist[1]);
    vx_free(h->scratch);
    vx_free(h);
}

template <class H> H *create(uint64_t n, const float *table, bool r2c)
{
    if (n == 0 || n > HBDECIM_MAX_TAPS || !table)
        return nullptr;
    H *h = vx::alloc_object<H>();
    if (!h)
        return nullptr;
    using S = std::remove_reference_t<decltype(h->held)>;
    h->n = n;
    h->half = n / 2;
    h->odd = n & 1;
    h->size = 1;
    while (h->size < n)
        h->size <<= 1;
    // r2c: the centre sign of the folded (−j)^k shift, from n mod 4.
    const uint64_t h2 = h->half;
    h->csign = (h->odd ? (h2 & 1) : !(h2 & 1)) ? -1.0f : 1.0f;
    h->coef = static_cast<float *>(vx_calloc(h->half + 1, sizeof(float)));
    for (auto &p : h->hist)
        p = static_cast<S *>(vx_calloc(h->size + kChunk, sizeof(S)));
    h->scratch = r2c ? static_cast<float *>(vx_calloc(kChunk, sizeof(float))) : nullptr;
    if (!h->coef || !h->hist[0] || !h->hist[1] || (r2c && !h->scratch)) {
        destroy(h);
        return nullptr;
    }
    // r2c folds the shift's (−1)^k into the taps and its factor 2 (one spectral line of a
    // real tone survives) into the table: (−1)^k·t[k]·0.5·2, exact in binary.
    for (uint64_t k = 0; k < h->half; ++k)
        h->coef[k] = r2c ? ((k & 1) ? -table[k] : table[k]) : table[k] * 0.5f;
    return h;
}

template <class H> void reset(H *h)
{
    for (auto *p : h->hist)
        std::memset(p, 0, (h->size + kChunk) * sizeof(*p));
    h->pending = 0;
    h->held = {};
    h->sign = 0;
}

// Splits the input into pairs, appends them chunk by chunk to the histories and lets
// `emit(first_new_pair, pairs, written, y)` produce the chunk's outputs, of which it writes
// the first `written`. Every input is consumed; an odd one is held for the next call.
template <class H, class S, class Emit>
uint64_t run(H *h, const S *x, uint64_t n_in, vx_cf32 *y, uint64_t max_out, Emit emit)
{
    if (!h || n_in == 0 || !x)
        return 0;
    if (!y)
        max_out = 0;
    const uint64_t size = h->size;
    S *a = h->hist[0], *b = h->hist[1];
    uint64_t i = 0, written = 0;
    for (;;) {
        uint64_t c = 0;
        if (h->pending) {
            a[size] = h->held;
            b[size] = x[i++];
            h->pending = 0;
            c = 1;
        }
        for (; c < kChunk && i + 1 < n_in; ++c, i += 2) {
            a[size + c] = x[i];
            b[size + c] = x[i + 1];
        }
        if (c == 0)
            break;
        const uint64_t m = std::min(c, max_out - written);
        emit(size, c, m, y + written);
        written += m;
        std::memmove(a, a + c, size * sizeof(S));
        std::memmove(b, b + c, size * sizeof(S));
        if (i + 1 >= n_in)
            break;
    }
    if (i < n_in) {
        h->held = x[i];
        h->pending = 1;
    }
    return written;
}

// Blob: pos_a, pos_b, pending, held, [sign], ring_a, ring_b. The rings are newest first from
// pos with every sample also at +size; the histories are written at pos 0.
constexpr uint64_t kFixedBytes = 44; // header and the run state before the rings

template <class H> uint64_t state_bytes(const H *h)
{
    using S = std::remove_reference_t<decltype(h->held)>;
    return kFixedBytes + 2 * 2 * h->size * sizeof(S);
}

template <class H> void get_state(const H *h, void *out, uint32_t magic, uint16_t version)
{
    using S = std::remove_reference_t<decltype(h->held)>;
    vx::BlobWriter w(out, magic, version, state_bytes(h));
    // A consumed held input is stale: written as zero, so the blob is the same for any split.
    w.put(uint64_t{0}).put(uint64_t{0}).put(h->pending).put(h->pending ? h->held : S{});
    if (sizeof(S) == 4)
        w.put(h->sign);
    for (const S *p : h->hist)
        for (int copy = 0; copy < 2; ++copy)
            for (uint64_t j = 0; j < h->size; ++j)
                w.put(p[h->size - 1 - j]);
}

template <class H> int set_state(H *h, const void *blob, uint32_t magic, uint16_t version)
{
    using S = std::remove_reference_t<decltype(h->held)>;
    if (!h || vx_state_check_header(blob, magic, version, state_bytes(h)) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader r(blob);
    const uint64_t pos[2] = {r.get<uint64_t>(), r.get<uint64_t>()};
    const uint32_t pending = r.get<uint32_t>();
    const S held = r.get<S>();
    const uint32_t sign = sizeof(S) == 4 ? r.get<uint32_t>() : 0;
    if (!vx::below(pos[0], h->size) || !vx::below(pos[1], h->size) || !vx::is_flag(pending) ||
        !vx::is_flag(sign))
        return VX_ERR_INVALID;
    for (int t = 0; t < 2; ++t) {
        const uint8_t *ring = r.cursor();
        for (uint64_t j = 0; j < h->size; ++j)
            std::memcpy(&h->hist[t][h->size - 1 - j], ring + (pos[t] + j) * sizeof(S), sizeof(S));
        r.skip(2 * h->size * sizeof(S));
    }
    h->pending = pending;
    h->held = held;
    h->sign = sign;
    return VX_OK;
}

template <class H> double dc_gain(const H *h)
{
    double s = 0.0;
    for (uint64_t k = 0; k < h->half; ++k)
        s += h->coef[k];
    return 0.5 + 2.0 * s;
}

} // namespace

struct hbdecim : Halfband<vx_cf32> {};
struct hbdecim_r2c : Halfband<float> {};

extern "C" {

VX_API hbdecim *hbdecim_create(uint64_t n, const float *table)
{
    return create<hbdecim>(n, table, false);
}
VX_API void hbdecim_destroy(hbdecim *h) { destroy(h); }
VX_API void hbdecim_reset(hbdecim *h) { reset(h); }

VX_API uint64_t hbdecim_execute(hbdecim *h, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                                uint64_t max_out)
{
    return run(h, x, n_in, y, max_out, [h](uint64_t at, uint64_t, uint64_t m, vx_cf32 *out) {
        // odd n: branch on the second samples, centre on the first; even n the other way.
        const vx_cf32 *branch = h->hist[h->odd ? 1 : 0] + at;
        const vx_cf32 *centre = h->hist[h->odd ? 0 : 1] + at - h->half;
        float *acc = &out->re;
        branch_sums(acc, &branch->re, h->coef, h->half, h->odd, h->n, 2, false, 2 * m);
        add_centre(acc, &centre->re, 2 * m);
    });
}

VX_API uint64_t hbdecim_execute_max_out(const hbdecim *h, uint64_t n_in)
{
    return h ? n_in / 2 + ((n_in & 1) & h->pending) : 0;
}
VX_API double hbdecim_get_rate(const hbdecim *) { return 0.5; }
VX_API uint64_t hbdecim_get_num_taps(const hbdecim *h) { return h->n; }
VX_API double hbdecim_dc_gain(const hbdecim *h) { return dc_gain(h); }
VX_API uint64_t hbdecim_state_bytes(const hbdecim *h) { return state_bytes(h); }
VX_API void hbdecim_get_state(const hbdecim *h, void *out)
{
    get_state(h, out, VX_MAGIC_HBDECIM, VX_VERSION_HBDECIM);
}
VX_API int hbdecim_set_state(hbdecim *h, const void *blob)
{
    return set_state(h, blob, VX_MAGIC_HBDECIM, VX_VERSION_HBDECIM);
}

VX_API hbdecim_r2c *hbdecim_r2c_create(uint64_t n, const float *table)
{
    return create<hbdecim_r2c>(n, table, true);
}
VX_API void hbdecim_r2c_destroy(hbdecim_r2c *h) { destroy(h); }
VX_API void hbdecim_r2c_reset(hbdecim_r2c *h) { reset(h); }

VX_API uint64_t hbdecim_r2c_execute(hbdecim_r2c *h, const float *x, uint64_t n_in, vx_cf32 *y,
                                    uint64_t max_out)
{
    return run(h, x, n_in, y, max_out, [h](uint64_t at, uint64_t c, uint64_t m, vx_cf32 *out) {
        // The branch (differences of mirrored samples under the shift) gives one component,
        // the centre tap the other; both carry the output's (−1)^m.
        const float *branch = h->hist[h->odd ? 1 : 0] + at;
        const float *centre = h->hist[h->odd ? 0 : 1] + at - h->half;
        branch_sums(h->scratch, branch, h->coef, h->half, h->odd, h->n, 1, true, m);
        for (uint64_t j = 0; j < m; ++j) {
            const float s = ((h->sign ^ j) & 1) ? -1.0f : 1.0f;
            const float v = s * h->scratch[j], u = (s * h->csign) * centre[j];
            out[j] = h->odd ? vx_cf32{u, v} : vx_cf32{v, u};
        }
        h->sign ^= c & 1;
    });
}

VX_API uint64_t hbdecim_r2c_execute_max_out(const hbdecim_r2c *h, uint64_t n_in)
{
    return h ? n_in / 2 + ((n_in & 1) & h->pending) : 0;
}
VX_API double hbdecim_r2c_get_rate(const hbdecim_r2c *) { return 0.5; }
VX_API uint64_t hbdecim_r2c_get_num_taps(const hbdecim_r2c *h) { return h->n; }
VX_API double hbdecim_r2c_dc_gain(const hbdecim_r2c *h)
{
    // Amplitude gain of a real tone at the band centre: the complex halfband's DC gain.
    double s = 0.0;
    for (uint64_t k = 0; k < h->half; ++k)
        s += (k & 1) ? -h->coef[k] : h->coef[k];
    return 0.5 + s;
}
VX_API uint64_t hbdecim_r2c_state_bytes(const hbdecim_r2c *h) { return state_bytes(h); }
VX_API void hbdecim_r2c_get_state(const hbdecim_r2c *h, void *out)
{
    get_state(h, out, VX_MAGIC_HBDECIM_R2C, VX_VERSION_HBDECIM_R2C);
}
VX_API int hbdecim_r2c_set_state(hbdecim_r2c *h, const void *blob)
{
    return set_state(h, blob, VX_MAGIC_HBDECIM_R2C, VX_VERSION_HBDECIM_R2C);
}

} // extern "C"
