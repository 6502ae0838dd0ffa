#include "lo.h"

#include <cmath>

#include "vx_blob.hpp"

namespace {

struct SinTable {
    float v[LO_TABLE_SIZE];
    SinTable()
    {
        for (uint32_t i = 0; i < LO_TABLE_SIZE; ++i)
            v[i] = std::sin(static_cast<float>(i) * 9.58738e-5f);
        v[0] = 0.0f;
    }
};

template <bool Ctrl>
uint64_t run(lo *o, const double *ctrl, uint64_t n, vx_cf32 *out, uint64_t max_out)
{
    if (!o || !out || (Ctrl && !ctrl))
        return 0;
    const float *t = lo_sin_table();
    const uint64_t m = n < max_out ? n : max_out;
    uint32_t p = o->phase;
    for (uint64_t i = 0; i < m; ++i) {
        out[i] = lo_sample(t, p);
        p += Ctrl ? o->phase_inc + vx_phase_inc(ctrl[i]) : o->phase_inc;
    }
    o->phase = p;
    return m;
}

}  // namespace

extern "C" {

VX_API const float *lo_sin_table(void)
{
    static const SinTable table; // thread-safe one-time fill
    return table.v;
}

VX_API void lo_init(lo *o, double norm_freq)
{
    lo_sin_table();
    o->phase = 0;
    lo_set_norm_freq(o, norm_freq);
}

VX_API lo *lo_create(double norm_freq)
{
    lo *o = vx::alloc_object<lo>();
    if (o)
        lo_init(o, norm_freq);
    return o;
}

VX_API void lo_destroy(lo *o) { vx_free(o); }
VX_API void lo_reset(lo *o) { o->phase = 0; }

VX_API void lo_set_norm_freq(lo *o, double norm_freq)
{
    o->norm_freq = norm_freq;
    o->phase_inc = vx_phase_inc(norm_freq);
}
VX_API double lo_get_norm_freq(const lo *o) { return o->norm_freq; }
VX_API uint32_t lo_get_phase(const lo *o) { return o->phase; }
VX_API void lo_set_phase(lo *o, uint32_t phase) { o->phase = phase; }
VX_API uint32_t lo_get_phase_inc(const lo *o) { return o->phase_inc; }

VX_API uint64_t lo_steps(lo *o, uint64_t n, vx_cf32 *out, uint64_t max_out)
{
    return run<false>(o, nullptr, n, out, max_out);
}
VX_API uint64_t lo_steps_ctrl(lo *o, const double *ctrl, uint64_t n, vx_cf32 *out, uint64_t max_out)
{
    return run<true>(o, ctrl, n, out, max_out);
}
VX_API uint64_t lo_steps_max_out(const lo *) { return LO_MAX_OUT; }
VX_API uint64_t lo_steps_ctrl_max_out(const lo *) { return LO_MAX_OUT; }

VX_API uint64_t lo_state_bytes(const lo *) { return LO_STATE_BYTES; }
VX_API void lo_get_state(const lo *o, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_LO, VX_VERSION_LO, LO_STATE_BYTES).put(o->phase);
}
VX_API int lo_set_state(lo *o, const void *blob)
{
    if (!o || vx_state_check_header(blob, VX_MAGIC_LO, VX_VERSION_LO, LO_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader(blob).get(o->phase);
    return VX_OK;
}

}  // extern "C"
