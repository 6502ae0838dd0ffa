#include "detector2d.h"

#include "corr2d.h"
#include "detector_impl.hpp"

struct detector2d : det_common<corr2d> {
    uint64_t ny, nx;
};

namespace vx::detector_impl {

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

}  // namespace vx::detector_impl

using namespace vx::detector_impl;

extern "C" {

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

VX_API void detector2d_destroy(detector2d *d) { destroy(d); }
VX_API void detector2d_reset(detector2d *d) { reset(d); }

VX_API int detector2d_set_ref(detector2d *d, const vx_cf32 *ref)
{
    reset(d);
    return corr2d_set_ref(d->cr, ref);
}

VX_API void detector2d_set_threshold(detector2d *d, float threshold) { d->threshold = threshold; }
VX_API uint64_t detector2d_get_ref(const detector2d *d, vx_cf32 *out, uint64_t cap)
{
    return corr2d_get_ref(d->cr, out, cap);
}

VX_API uint64_t detector2d_push(detector2d *d, const vx_cf32 *x, uint64_t len, detector2d_record *rec,
                                uint64_t cap, uint64_t *consumed)
{
    return push(d, x, len, rec, cap, consumed);
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
VX_API uint64_t detector2d_state_bytes(const detector2d *d) { return state_bytes(d); }
VX_API void detector2d_get_state(const detector2d *d, void *out) { get_state(d, out); }
VX_API int detector2d_set_state(detector2d *d, const void *blob) { return set_state(d, blob); }

}  // extern "C"
