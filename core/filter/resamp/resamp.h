/* resamp: arbitrary-ratio polyphase resampler over cf32 (rate = output rate / input rate).
 *
 * A bank of L arms × K taps (arm-major, bank[p·K + k]) is indexed by a 32-bit phase word:
 * arm p = (phase · L) >> 32, so any L works and a power-of-two L is the top log2 L bits.
 * Block path (`resamp_execute`): at rate >= 1 the direct form computes each output as
 * Σ_k bank[p·K + k]·ring[k] (ring[0] the newest input) and pushes an input on each carry
 * of acc += floor(2^32/rate); at rate < 1 the transposed form scatters each input, scaled
 * by rate, into K accumulators and emits an output on each carry of
 * acc += floor(2^32·rate), so the cutoff follows the output rate. A step outside
 * (0, 2^32) (rate exactly 1, absurd rates) is 0: one output per input, phase fixed.
 * Control path (`resamp_execute_ctrl_push`): one input at a time with a rate deviation;
 * 1/(rate + ctrl) inputs pass between outputs, timed by its own fractional word.
 * The two paths share the ring but not their timing words; use one per object.
 *
 * Dot products sum the taps k ≡ j (mod 4) into four partial sums s_j in ascending k and
 * return (s0 + s1) + (s2 + s3), per component, in single precision. */
#ifndef VX_RESAMP_H
#define VX_RESAMP_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct resamp resamp;

#define RESAMP_DEFAULT_PHASES 4096u /* default bank: Kaiser-windowed sinc, 60 dB */
#define RESAMP_DEFAULT_TAPS 19u
#define RESAMP_MAX_TAPS (1u << 20)
#define RESAMP_MAX_PHASES ((uint64_t)1 << 32)

/* Default bank at `rate`. NULL for a rate that is not finite and > 0, or no memory. */
VX_API resamp *resamp_create(double rate);
/* Copies a caller bank of L·K floats. NULL when L = 0, K = 0, L > 2^32, K > 2^20,
 * bank NULL, rate not finite and > 0, or no memory. */
VX_API resamp *resamp_create_custom(uint64_t num_phases, uint64_t num_taps, const float *bank,
                                    double rate);
/* Takes ownership of a bank from vx_calloc (freed by destroy, or at once on failure). */
VX_API resamp *resamp_create_from_bank(uint64_t num_phases, uint64_t num_taps, float *bank,
                                       double rate);
VX_API void resamp_destroy(resamp *r);
/* Zeroes the phase words, ring, accumulators and control words; rate and bank stay. */
VX_API void resamp_reset(resamp *r);

/* Block path: consumes all n_in inputs, writes the first max_out of the outputs they
 * produce and returns the count written (outputs past max_out are skipped, timing kept). */
VX_API uint64_t resamp_execute(resamp *r, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                               uint64_t max_out);
/* Exact number of outputs the block path produces from n_in more inputs. */
VX_API uint64_t resamp_execute_max_out(const resamp *r, uint64_t n_in);

/* Control path: stores input x once and emits the outputs due before it (at most max_out).
 * Outputs due without room are emitted on later pushes, from their own history, while the
 * ring holds it (up to size − K inputs stored ahead); beyond that the earliest are skipped,
 * timing kept, so what is written is always the tail of an unhurried run. Returns the count written.
 * rate + ctrl <= 1e−6 (or NaN) stalls the stage at one output per 10^6 inputs; the step
 * never falls below 2^−32 input, so one push writes at most 2^32 outputs. */
VX_API uint64_t resamp_execute_ctrl_push(resamp *r, vx_cf32 *y, uint64_t max_out, vx_cf32 x,
                                         double ctrl);
/* Outputs n_in control-path pushes at a constant deviation ctrl can write from the current
 * state, with room for owed outputs of up to n_in inputs (more stay owed for later calls);
 * exact when nothing is owed. */
VX_API uint64_t resamp_execute_ctrl_bound(const resamp *r, uint64_t n_in, double ctrl);
/* A line over those bounds from the current state: for every n_in the block path
 * (ctrl_mode 0) or the control path at deviation ctrl (ctrl_mode 1) writes at most
 * slope·n_in + offset outputs. */
VX_API void resamp_bound_line(const resamp *r, int ctrl_mode, double ctrl, double *slope,
                              double *offset);
/* Pushes every input i with ctrl[i], sharing max_out between them; returns the total. */
VX_API uint64_t resamp_execute_ctrl(resamp *r, const vx_cf32 *x, const double *ctrl,
                                    uint64_t n_in, vx_cf32 *y, uint64_t max_out);

/* New rate for both paths (state kept). VX_ERR_INVALID, unchanged, unless finite and > 0. */
VX_API int resamp_set_rate(resamp *r, double rate);
VX_API double resamp_get_rate(const resamp *r);
VX_API uint64_t resamp_get_num_phases(const resamp *r);
VX_API uint64_t resamp_get_num_taps(const resamp *r);
/* ((L·K)/2)/L + 1 input samples: 10.5 for the default bank. */
VX_API double resamp_get_delay(const resamp *r);
VX_API double resamp_dc_gain(const resamp *r);    /* sum of arm 0 */
VX_API double resamp_get_ctrl_acc(const resamp *r); /* control path position in [0, 1) */

/* Direct form on demand: inputs the next n_out outputs consume, and a fill that writes
 * exactly n_out outputs from that many inputs of x, returning the inputs consumed. */
VX_API uint64_t resamp_interp_inputs_needed(const resamp *r, uint64_t n_out);
VX_API uint64_t resamp_interp_fill(resamp *r, const vx_cf32 *x, vx_cf32 *y, uint64_t n_out);

/* 40 + 16·size + 8·K + 8·(K − 1), size the smallest power of two >= K. */
VX_API uint64_t resamp_state_bytes(const resamp *r);
VX_API void resamp_get_state(const resamp *r, void *out);
VX_API int resamp_set_state(resamp *r, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
