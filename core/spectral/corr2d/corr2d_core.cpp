#include "corr2d.h"

#include "corr_kernels.hpp"
#include "fft.h"
#include "fft2d.h"

struct corr2d {
    fft2d *fwd2, *inv2;  // 2-D path: ny×nx forward, ny_out×nx_out inverse
    fft *fwd1, *inv1;    // row path: nx forward, nx_out inverse
    vx_cf32 *ref;        // the reference as given, ny·nx: what the object was built from
    vx_cf32 *ref_spec;   // conj(FFT2(ref)) (ny·nx), or conj(FFT(row 0)) (nx)
    vx_cf32 *ref_row;    // single-lag mode: conj(ref[0, q]), nx
    vx_cf32 *spec;       // ny·nx
    vx_cf32 *acc;        // ny·nx (the single-lag mode uses the first ny)
    vx_cf32 *frame;      // ny·nx: a short frame zero-extended
    vx_cf32 *rowpad;     // 2-D path, larger grid: ny×nx_out; row path: one row of nx_out
    vx_cf32 *grid;       // 2-D path, larger grid: ny_out×nx_out
    uint64_t ny, nx, ny_out, nx_out, n_in, n_out, dwell, count;
    int32_t col_out;
    int row_path;
};

using namespace vx::corr_kernels;

namespace {

bool zero_outside_row0(const vx_cf32 *ref, uint64_t ny, uint64_t nx)
{
    for (uint64_t k = nx; k < ny * nx; ++k)
        if (ref[k].re != 0.0f || ref[k].im != 0.0f)
            return false;
    return true;
}

void load_ref2d(corr2d *c, const vx_cf32 *given)
{
    std::memmove(c->ref, given, c->n_in * sizeof(vx_cf32));
    const vx_cf32 *ref = c->ref;
    if (c->row_path) {
        fft_execute_cf32(c->fwd1, ref, c->nx, c->ref_spec, c->nx);
        conj_inplace(c->ref_spec, c->nx);
        if (c->ref_row) {
            std::memcpy(c->ref_row, ref, c->nx * sizeof(vx_cf32));
            conj_inplace(c->ref_row, c->nx);
        }
    } else {
        fft2d_execute_cf32(c->fwd2, ref, c->n_in, c->ref_spec, c->n_in);
        conj_inplace(c->ref_spec, c->n_in);
    }
}

}  // namespace

extern "C" {

VX_API void corr2d_zeropad_1d(const vx_cf32 *s, uint64_t n, vx_cf32 *p, uint64_t m)
{
    if (s && p && m >= n)
        zeropad(s, n, 1, p, m, 1);
}

VX_API corr2d *corr2d_create(const vx_cf32 *ref, uint64_t ny, uint64_t nx, uint64_t dwell, int, uint64_t ny_out,
                             uint64_t nx_out, int32_t col_out)
{
    uint64_t n_in;
    if (!ref || ny == 0 || nx == 0 || dwell == 0 || !vx_size_mul(ny, nx, &n_in))
        return nullptr;
    if ((ny_out != 0 && ny_out < ny) || (nx_out != 0 && nx_out < nx))
        return nullptr;
    ny_out = ny_out ? ny_out : ny;
    nx_out = nx_out ? nx_out : nx;
    const bool row_path = ny_out == ny && zero_outside_row0(ref, ny, nx);
    if (col_out >= 0 && !(row_path && nx_out == nx && static_cast<uint64_t>(col_out) < nx))
        return nullptr;
    uint64_t n_out;
    if (!vx_size_mul(ny_out, nx_out, &n_out))
        return nullptr;
    if (col_out >= 0)
        n_out = ny;

    corr2d *c = vx::alloc_object<corr2d>();
    if (!c)
        return nullptr;
    c->ny = ny;
    c->nx = nx;
    c->ny_out = ny_out;
    c->nx_out = nx_out;
    c->n_in = n_in;
    c->n_out = n_out;
    c->dwell = dwell;
    c->col_out = col_out;
    c->row_path = row_path;
    c->ref = cbuf(n_in);
    c->spec = cbuf(n_in);
    c->acc = cbuf(n_in);
    c->frame = cbuf(n_in);
    bool ok = c->ref && c->spec && c->acc && c->frame;
    if (row_path) {
        c->fwd1 = fft_create(nx, -1, 1);
        c->inv1 = fft_create(nx_out, +1, 1);
        c->ref_spec = cbuf(nx);
        c->rowpad = cbuf(nx_out);
        ok = ok && c->fwd1 && c->inv1 && c->ref_spec && c->rowpad;
        if (col_out >= 0) {
            c->ref_row = cbuf(nx);
            ok = ok && c->ref_row;
        }
    } else {
        c->fwd2 = fft2d_create(ny, nx, -1, 1);
        c->inv2 = fft2d_create(ny_out, nx_out, +1, 1);
        c->ref_spec = cbuf(n_in);
        ok = ok && c->fwd2 && c->inv2 && c->ref_spec;
        if (n_out != n_in) {
            uint64_t rows;
            c->rowpad = vx_size_mul(ny, nx_out, &rows) ? cbuf(rows) : nullptr;
            c->grid = cbuf(n_out);
            ok = ok && c->rowpad && c->grid;
        }
    }
    if (!ok) {
        corr2d_destroy(c);
        return nullptr;
    }
    load_ref2d(c, ref);
    return c;
}

VX_API void corr2d_destroy(corr2d *c)
{
    if (!c)
        return;
    fft2d_destroy(c->fwd2);
    fft2d_destroy(c->inv2);
    fft_destroy(c->fwd1);
    fft_destroy(c->inv1);
    vx_free(c->ref);
    vx_free(c->ref_spec);
    vx_free(c->ref_row);
    vx_free(c->spec);
    vx_free(c->acc);
    vx_free(c->frame);
    vx_free(c->rowpad);
    vx_free(c->grid);
    vx_free(c);
}

VX_API void corr2d_reset(corr2d *c)
{
    std::memset(c->acc, 0, c->n_in * sizeof(vx_cf32));
    c->count = 0;
}

VX_API int corr2d_set_ref(corr2d *c, const vx_cf32 *ref)
{
    if (!c || !ref)
        return -1;
    int rc = 0;
    if (c->row_path && !zero_outside_row0(ref, c->ny, c->nx))
        rc = -1;
    else
        load_ref2d(c, ref);
    corr2d_reset(c);
    return rc;
}

VX_API uint64_t corr2d_get_ref(const corr2d *c, vx_cf32 *out, uint64_t cap)
{
    const uint64_t k = min_u(c->n_in, cap);
    if (k)
        std::memcpy(out, c->ref, k * sizeof(vx_cf32));
    return k;
}

VX_API uint64_t corr2d_execute(corr2d *c, const vx_cf32 *frame, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    if (!c)
        return 0;
    const uint64_t ny = c->ny, nx = c->nx;
    // A short frame is zero-extended into the object's own buffer, so rows can be read whole.
    const vx_cf32 *x = frame;
    if (!frame || len < c->n_in) {
        const uint64_t m = frame ? len : 0;
        if (m)
            std::memcpy(c->frame, frame, m * sizeof(vx_cf32));
        std::memset(static_cast<void *>(c->frame + m), 0, (c->n_in - m) * sizeof(vx_cf32));
        x = c->frame;
    }
    if (c->col_out >= 0) {
        // Single lag: s_i = Σ_p conj(r[0, p])·x[i, (p + c) mod nx], in the time domain.
        const uint64_t col = static_cast<uint64_t>(c->col_out);
        for (uint64_t i = 0; i < ny; ++i) {
            const vx_cf32 *row = x + i * nx;
            vx_cf32 s = {0.0f, 0.0f};
            for (uint64_t p = 0, q = col; p < nx; ++p, q = q + 1 == nx ? 0 : q + 1) {
                const vx_cf32 v = cmul(c->ref_row[p], row[q]);
                s.re += v.re;
                s.im += v.im;
            }
            c->acc[i].re += s.re;
            c->acc[i].im += s.im;
        }
    } else if (c->row_path) {
        for (uint64_t i = 0; i < ny; ++i) {
            fft_execute_cf32(c->fwd1, x + i * nx, nx, c->spec + i * nx, nx);
            mul_add(c->acc + i * nx, c->spec + i * nx, c->ref_spec, nx);
        }
    } else {
        fft2d_execute_cf32(c->fwd2, x, c->n_in, c->spec, c->n_in);
        mul_add(c->acc, c->spec, c->ref_spec, c->n_in);
    }
    if (++c->count != c->dwell)
        return 0;

    uint64_t written = 0;
    if (!out) {
        // nothing to write; the dump still clears the integration
    } else if (c->col_out >= 0) {
        written = min_u(ny, cap);
        std::memcpy(out, c->acc, written * sizeof(vx_cf32));
    } else if (c->row_path) {
        const float g = 1.0f / static_cast<float>(nx);
        for (uint64_t i = 0; i < ny && written < cap; ++i) {
            const vx_cf32 *src = c->acc + i * nx;
            if (c->nx_out != nx) {
                zeropad(src, nx, 1, c->rowpad, c->nx_out, 1);
                src = c->rowpad;
            }
            const uint64_t k = fft_execute_cf32(c->inv1, src, c->nx_out, out + written, cap - written);
            scale(out + written, k, g);
            written += k;
        }
    } else {
        const vx_cf32 *src = c->acc;
        if (c->grid) {
            for (uint64_t i = 0; i < ny; ++i)
                zeropad(c->acc + i * nx, nx, 1, c->rowpad + i * c->nx_out, c->nx_out, 1);
            for (uint64_t j = 0; j < c->nx_out; ++j)
                zeropad(c->rowpad + j, ny, c->nx_out, c->grid + j, c->ny_out, c->nx_out);
            src = c->grid;
        }
        written = fft2d_execute_cf32(c->inv2, src, c->n_out, out, cap);
        scale(out, written, 1.0f / static_cast<float>(c->n_in));
    }
    corr2d_reset(c);
    return written;
}

VX_API uint64_t corr2d_execute_max_out(const corr2d *c) { return c->n_out; }
VX_API uint64_t corr2d_get_ny(const corr2d *c) { return c->ny; }
VX_API uint64_t corr2d_get_nx(const corr2d *c) { return c->nx; }
VX_API uint64_t corr2d_get_ny_out(const corr2d *c) { return c->ny_out; }
VX_API uint64_t corr2d_get_nx_out(const corr2d *c) { return c->nx_out; }
VX_API uint64_t corr2d_get_dwell(const corr2d *c) { return c->dwell; }
VX_API uint64_t corr2d_get_count(const corr2d *c) { return c->count; }
VX_API int32_t corr2d_get_col_out(const corr2d *c) { return c->col_out; }
VX_API int corr2d_get_row_path(const corr2d *c) { return c->row_path; }

VX_API uint64_t corr2d_state_bytes(const corr2d *c) { return blob_bytes(c->n_in); }

VX_API void corr2d_get_state(const corr2d *c, void *out)
{
    write_blob(out, VX_MAGIC_CORR2D, VX_VERSION_CORR2D, c->count, c->acc, c->n_in);
}

VX_API int corr2d_set_state(corr2d *c, const void *blob)
{
    if (!c)
        return VX_ERR_INVALID;
    return read_blob(blob, VX_MAGIC_CORR2D, VX_VERSION_CORR2D, c->dwell, &c->count, c->acc, c->n_in);
}

}  // extern "C"
