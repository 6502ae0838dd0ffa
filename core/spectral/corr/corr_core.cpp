#include "corr.h"

#include <cstring>

#include "corr_kernels.hpp"
#include "fft.h"

struct corr {
    fft *fwd;           // length n, forward
    fft *inv;           // length n_out, inverse
    vx_cf32 *ref;       // the reference as given, n: what the object was built from
    vx_cf32 *ref_spec;  // conj(FFT(ref)), n
    vx_cf32 *spec;      // transform of the current frame, n
    vx_cf32 *acc;       // accumulated cross-spectrum, n
    vx_cf32 *pad;       // zero-padded cross-spectrum, n_out; NULL on the native grid
    uint64_t n, n_out, dwell, count;
};


using namespace vx::corr_kernels;


extern "C" {


/* ---- 1-D ---------------------------------------------------------------------------- */

VX_API corr *corr_create(const vx_cf32 *ref, uint64_t n, uint64_t dwell, int, uint64_t n_out)
{
    if (!ref || n == 0)
        return nullptr;
    if (n_out == 0)
        n_out = n;
    if (n_out < n)
        return nullptr;
    corr *c = vx::alloc_object<corr>();
    if (!c)
        return nullptr;
    c->n = n;
    c->n_out = n_out;
    c->dwell = dwell;
    c->fwd = fft_create(n, -1, 1);
    c->inv = fft_create(n_out, +1, 1);
    c->ref = cbuf(n);
    c->ref_spec = cbuf(n);
    c->spec = cbuf(n);
    c->acc = cbuf(n);
    if (n_out != n)
        c->pad = cbuf(n_out);
    if (!c->fwd || !c->inv || !c->ref || !c->ref_spec || !c->spec || !c->acc || (n_out != n && !c->pad)) {
        corr_destroy(c);
        return nullptr;
    }
    corr_set_ref(c, ref);
    return c;
}

VX_API void corr_destroy(corr *c)
{
    if (!c)
        return;
    fft_destroy(c->fwd);
    fft_destroy(c->inv);
    vx_free(c->ref);
    vx_free(c->ref_spec);
    vx_free(c->spec);
    vx_free(c->acc);
    vx_free(c->pad);
    vx_free(c);
}

VX_API void corr_reset(corr *c)
{
    std::memset(c->acc, 0, c->n * sizeof(vx_cf32));
    c->count = 0;
}

VX_API void corr_set_ref(corr *c, const vx_cf32 *ref)
{
    if (!c || !ref)
        return;
    std::memmove(c->ref, ref, c->n * sizeof(vx_cf32));
    fft_execute_cf32(c->fwd, c->ref, c->n, c->ref_spec, c->n);
    conj_inplace(c->ref_spec, c->n);
    corr_reset(c);
}

VX_API uint64_t corr_get_ref(const corr *c, vx_cf32 *out, uint64_t cap)
{
    const uint64_t k = min_u(c->n, cap);
    if (k)
        std::memcpy(out, c->ref, k * sizeof(vx_cf32));
    return k;
}

VX_API uint64_t corr_execute(corr *c, const vx_cf32 *frame, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    if (!c)
        return 0;
    fft_execute_cf32(c->fwd, frame, len, c->spec, c->n);
    mul_add(c->acc, c->spec, c->ref_spec, c->n);
    if (++c->count != c->dwell)
        return 0;
    const vx_cf32 *src = c->acc;
    if (c->pad) {
        zeropad(c->acc, c->n, 1, c->pad, c->n_out, 1);
        src = c->pad;
    }
    const uint64_t k = out ? fft_execute_cf32(c->inv, src, c->n_out, out, cap) : 0;
    scale(out, k, 1.0f / static_cast<float>(c->n));  // the native height, whatever the grid
    corr_reset(c);
    return k;
}

VX_API uint64_t corr_execute_max_out(const corr *c) { return c->n_out; }
VX_API uint64_t corr_get_n(const corr *c) { return c->n; }
VX_API uint64_t corr_get_n_out(const corr *c) { return c->n_out; }
VX_API uint64_t corr_get_dwell(const corr *c) { return c->dwell; }
VX_API uint64_t corr_get_count(const corr *c) { return c->count; }

VX_API uint64_t corr_state_bytes(const corr *c) { return blob_bytes(c->n); }

VX_API void corr_get_state(const corr *c, void *out)
{
    write_blob(out, VX_MAGIC_CORR, VX_VERSION_CORR, c->count, c->acc, c->n);
}

VX_API int corr_set_state(corr *c, const void *blob)
{
    if (!c)
        return VX_ERR_INVALID;
    return read_blob(blob, VX_MAGIC_CORR, VX_VERSION_CORR, c->dwell, &c->count, c->acc, c->n);
}

}  // extern "C"
