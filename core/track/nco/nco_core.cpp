#include "nco.h"

#include "vx_blob.hpp"

namespace {

inline uint32_t scaled(uint32_t p, uint32_t scale)
{
    return scale ? static_cast<uint32_t>((static_cast<uint64_t>(p) * scale) >> 32) : p;
}

// Wrap flag of the controlled generator: from the sign of the total frequency, so a step
// of a whole cycle or more counts even when the phase lands where it started.
inline uint8_t ctrl_wrapped(double g, uint32_t p, uint32_t next)
{
    if (g > 0.0)
        return next < p || g >= 1.0;
    if (g < 0.0)
        return next > p || g <= -1.0;
    return 0;
}

// One driver for the six generators: Ctrl adds a per-sample increment, Scale maps the
// output, Flags writes wrap flags.
template <bool Ctrl, bool Scale, bool Flags>
uint64_t run(nco *o, const double *ctrl, uint64_t n, uint32_t *out, uint8_t *flags,
             uint64_t out_cap)
{
    if (!o || !out || (Ctrl && !ctrl) || (Flags && !flags))
        return 0;
    const uint64_t m = n < out_cap ? n : out_cap;
    uint32_t p = o->phase;
    const uint32_t inc = o->phase_inc, scale = o->scale;
    for (uint64_t i = 0; i < m; ++i) {
        const uint32_t step = Ctrl ? inc + vx_phase_inc(ctrl[i]) : inc;
        const uint32_t next = p + step;
        out[i] = Scale ? scaled(p, scale) : p;
        if constexpr (Flags) {
            if constexpr (Ctrl)
                flags[i] = ctrl_wrapped(ctrl[i] + o->norm_freq, p, next);
            else
                flags[i] = next < p;
        }
        p = next;
    }
    o->phase = p;
    return m;
}

}  // namespace

extern "C" {

VX_API nco *nco_create(double norm_freq, uint32_t scale)
{
    nco *o = vx::alloc_object<nco>();
    if (o) {
        o->scale = scale;
        nco_set_norm_freq(o, norm_freq);
    }
    return o;
}

VX_API void nco_destroy(nco *o) { vx_free(o); }
VX_API void nco_reset(nco *o) { o->phase = 0; }

VX_API double nco_get_norm_freq(const nco *o) { return o->norm_freq; }
VX_API void nco_set_norm_freq(nco *o, double norm_freq)
{
    o->norm_freq = norm_freq;
    o->phase_inc = vx_phase_inc(norm_freq);
}
VX_API uint32_t nco_get_phase(const nco *o) { return o->phase; }
VX_API void nco_set_phase(nco *o, uint32_t phase) { o->phase = phase; }
VX_API uint32_t nco_get_phase_inc(const nco *o) { return o->phase_inc; }

VX_API uint64_t nco_steps_u32(nco *o, uint64_t n, uint32_t *out, uint64_t cap)
{
    return run<false, false, false>(o, nullptr, n, out, nullptr, cap);
}
VX_API uint64_t nco_steps_u32_scaled(nco *o, uint64_t n, uint32_t *out, uint64_t cap)
{
    return run<false, true, false>(o, nullptr, n, out, nullptr, cap);
}
VX_API uint64_t nco_steps_u32_ovf(nco *o, uint64_t n, uint32_t *out, uint8_t *flags,
                                  uint64_t cap)
{
    return run<false, false, true>(o, nullptr, n, out, flags, cap);
}
VX_API uint64_t nco_steps_u32_ctrl(nco *o, const double *ctrl, uint64_t n, uint32_t *out,
                                   uint64_t cap)
{
    return run<true, false, false>(o, ctrl, n, out, nullptr, cap);
}
VX_API uint64_t nco_steps_u32_scaled_ctrl(nco *o, const double *ctrl, uint64_t n,
                                          uint32_t *out, uint64_t cap)
{
    return run<true, true, false>(o, ctrl, n, out, nullptr, cap);
}
VX_API uint64_t nco_steps_u32_ovf_ctrl(nco *o, const double *ctrl, uint64_t n, uint32_t *out,
                                       uint8_t *flags, uint64_t cap)
{
    return run<true, false, true>(o, ctrl, n, out, flags, cap);
}

VX_API uint64_t nco_steps_u32_max_out(const nco *) { return NCO_MAX_OUT; }
VX_API uint64_t nco_steps_u32_scaled_max_out(const nco *) { return NCO_MAX_OUT; }
VX_API uint64_t nco_steps_u32_ovf_max_out(const nco *) { return NCO_MAX_OUT; }
VX_API uint64_t nco_steps_u32_ctrl_max_out(const nco *) { return NCO_MAX_OUT; }
VX_API uint64_t nco_steps_u32_scaled_ctrl_max_out(const nco *) { return NCO_MAX_OUT; }
VX_API uint64_t nco_steps_u32_ovf_ctrl_max_out(const nco *) { return NCO_MAX_OUT; }

VX_API uint64_t nco_state_bytes(const nco *) { return NCO_STATE_BYTES; }

VX_API void nco_get_state(const nco *o, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_NCO, VX_VERSION_NCO, NCO_STATE_BYTES).put(o->phase);
}

VX_API int nco_set_state(nco *o, const void *blob)
{
    if (!o || vx_state_check_header(blob, VX_MAGIC_NCO, VX_VERSION_NCO, NCO_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader(blob).get(o->phase);
    return VX_OK;
}

}  // extern "C"
