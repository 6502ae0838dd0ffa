/* lo: table-driven complex local oscillator, e^{j2π·phase/2^32} with a Q0.32 phase and a
 * 65536-entry sine table shared by every oscillator of the process. */
#ifndef VX_LO_H
#define VX_LO_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lo {
    uint32_t phase;     /* Q0.32 cycles */
    uint32_t phase_inc; /* per-sample increment from norm_freq */
    double norm_freq;   /* cycles/sample as given */
} lo;

#define LO_STATE_BYTES 20u
#define LO_MAX_OUT 65536u
#define LO_TABLE_SIZE 65536u

/* The sine table, entry i = sinf(i · 9.58738e-5f); filled on first use, read-only after. */
VX_API const float *lo_sin_table(void);

VX_API lo *lo_create(double norm_freq);
VX_API void lo_init(lo *o, double norm_freq); /* phase 0 */
VX_API void lo_destroy(lo *o);
VX_API void lo_reset(lo *o);

VX_API void lo_set_norm_freq(lo *o, double norm_freq); /* phase kept */
VX_API double lo_get_norm_freq(const lo *o);
VX_API uint32_t lo_get_phase(const lo *o);
VX_API void lo_set_phase(lo *o, uint32_t phase);
VX_API uint32_t lo_get_phase_inc(const lo *o);

/* min(n, max_out) samples, each followed by phase += phase_inc (+ Q32(frac(ctrl[i]))). */
VX_API uint64_t lo_steps(lo *o, uint64_t n, vx_cf32 *out, uint64_t max_out);
VX_API uint64_t lo_steps_ctrl(lo *o, const double *ctrl, uint64_t n, vx_cf32 *out,
                              uint64_t max_out);
VX_API uint64_t lo_steps_max_out(const lo *o);
VX_API uint64_t lo_steps_ctrl_max_out(const lo *o);

VX_API uint64_t lo_state_bytes(const lo *o);
VX_API void lo_get_state(const lo *o, void *out);
VX_API int lo_set_state(lo *o, const void *blob); /* restores the phase only */

/* One oscillator sample at `phase`, for the mixers and carrier loops. */
static inline vx_cf32 lo_sample(const float *table, uint32_t phase)
{
    const uint32_t i = phase >> 16;
    vx_cf32 v;
    v.re = table[(i + 16384u) & 0xFFFFu];
    v.im = table[i];
    return v;
}

#ifdef __cplusplus
}
#endif

#endif
