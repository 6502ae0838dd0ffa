#include "boxcar.h"

#include <cstring>

#include "vx_blob.hpp"

// The blob payload is this object image, field by field.
static_assert(sizeof(boxcar) == BOXCAR_STATE_BYTES - VX_STATE_HEADER_BYTES);

extern "C" {

VX_API void boxcar_init(boxcar *b, uint64_t len, double gain)
{
    b->len = len == 0 ? 1 : len > BOXCAR_MAX_LEN ? BOXCAR_MAX_LEN : len;
    b->inv_len = 1.0 / static_cast<double>(b->len);
    boxcar_set_gain(b, gain);
    boxcar_reset(b);
}

VX_API boxcar *boxcar_create(uint64_t len, double gain)
{
    if (len < 1 || len > BOXCAR_MAX_LEN)
        return nullptr;
    boxcar *b = vx::alloc_object<boxcar>();
    if (b)
        boxcar_init(b, len, gain);
    return b;
}

VX_API void boxcar_destroy(boxcar *b) { vx_free(b); }

VX_API void boxcar_reset(boxcar *b)
{
    b->pos = 0;
    b->acc = {0.0f, 0.0f};
    std::memset(b->ring, 0, sizeof b->ring);
}

VX_API void boxcar_steps(boxcar *b, const vx_cf32 *x, vx_cf32 *y, uint64_t n)
{
    const uint64_t len = b->len;
    const float scale = b->scale;
    uint64_t pos = b->pos;
    vx_cf32 acc = b->acc;
    for (uint64_t i = 0; i < n; ++i) {
        const vx_cf32 v = x[i];
        acc.re = acc.re + v.re - b->ring[pos].re;
        acc.im = acc.im + v.im - b->ring[pos].im;
        b->ring[pos] = v;
        pos = pos + 1 == len ? 0 : pos + 1;
        y[i] = {acc.re * scale, acc.im * scale};
    }
    b->pos = pos;
    b->acc = acc;
}

VX_API void boxcar_set_gain(boxcar *b, double gain)
{
    b->gain = gain;
    b->scale = static_cast<float>(gain * b->inv_len);
}

VX_API double boxcar_get_gain(const boxcar *b) { return b->gain; }

VX_API uint64_t boxcar_get_len(const boxcar *b) { return b->len; }

VX_API uint64_t boxcar_state_bytes(const boxcar *) { return BOXCAR_STATE_BYTES; }

VX_API void boxcar_get_state(const boxcar *b, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_BOXCAR, VX_VERSION_BOXCAR, BOXCAR_STATE_BYTES)
        .put(b->len).put(b->pos).put(b->inv_len).put(b->gain).put(b->scale).put(b->acc)
        .put(b->ring).zeros(4);
}

VX_API int boxcar_set_state(boxcar *b, const void *blob)
{
    if (!b || vx_state_check_header(blob, VX_MAGIC_BOXCAR, VX_VERSION_BOXCAR, BOXCAR_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    boxcar t;
    vx::BlobReader(blob).get(t.len).get(t.pos).get(t.inv_len).get(t.gain).get(t.scale).get(t.acc)
        .get_bytes(t.ring, sizeof t.ring);
    // len bounds the ring index and pos indexes it.
    if (t.len < 1 || t.len > BOXCAR_MAX_LEN || t.pos >= t.len)
        return VX_ERR_INVALID;
    *b = t;
    return VX_OK;
}

}  // extern "C"
