#include "farrow.h"

#include "vx_blob.hpp"

namespace {

// One component of the interpolant between h1 (mu = 0) and h2 (mu = 1).
inline float interpolate(uint32_t order, float h0, float h1, float h2, float h3, float mu)
{
    switch (order) {
    case FARROW_LINEAR:
        return h1 + mu * (h2 - h1);
    case FARROW_PARABOLIC:
        return h1 + mu * ((h2 - h1) + 0.5f * (mu - 1.0f) * ((h0 + h3) - (h1 + h2)));
    default: {
        const float a = 6.0f * h2 - 2.0f * h0 - h3 - 3.0f * h1;
        const float b = h3 - 3.0f * h2 + 3.0f * h1 - h0;
        const float c = h2 + h0 - 2.0f * h1;
        return h1 + mu * (a / 6.0f + mu * (c / 2.0f + mu * b / 6.0f));
    }
    }
}

} // namespace

extern "C" {

VX_API int farrow_init(farrow *f, uint32_t order)
{
    if (!f || order > FARROW_CUBIC)
        return VX_ERR_INVALID;
    *f = farrow{};
    f->order = order;
    return VX_OK;
}

VX_API farrow *farrow_create(uint32_t order)
{
    if (order > FARROW_CUBIC)
        return nullptr;
    farrow *f = vx::alloc_object<farrow>();
    if (f)
        farrow_init(f, order);
    return f;
}

VX_API void farrow_reset(farrow *f)
{
    for (vx_cf32 &v : f->h)
        v = {0.0f, 0.0f};
}

VX_API void farrow_destroy(farrow *f) { vx_free(f); }

VX_API uint64_t farrow_delay(farrow *f, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                             uint64_t max_out, float mu)
{
    if (!f || !x || n_in == 0)
        return 0;
    const uint64_t n_out = y ? (n_in < max_out ? n_in : max_out) : 0;
    for (uint64_t i = 0; i < n_in; ++i) {
        vx_cf32 *h = f->h;
        h[0] = h[1], h[1] = h[2], h[2] = h[3], h[3] = x[i];
        if (i < n_out) // inputs past the room only enter the history
            y[i] = {interpolate(f->order, h[0].re, h[1].re, h[2].re, h[3].re, mu),
                    interpolate(f->order, h[0].im, h[1].im, h[2].im, h[3].im, mu)};
    }
    return n_out;
}

VX_API uint64_t farrow_delay_max_out(const farrow *) { return 0; }
VX_API double farrow_get_group_delay(const farrow *) { return 2.0; }
VX_API uint64_t farrow_state_bytes(const farrow *) { return FARROW_STATE_BYTES; }

VX_API void farrow_get_state(const farrow *f, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_FARROW, VX_VERSION_FARROW, FARROW_STATE_BYTES)
        .put(f->h).put(f->order);
}

VX_API int farrow_set_state(farrow *f, const void *blob)
{
    if (!f || vx_state_check_header(blob, VX_MAGIC_FARROW, VX_VERSION_FARROW,
                                    FARROW_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    farrow v;
    vx::BlobReader(blob).get_bytes(v.h, sizeof v.h).get(v.order);
    if (v.order > FARROW_CUBIC)
        return VX_ERR_INVALID;
    *f = v;
    return VX_OK;
}

} // extern "C"
