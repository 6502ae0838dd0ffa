#include "detector.h"

#include "corr.h"
#include "detector_impl.hpp"

struct detector : det_common<corr> {};

namespace vx::detector_impl {

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

}  // namespace vx::detector_impl

using namespace vx::detector_impl;

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

VX_API void detector_destroy(detector *d) { destroy(d); }
VX_API void detector_reset(detector *d) { reset(d); }

VX_API int detector_set_ref(detector *d, const vx_cf32 *ref)
{
    reset(d);
    corr_set_ref(d->cr, ref);
    return 0;
}

VX_API void detector_set_threshold(detector *d, float threshold) { d->threshold = threshold; }
VX_API uint64_t detector_get_ref(const detector *d, vx_cf32 *out, uint64_t cap)
{
    return corr_get_ref(d->cr, out, cap);
}

VX_API uint64_t detector_push(detector *d, const vx_cf32 *x, uint64_t len, detector_record *rec, uint64_t cap,
                              uint64_t *consumed)
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

VX_API uint64_t detector_state_bytes(const detector *d) { return state_bytes(d); }
VX_API void detector_get_state(const detector *d, void *out) { get_state(d, out); }
VX_API int detector_set_state(detector *d, const void *blob) { return set_state(d, blob); }

}  // extern "C"
