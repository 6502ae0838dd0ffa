#include "fft2d.h"

#include "vx_blob.hpp"

struct fft2d {
    vx_fft_plan *plan;
    uint64_t ny, nx;
    int sign;
};

extern "C" {

VX_API fft2d *fft2d_create(uint64_t ny, uint64_t nx, int sign, int)
{
    fft2d *f = vx::alloc_object<fft2d>();
    if (!f)
        return nullptr;
    f->plan = vx_fft_plan_2d(ny, nx, sign);
    if (!f->plan) {
        vx_free(f);
        return nullptr;
    }
    f->ny = ny;
    f->nx = nx;
    f->sign = sign;
    return f;
}

VX_API void fft2d_destroy(fft2d *f)
{
    if (!f)
        return;
    vx_fft_destroy_plan(f->plan);
    vx_free(f);
}

VX_API void fft2d_reset(fft2d *) {}
VX_API uint64_t fft2d_get_ny(const fft2d *f) { return f->ny; }
VX_API uint64_t fft2d_get_nx(const fft2d *f) { return f->nx; }
VX_API int fft2d_get_sign(const fft2d *f) { return f->sign; }

VX_API uint64_t fft2d_execute_cf64(fft2d *f, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap)
{
    return f ? vx_fft_execute_cf64(f->plan, x, len, out, cap) : 0;
}
VX_API uint64_t fft2d_execute_cf32(fft2d *f, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    return f ? vx_fft_execute_cf32(f->plan, x, len, out, cap) : 0;
}
VX_API uint64_t fft2d_execute_inplace_cf64(fft2d *f, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap)
{
    return fft2d_execute_cf64(f, x, len, out, cap);
}
VX_API uint64_t fft2d_execute_inplace_cf32(fft2d *f, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    return fft2d_execute_cf32(f, x, len, out, cap);
}
VX_API uint64_t fft2d_execute_max_out(const fft2d *f) { return f->ny * f->nx; }

}  // extern "C"
