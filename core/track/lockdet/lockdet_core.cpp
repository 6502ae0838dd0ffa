#include "lockdet.h"

#include "vx_blob.hpp"

extern "C" {

VX_API void lockdet_configure(lockdet *ld, double up_thresh, double down_thresh, uint32_t n_up,
                              uint32_t n_down)
{
    ld->up_thresh = up_thresh;
    ld->down_thresh = down_thresh;
    ld->n_up = n_up ? n_up : 1;
    ld->n_down = n_down ? n_down : 1;
    ld->count = 0;
}

VX_API void lockdet_init(lockdet *ld, double up_thresh, double down_thresh, uint32_t n_up,
                         uint32_t n_down)
{
    lockdet_configure(ld, up_thresh, down_thresh, n_up, n_down);
    ld->locked = 0;
}

VX_API lockdet *lockdet_create(double up_thresh, double down_thresh, uint32_t n_up,
                               uint32_t n_down)
{
    lockdet *ld = vx::alloc_object<lockdet>();
    if (ld)
        lockdet_init(ld, up_thresh, down_thresh, n_up, n_down);
    return ld;
}

VX_API void lockdet_reset(lockdet *ld)
{
    ld->count = 0;
    ld->locked = 0;
}

VX_API void lockdet_destroy(lockdet *ld) { vx_free(ld); }

VX_API uint64_t lockdet_steps(lockdet *ld, const double *x, int32_t *out, uint64_t n)
{
    for (uint64_t i = 0; i < n; ++i)
        out[i] = lockdet_look(ld, x[i]);
    return n;
}

VX_API uint64_t lockdet_state_bytes(const lockdet *) { return LOCKDET_STATE_BYTES; }

VX_API void lockdet_get_state(const lockdet *ld, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_LOCKDET, VX_VERSION_LOCKDET, LOCKDET_STATE_BYTES)
        .put(ld->up_thresh).put(ld->down_thresh).put(ld->n_up).put(ld->n_down).put(ld->count)
        .put(ld->locked);
}

VX_API int lockdet_set_state(lockdet *ld, const void *blob)
{
    if (!ld || vx_state_check_header(blob, VX_MAGIC_LOCKDET, VX_VERSION_LOCKDET,
                                     LOCKDET_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    lockdet v;
    vx::BlobReader(blob).get(v.up_thresh).get(v.down_thresh).get(v.n_up).get(v.n_down)
        .get(v.count).get(v.locked);
    // Counts are run lengths toward a threshold: a run already at its limit cannot exist.
    const uint32_t limit = v.locked ? v.n_down : v.n_up;
    if (v.n_up < 1 || v.n_down < 1 || !vx::is_flag(v.locked) || !vx::below(v.count, limit))
        return VX_ERR_INVALID;
    *ld = v;
    return VX_OK;
}

}  // extern "C"
