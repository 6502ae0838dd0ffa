#include "detector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "corr.h"
#include "vx_blob.hpp"
#include "vx_ring.h"

// The fields both detectors share; Corr is the correlator type.
template <class Corr> struct det_common {
    vx_ring *ring;          // pending input, ring_cap cf32
    Corr *cr;               // native grid, whole map
    vx_cf32 *last_corr;     // correlation of the most recent dump, n
    float *mag;             // |last_corr|, n
    float *noise_scratch;   // noise_hi - noise_lo + 1, for the median
    uint64_t n, ring_cap, noise_lo, noise_hi;
    unsigned noise_mode;
    float threshold;
    uint64_t last_idx;      // flat peak index of the most recent dump
    float last_peak, last_noise, last_stat;
    uint32_t has_result;
};

struct detector : det_common<corr> {};
struct detector2d : det_common<corr2d> {
    uint64_t ny, nx;
};

namespace {

// The correlator calls of each detector, and how its record and blob tail look.
template <class D> struct Traits;

template <> struct Traits<detector> {
    using record = detector_record;
    static constexpr uint32_t magic = VX_MAGIC_DETECTOR;
    static constexpr uint16_t version = VX_VERSION_DETECTOR;
    static constexpr uint64_t tail_bytes = 8 + 4 * 4;  // last_lag, peak, noise, stat, has_result
    static uint64_t exec(corr *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out) { return corr_execute(c, x, n, out, n); }
    static void reset(corr *c) { corr_reset(c); }
    static uint64_t corr_bytes(const corr *c) { return corr_state_bytes(c); }
    static void corr_get(const corr *c, void *out) { corr_get_state(c, out); }
    static int corr_set(corr *c, const void *b) { return corr_set_state(c, b); }
    static void destroy(corr *c) { corr_destroy(c); }
    static record make(const detector *d)
    {
        return {d->last_idx, d->last_peak, d->last_noise, d->last_stat};
    }
    static void put_index(vx::BlobWriter &w, const detector *d) { w.put(d->last_idx); }
    static bool get_index(vx::BlobReader &r, const detector *d, uint64_t *idx)
    {
        *idx = r.get<uint64_t>();
        return *idx < d->n;
    }
};

template <> struct Traits<detector2d> {
    using record = detector2d_record;
    static constexpr uint32_t magic = VX_MAGIC_DETECTOR2D;
    static constexpr uint16_t version = VX_VERSION_DETECTOR2D;
    static constexpr uint64_t tail_bytes = 16 + 4 * 4;  // last_row, last_col, peak, noise, stat, has_result
    static uint64_t exec(corr2d *c, const vx_cf32 *x, uint64_t n, vx_cf32 *out)
    {
        return corr2d_execute(c, x, n, out, n);
    }
    static void reset(corr2d *c) { corr2d_reset(c); }
    static uint64_t corr_bytes(const corr2d *c) { return corr2d_state_bytes(c); }
    static void corr_get(const corr2d *c, void *out) { corr2d_get_state(c, out); }
    static int corr_set(corr2d *c, const void *b) { return corr2d_set_state(c, b); }
    static void destroy(corr2d *c) { corr2d_destroy(c); }
    static record make(const detector2d *d)
    {
        return {d->last_idx / d->nx, d->last_idx % d->nx, d->last_peak, d->last_noise, d->last_stat};
    }
    static void put_index(vx::BlobWriter &w, const detector2d *d)
    {
        w.put(d->last_idx / d->nx).put(d->last_idx % d->nx);
    }
    static bool get_index(vx::BlobReader &r, const detector2d *d, uint64_t *idx)
    {
        const uint64_t row = r.get<uint64_t>(), col = r.get<uint64_t>();
        *idx = row * d->nx + col;
        return row < d->ny && col < d->nx;
    }
};

bool nan_last_less(float a, float b)
{
    if (std::isnan(a))
        return false;
    return std::isnan(b) || a < b;
}

template <class D> void destroy(D *d)
{
    if (!d)
        return;
    vx_ring_destroy(d->ring);
    Traits<D>::destroy(d->cr);
    vx_free(d->last_corr);
    vx_free(d->mag);
    vx_free(d->noise_scratch);
    vx_free(d);
}

// Everything but the correlator, which the caller has made (or not) in d->cr.
template <class D> D *finish_create(D *d, uint64_t n, uint64_t noise_lo, uint64_t noise_hi, unsigned noise_mode,
                                    float threshold)
{
    d->n = n;
    noise_lo = noise_lo < n - 1 ? noise_lo : n - 1;
    noise_hi = noise_hi < n - 1 ? noise_hi : n - 1;
    if (noise_lo > noise_hi)
        std::swap(noise_lo, noise_hi);
    d->noise_lo = noise_lo;
    d->noise_hi = noise_hi;
    d->noise_mode = noise_mode;
    d->threshold = threshold;
    uint64_t cap = 512;
    while (cap < n)  // bounded: n is a checked size
        cap <<= 1;
    d->ring_cap = cap;
    d->ring = vx_ring_create(cap, sizeof(vx_cf32));
    d->last_corr = static_cast<vx_cf32 *>(vx_calloc(n, sizeof(vx_cf32)));
    d->mag = static_cast<float *>(vx_calloc(n, sizeof(float)));
    d->noise_scratch = static_cast<float *>(vx_calloc(noise_hi - noise_lo + 1, sizeof(float)));
    if (!d->cr || !d->ring || !d->last_corr || !d->mag || !d->noise_scratch) {
        destroy(d);
        return nullptr;
    }
    return d;
}

template <class D> void reset(D *d)
{
    d->ring->tail = d->ring->head;
    Traits<D>::reset(d->cr);
    d->has_result = 0;
    d->last_idx = 0;
    d->last_peak = d->last_noise = d->last_stat = 0.0f;
}

template <class D> uint64_t pending(const D *d) { return d->ring->head - d->ring->tail; }

template <class D> float noise_estimate(D *d)
{
    const float *v = d->mag + d->noise_lo;
    const uint64_t m = d->noise_hi - d->noise_lo + 1;
    switch (d->noise_mode) {
    case DETECTOR_NOISE_MEDIAN: {
        std::memcpy(d->noise_scratch, v, m * sizeof(float));
        std::nth_element(d->noise_scratch, d->noise_scratch + m / 2, d->noise_scratch + m, nan_last_less);
        return d->noise_scratch[m / 2];
    }
    case DETECTOR_NOISE_MIN:
        return *std::min_element(v, v + m, nan_last_less);
    case DETECTOR_NOISE_MAX:
        return *std::max_element(v, v + m, nan_last_less);
    default: {
        float s = 0.0f;
        for (uint64_t k = 0; k < m; ++k)
            s += v[k];
        return s / static_cast<float>(m);
    }
    }
}

// One dump: peak (lowest index on ties), noise, statistic; true when it is reported.
template <class D> bool evaluate(D *d)
{
    d->has_result = 1;
    uint64_t idx = 0;
    for (uint64_t k = 0; k < d->n; ++k) {
        d->mag[k] = std::hypot(d->last_corr[k].re, d->last_corr[k].im);
        if (d->mag[k] > d->mag[idx])
            idx = k;
    }
    const float peak = d->mag[idx], noise = noise_estimate(d);
    d->last_idx = idx;
    d->last_peak = peak;
    d->last_noise = noise;
    d->last_stat = noise > 0.0f ? peak / noise : 0.0f;
    return d->threshold == 0.0f || d->last_stat > d->threshold;
}

template <class D>
uint64_t push(D *d, const vx_cf32 *x, uint64_t len, typename Traits<D>::record *rec, uint64_t cap,
              uint64_t *consumed)
{
    uint64_t used = 0, records = 0;
    if (d && (x || len == 0) && (rec || cap == 0)) {
        vx_ring *r = d->ring;
        while (records < cap) {
            const uint64_t room = d->ring_cap - pending(d);
            const uint64_t take = room < len - used ? room : len - used;
            if (take) {
                // The mirrored mapping makes the span contiguous across the wrap.
                std::memcpy(vx_ring_at(r, r->head), x + used, take * sizeof(vx_cf32));
                r->head += take;
                used += take;
            }
            bool progressed = take != 0;
            while (records < cap && pending(d) >= d->n) {
                const uint64_t k =
                    Traits<D>::exec(d->cr, static_cast<const vx_cf32 *>(vx_ring_at(r, r->tail)), d->n, d->last_corr);
                r->tail += d->n;
                progressed = true;
                if (k && evaluate(d))
                    rec[records++] = Traits<D>::make(d);
            }
            if (used == len || !progressed)
                break;
        }
    }
    if (consumed)
        *consumed = used;
    return records;
}

template <class D> uint64_t state_bytes(const D *d)
{
    return VX_STATE_HEADER_BYTES + Traits<D>::corr_bytes(d->cr) + 8 + d->ring_cap * sizeof(vx_cf32) +
           Traits<D>::tail_bytes;
}

template <class D> void get_state(const D *d, void *out)
{
    vx::BlobWriter w(out, Traits<D>::magic, Traits<D>::version, state_bytes(d));
    uint8_t *nested = w.cursor();
    w.zeros(Traits<D>::corr_bytes(d->cr));
    Traits<D>::corr_get(d->cr, nested);
    const uint64_t k = pending(d);
    w.put(k).put_bytes(vx_ring_at(d->ring, d->ring->tail), k * sizeof(vx_cf32));
    w.zeros((d->ring_cap - k) * sizeof(vx_cf32));
    Traits<D>::put_index(w, d);
    w.put(d->last_peak).put(d->last_noise).put(d->last_stat).put(d->has_result);
}

template <class D> int set_state(D *d, const void *blob)
{
    if (!d || vx_state_check_header(blob, Traits<D>::magic, Traits<D>::version, state_bytes(d)) != VX_OK)
        return VX_ERR_INVALID;
    const uint8_t *nested = static_cast<const uint8_t *>(blob) + VX_STATE_HEADER_BYTES;
    vx::BlobReader r(blob);
    r.skip(Traits<D>::corr_bytes(d->cr));
    const uint64_t k = r.get<uint64_t>();
    const uint8_t *samples = r.cursor();
    r.skip(d->ring_cap * sizeof(vx_cf32));
    uint64_t idx;
    const bool idx_ok = Traits<D>::get_index(r, d, &idx);
    const float peak = r.get<float>(), noise = r.get<float>(), stat = r.get<float>();
    const uint32_t has = r.get<uint32_t>();
    // Every field is checked before anything is written; the correlator checks its own
    // blob before it writes.
    if (k > d->ring_cap || !idx_ok || !vx::is_flag(has) || Traits<D>::corr_set(d->cr, nested) != VX_OK)
        return VX_ERR_INVALID;
    d->ring->tail = d->ring->head;
    std::memcpy(vx_ring_at(d->ring, d->ring->head), samples, k * sizeof(vx_cf32));
    d->ring->head += k;
    d->last_idx = idx;
    d->last_peak = peak;
    d->last_noise = noise;
    d->last_stat = stat;
    d->has_result = has;
    return VX_OK;
}

}  // namespace

extern "C" {

VX_API detector *detector_create(const vx_cf32 *ref, uint64_t n, uint64_t dwell, uint64_t noise_lo,
                                 uint64_t noise_hi, unsigned noise_mode, float threshold, int)
{
    uint64_t bytes;
    if (!ref || n == 0 || noise_mode > DETECTOR_NOISE_MAX || !vx_size_mul(n, sizeof(vx_cf32), &bytes))
        return nullptr;
    detector *d = vx::alloc_object<detector>();
    if (!d)
        return nullptr;
    d->cr = corr_create(ref, n, dwell, 1, 0);
    return finish_create(d, n, noise_lo, noise_hi, noise_mode, threshold);
}

VX_API detector2d *detector2d_create(const vx_cf32 *ref, uint64_t ny, uint64_t nx, uint64_t dwell,
                                     uint64_t noise_lo, uint64_t noise_hi, float threshold, unsigned noise_mode,
                                     int)
{
    uint64_t n, bytes;
    if (!ref || ny == 0 || nx == 0 || noise_mode > DETECTOR_NOISE_MAX || !vx_size_mul(ny, nx, &n) ||
        !vx_size_mul(n, sizeof(vx_cf32), &bytes))
        return nullptr;
    detector2d *d = vx::alloc_object<detector2d>();
    if (!d)
        return nullptr;
    d->ny = ny;
    d->nx = nx;
    d->cr = corr2d_create(ref, ny, nx, dwell, 1, 0, 0, -1);
    return finish_create(d, n, noise_lo, noise_hi, noise_mode, threshold);
}

VX_API void detector_destroy(detector *d) { destroy(d); }
VX_API void detector2d_destroy(detector2d *d) { destroy(d); }
VX_API void detector_reset(detector *d) { reset(d); }
VX_API void detector2d_reset(detector2d *d) { reset(d); }

VX_API int detector_set_ref(detector *d, const vx_cf32 *ref)
{
    reset(d);
    corr_set_ref(d->cr, ref);
    return 0;
}

VX_API int detector2d_set_ref(detector2d *d, const vx_cf32 *ref)
{
    reset(d);
    return corr2d_set_ref(d->cr, ref);
}

VX_API void detector_set_threshold(detector *d, float threshold) { d->threshold = threshold; }
VX_API void detector2d_set_threshold(detector2d *d, float threshold) { d->threshold = threshold; }

VX_API uint64_t detector_push(detector *d, const vx_cf32 *x, uint64_t len, detector_record *rec, uint64_t cap,
                              uint64_t *consumed)
{
    return push(d, x, len, rec, cap, consumed);
}

VX_API uint64_t detector2d_push(detector2d *d, const vx_cf32 *x, uint64_t len, detector2d_record *rec,
                                uint64_t cap, uint64_t *consumed)
{
    return push(d, x, len, rec, cap, consumed);
}

VX_API uint64_t detector_get_n(const detector *d) { return d->n; }
VX_API uint64_t detector_get_dwell(const detector *d) { return corr_get_dwell(d->cr); }
VX_API uint64_t detector_get_count(const detector *d) { return corr_get_count(d->cr); }
VX_API uint64_t detector_get_ring_cap(const detector *d) { return d->ring_cap; }
VX_API uint64_t detector_get_noise_lo(const detector *d) { return d->noise_lo; }
VX_API uint64_t detector_get_noise_hi(const detector *d) { return d->noise_hi; }
VX_API unsigned detector_get_noise_mode(const detector *d) { return d->noise_mode; }
VX_API float detector_get_threshold(const detector *d) { return d->threshold; }
VX_API uint64_t detector_get_pending(const detector *d) { return pending(d); }
VX_API const vx_cf32 *detector_last_corr(const detector *d) { return d->has_result ? d->last_corr : nullptr; }
VX_API int detector_get_last(const detector *d, detector_record *out)
{
    if (!d->has_result)
        return 0;
    *out = Traits<detector>::make(d);
    return 1;
}

VX_API uint64_t detector2d_get_n(const detector2d *d) { return d->n; }
VX_API uint64_t detector2d_get_ny(const detector2d *d) { return d->ny; }
VX_API uint64_t detector2d_get_nx(const detector2d *d) { return d->nx; }
VX_API uint64_t detector2d_get_dwell(const detector2d *d) { return corr2d_get_dwell(d->cr); }
VX_API uint64_t detector2d_get_count(const detector2d *d) { return corr2d_get_count(d->cr); }
VX_API uint64_t detector2d_get_ring_cap(const detector2d *d) { return d->ring_cap; }
VX_API uint64_t detector2d_get_noise_lo(const detector2d *d) { return d->noise_lo; }
VX_API uint64_t detector2d_get_noise_hi(const detector2d *d) { return d->noise_hi; }
VX_API unsigned detector2d_get_noise_mode(const detector2d *d) { return d->noise_mode; }
VX_API float detector2d_get_threshold(const detector2d *d) { return d->threshold; }
VX_API uint64_t detector2d_get_pending(const detector2d *d) { return pending(d); }
VX_API const vx_cf32 *detector2d_last_corr(const detector2d *d) { return d->has_result ? d->last_corr : nullptr; }

VX_API uint64_t detector_state_bytes(const detector *d) { return state_bytes(d); }
VX_API void detector_get_state(const detector *d, void *out) { get_state(d, out); }
VX_API int detector_set_state(detector *d, const void *blob) { return set_state(d, blob); }
VX_API uint64_t detector2d_state_bytes(const detector2d *d) { return state_bytes(d); }
VX_API void detector2d_get_state(const detector2d *d, void *out) { get_state(d, out); }
VX_API int detector2d_set_state(detector2d *d, const void *blob) { return set_state(d, blob); }

}  // extern "C"
