/* nco: 32-bit phase-accumulator oscillator producing raw phase words (2^32 = one cycle),
 * with optional per-sample frequency control, scaling to an index range and wrap flags. */
#ifndef VX_NCO_H
#define VX_NCO_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nco {
    uint32_t phase;     /* accumulator */
    uint32_t phase_inc; /* per-sample increment from norm_freq */
    double norm_freq;   /* cycles/sample as set (unwrapped) */
    uint32_t scale;     /* output range of the scaled variants, 0 = unscaled */
} nco;

#define NCO_STATE_BYTES 20u
#define NCO_MAX_OUT 65536u

/* Phase 0, increment from norm_freq; NULL only when allocation fails. */
VX_API nco *nco_create(double norm_freq, uint32_t scale);
VX_API void nco_destroy(nco *o);
VX_API void nco_reset(nco *o); /* phase = 0 */

VX_API double nco_get_norm_freq(const nco *o);
VX_API void nco_set_norm_freq(nco *o, double norm_freq); /* phase untouched */
VX_API uint32_t nco_get_phase(const nco *o);
VX_API void nco_set_phase(nco *o, uint32_t phase);
VX_API uint32_t nco_get_phase_inc(const nco *o);

/* Block generators: write m = min(n, out_cap) phase words (the phase before each step)
 * and return m. The _ctrl forms add inc(ctrl[i]) for that sample only; _scaled maps the
 * phase to [0, scale); _ovf writes a wrap flag per sample. */
VX_API uint64_t nco_steps_u32(nco *o, uint64_t n, uint32_t *out, uint64_t out_cap);
VX_API uint64_t nco_steps_u32_scaled(nco *o, uint64_t n, uint32_t *out, uint64_t out_cap);
VX_API uint64_t nco_steps_u32_ovf(nco *o, uint64_t n, uint32_t *out, uint8_t *flags,
                                  uint64_t out_cap);
VX_API uint64_t nco_steps_u32_ctrl(nco *o, const double *ctrl, uint64_t n, uint32_t *out,
                                   uint64_t out_cap);
VX_API uint64_t nco_steps_u32_scaled_ctrl(nco *o, const double *ctrl, uint64_t n,
                                          uint32_t *out, uint64_t out_cap);
VX_API uint64_t nco_steps_u32_ovf_ctrl(nco *o, const double *ctrl, uint64_t n, uint32_t *out,
                                       uint8_t *flags, uint64_t out_cap);
VX_API uint64_t nco_steps_u32_max_out(const nco *o);
VX_API uint64_t nco_steps_u32_scaled_max_out(const nco *o);
VX_API uint64_t nco_steps_u32_ovf_max_out(const nco *o);
VX_API uint64_t nco_steps_u32_ctrl_max_out(const nco *o);
VX_API uint64_t nco_steps_u32_scaled_ctrl_max_out(const nco *o);
VX_API uint64_t nco_steps_u32_ovf_ctrl_max_out(const nco *o);

VX_API uint64_t nco_state_bytes(const nco *o);
VX_API void nco_get_state(const nco *o, void *out);
VX_API int nco_set_state(nco *o, const void *blob); /* restores the phase only */

#ifdef __cplusplus
}
#endif

#endif
