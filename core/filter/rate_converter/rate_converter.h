/* RateConverter: converts a cf32 stream to `rate` times its rate with the cheapest cascade
 * of at most three stages (halfband decimators or a CIC for the power-of-two part, a
 * polyphase resampler for the rest). The matched form ends in a polyphase matched filter
 * ("iandd" rectangle or "rrc") whose control port steers symbol timing, with an optional
 * AGC just ahead of it. */
#ifndef VX_RATE_CONVERTER_H
#define VX_RATE_CONVERTER_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { RC_PULSE_IANDD = 0, RC_PULSE_RRC = 1, RC_PULSE_NONE = 2 };
enum { RC_STAGE_HALFBAND = 0, RC_STAGE_CIC = 1, RC_STAGE_RESAMPLER = 2 };

/* Bounds of the matched bank's parameters: a bank is sized from them. */
#define RC_MAX_PHASES 65536u
#define RC_MAX_SPAN 1024u
#define RC_MAX_PULSE_SPS 65536.0
#define RC_MAX_ARM_TAPS 65536u
/* Largest matched bank (arms × taps per arm, 256 MB of floats): each bound above is modest,
 * their product is not, and the bank is built cell by cell. */
#define RC_MAX_BANK_CELLS ((uint64_t)1 << 26)
/* Largest overall rate: beyond it one input would ask for absurd output sizes. */
#define RC_MAX_RATE 65536.0

typedef struct RateConverter RateConverter;

/* Plain converter; NULL unless 0 < rate <= RC_MAX_RATE and every stage can be built. */
VX_API RateConverter *RateConverter_create(int compensate, double rate);
/* Matched converter; NULL unless rate > 0, 0 <= beta <= 1, 1 <= span <= RC_MAX_SPAN,
 * 0 < pulse_sps <= RC_MAX_PULSE_SPS, num_phases a power of two in 2..RC_MAX_PHASES, pulse 0
 * or 1, all finite, and the bank within RC_MAX_BANK_CELLS. */
VX_API RateConverter *RateConverter_create_matched(int compensate, int pulse, uint64_t span,
                                                   uint64_t num_phases, double rate,
                                                   double beta, double pulse_sps);
VX_API void RateConverter_destroy(RateConverter *rc);
VX_API void RateConverter_reset(RateConverter *rc);

/* Block conversion. Refuses (returns 0, nothing consumed) when max_out is below
 * RateConverter_execute_bound(rc, n_in), so no output is ever dropped or deferred. A
 * matched converter runs the control path with ctrl = 0. */
VX_API uint64_t RateConverter_execute(RateConverter *rc, const vx_cf32 *x, uint64_t n_in,
                                      vx_cf32 *y, uint64_t max_out);
/* As execute with rate deviation `ctrl` on the terminal resampler for the whole block
 * (clamped so the terminal rate plus ctrl stays within RC_MAX_RATE). Every input is
 * consumed; outputs beyond max_out are deferred to later calls. A plan without a terminal
 * resampler ignores ctrl and refuses a short max_out as execute does. */
VX_API uint64_t RateConverter_execute_ctrl(RateConverter *rc, const vx_cf32 *x, uint64_t n_in,
                                           vx_cf32 *y, uint64_t max_out, double ctrl);
/* One part of a longer block whose whole bound (RateConverter_execute_bound) the caller
 * has already checked against its output room: runs like execute without the refusal.
 * Owners that feed their converter chunk by chunk (the down-converters) use it. */
VX_API uint64_t RateConverter_execute_part(RateConverter *rc, const vx_cf32 *x, uint64_t n_in,
                                           vx_cf32 *y, uint64_t max_out);
/* One input through the cascade; returns the terminal outputs it completes. */
VX_API uint64_t RateConverter_execute_ctrl_push(RateConverter *rc, vx_cf32 *y, uint64_t max_out,
                                                vx_cf32 x, double ctrl);
/* As the push form; when the sample reaches the terminal stage, also writes it (after the
 * AGC) to *tap and sets *tap_valid (0 otherwise). Either pointer may be NULL. */
VX_API uint64_t RateConverter_execute_ctrl_push_tap(RateConverter *rc, vx_cf32 *y,
                                                    uint64_t max_out, vx_cf32 *tap,
                                                    int *tap_valid, vx_cf32 x, double ctrl);

/* The push form split in two, so an owner can run the early stages in blocks while the
 * terminal stage still takes each sample with its own deviation: front runs n inputs
 * (at most RC_FRONT_MAX) through every stage before the terminal one and returns where
 * their outputs are (x itself when there are none; otherwise valid until the next call),
 * their count in *n_out; terminal_push takes one of them (through the AGC) with ctrl. The
 * outputs are those of pushing the n inputs one at a time. */
#define RC_FRONT_MAX 4096u
VX_API const vx_cf32 *RateConverter_front(RateConverter *rc, const vx_cf32 *x, uint64_t n,
                                          uint64_t *n_out);
VX_API uint64_t RateConverter_terminal_push(RateConverter *rc, vx_cf32 *y, uint64_t max_out,
                                            vx_cf32 v, double ctrl);

/* Bound of one execute call of n_in inputs from the current stage states (for a matched
 * converter, its control path at deviation 0). */
VX_API uint64_t RateConverter_execute_bound(const RateConverter *rc, uint64_t n_in);
/* Bound of one execute_ctrl call of n_in inputs at deviation ctrl, outputs owed from
 * earlier calls included (with less room the rest are deferred while the terminal
 * resampler's ring holds their history, then skipped with timing kept). */
VX_API uint64_t RateConverter_execute_ctrl_bound(const RateConverter *rc, uint64_t n_in,
                                                 double ctrl);
/* A line over those bounds: for every n_in, execute (ctrl_mode 0) or execute_ctrl at
 * deviation ctrl (ctrl_mode 1) writes at most slope·n_in + offset outputs. */
VX_API void RateConverter_bound_line(const RateConverter *rc, int ctrl_mode, double ctrl,
                                    double *slope, double *offset);
/* The bound of one execute call of up to 65536 inputs. */
VX_API uint64_t RateConverter_execute_max_out(const RateConverter *rc);
VX_API uint64_t RateConverter_execute_ctrl_push_max_out(const RateConverter *rc);
VX_API uint64_t RateConverter_execute_ctrl_max_out(const RateConverter *rc);

/* Create, execute once, destroy; 0 on failure. */
VX_API uint64_t RateConverter_convert(int compensate, const vx_cf32 *x, uint64_t n_in,
                                      vx_cf32 *y, uint64_t max_out, double rate);

/* Re-plan for a new rate, built aside and swapped in only on success; VX_ERR_INVALID
 * (converter unchanged) for a rate that cannot be planned. */
VX_API int RateConverter_set_rate(RateConverter *rc, double rate);
VX_API int RateConverter_enable_agc(RateConverter *rc, double bn, double param);
VX_API double RateConverter_agc_ref_db(const RateConverter *rc);
VX_API double RateConverter_agc_gain_db(const RateConverter *rc);
/* Attach (tlm NULL: detach) the AGC's probes under `prefix` (NULL -> "agc"), also for an
 * AGC enabled later. The converter and its AGC each hold a reference to the context until
 * detached or destroyed; a closed context or a refused name keeps the previous attachment
 * (VX_ERR_INVALID). */
VX_API int RateConverter_set_telemetry(RateConverter *rc, vx_tlm *tlm, const char *prefix,
                                       unsigned long decim);

VX_API int RateConverter_get_clipped(const RateConverter *rc);
VX_API double RateConverter_get_rate(const RateConverter *rc);
VX_API double RateConverter_get_bank_sps(const RateConverter *rc);
VX_API int RateConverter_get_narrow_pulse(const RateConverter *rc);
/* A matched converter's construction arguments; returns 0 (outputs untouched) for a plain
 * one. Any out pointer may be NULL. */
VX_API int RateConverter_get_matched(const RateConverter *rc, int *pulse, uint64_t *span,
                                     uint64_t *num_phases, double *beta, double *pulse_sps);
VX_API int RateConverter_num_stages(const RateConverter *rc);
VX_API int RateConverter_stage_kind(const RateConverter *rc, int i);
/* Output/input rate of stage i (0 out of range). */
VX_API double RateConverter_stage_rate(const RateConverter *rc, int i);
VX_API double RateConverter_gain(const RateConverter *rc);
VX_API int RateConverter_num_bank_shape(const RateConverter *rc);
VX_API uint64_t RateConverter_bank_shape_value(const RateConverter *rc, int i);
/* The terminal resampler, or NULL when the last stage is not one. */
VX_API struct resamp *RateConverter_terminal(const RateConverter *rc);

/* "HalfbandDecimator", "CIC(%d)", "CIC(%d)+FIR", "Resampler(%g)", "Resampler(%g,rrc)",
 * "Resampler(%g,iandd)"; returns 1, or 0 for an index out of range. */
VX_API int RateConverter_stage_label(const RateConverter *rc, int i, char *buf, size_t size);
/* The label in a per-thread buffer; NULL out of range. */
VX_API const char *RateConverter_stages_value(const RateConverter *rc, int i);

VX_API uint64_t RateConverter_state_bytes(const RateConverter *rc);
VX_API void RateConverter_get_state(const RateConverter *rc, void *out);
/* Rejects (VX_ERR_INVALID) with the converter unchanged when any nested blob is. */
VX_API int RateConverter_set_state(RateConverter *rc, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
