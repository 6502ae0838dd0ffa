// The detector algorithm once, for both detectors: D is the detector object and
// Traits<D> (specialised by each unit) names its correlator calls, record and blob tail.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>

#include "detector.h"
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

namespace vx::detector_impl {

template <class D> struct Traits;

inline bool nan_last_less(float a, float b)
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
           Traits<D>::tail_bytes + d->n * sizeof(vx_cf32);
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
    w.put_bytes(d->last_corr, d->n * sizeof(vx_cf32));
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
    const uint8_t *last_corr = r.cursor();
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
    std::memcpy(d->last_corr, last_corr, d->n * sizeof(vx_cf32));
    return VX_OK;
}

}  // namespace vx::detector_impl
