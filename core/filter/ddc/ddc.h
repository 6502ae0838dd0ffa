/* ddc / ddcr: digital down-converters. ddc mixes complex input with a local oscillator and
 * converts the rate; ddcr takes real input through a 2:1 real-to-complex halfband (with a
 * folded quarter-rate shift), then mixes at half the input rate and converts. Plain and
 * matched (terminal matched filter) forms; the receivers drive them one sample at a time
 * through a frequency and a rate control port. */
#ifndef VX_DDC_H
#define VX_DDC_H

#include "rate_converter.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ddc ddc;
typedef struct ddcr ddcr;

/* NULL unless rate is finite and > 0 (every stage buildable). */
VX_API ddc *ddc_create(double norm_freq, double rate);
/* NULL for pulse RC_PULSE_NONE or the converter's matched refusals; CIC droop
 * compensation is folded into the bank. */
VX_API ddc *ddc_create_matched(int pulse, uint64_t span, uint64_t num_phases, double norm_freq,
                               double rate, double beta, double pulse_sps);
/* Real input: NULL unless 0 < rate < 0.5; the converter runs at 2·rate. */
VX_API ddcr *ddcr_create(double norm_freq, double rate);
VX_API ddcr *ddcr_create_matched(int pulse, uint64_t span, uint64_t num_phases, double norm_freq,
                                 double rate, double beta, double pulse_sps);

/* Mix, then convert. Refuses (0 outputs, nothing consumed) when max_out is below
 * *_execute_max_out(d, n). */
VX_API uint64_t ddc_execute(ddc *d, const vx_cf32 *x, uint64_t n, vx_cf32 *y, uint64_t max_out);
VX_API uint64_t ddcr_execute(ddcr *d, const float *x, uint64_t n, vx_cf32 *y, uint64_t max_out);
/* As execute with freq_ctrl added to the LO increment and rate_ctrl to the terminal rate
 * for this call only; every input is consumed (outputs past max_out come later). A plan
 * without a terminal resampler ignores rate_ctrl and refuses a short max_out. A non-finite
 * deviation is refused: 0 outputs, nothing consumed. */
VX_API uint64_t ddc_execute_ctrl(ddc *d, const vx_cf32 *x, uint64_t n, vx_cf32 *y,
                                 uint64_t max_out, double rate_ctrl, double freq_ctrl);
VX_API uint64_t ddcr_execute_ctrl(ddcr *d, const float *x, uint64_t n, vx_cf32 *y,
                                  uint64_t max_out, double rate_ctrl, double freq_ctrl);
/* One input; returns the outputs it completes. */
VX_API uint64_t ddc_execute_ctrl_push(ddc *d, vx_cf32 *y, uint64_t max_out, vx_cf32 x,
                                      double rate_ctrl, double freq_ctrl);
VX_API uint64_t ddcr_execute_ctrl_push(ddcr *d, vx_cf32 *y, uint64_t max_out, float x,
                                       double rate_ctrl, double freq_ctrl);
/* As the push form, also returning the mixed sample and (tap2) the pre-terminal sample;
 * any out pointer may be NULL. */
VX_API uint64_t ddc_execute_ctrl_push_tap(ddc *d, vx_cf32 *y, uint64_t max_out, vx_cf32 *mixed,
                                          int *mixed_valid, vx_cf32 x, double rate_ctrl,
                                          double freq_ctrl);
VX_API uint64_t ddc_execute_ctrl_push_tap2(ddc *d, vx_cf32 *y, uint64_t max_out, vx_cf32 *mixed,
                                           int *mixed_valid, vx_cf32 *tap, vx_cf32 x,
                                           double rate_ctrl, double freq_ctrl, int *tap_valid);
VX_API uint64_t ddcr_execute_ctrl_push_tap(ddcr *d, vx_cf32 *y, uint64_t max_out, vx_cf32 *mixed,
                                           int *mixed_valid, float x, double rate_ctrl,
                                           double freq_ctrl);
VX_API uint64_t ddcr_execute_ctrl_push_tap2(ddcr *d, vx_cf32 *y, uint64_t max_out,
                                            vx_cf32 *mixed, int *mixed_valid, vx_cf32 *tap,
                                            float x, double rate_ctrl, double freq_ctrl,
                                            int *tap_valid);

/* Output bounds of one call of n inputs; these cover n·rate for up-sampling too. */
VX_API uint64_t ddc_execute_max_out(const ddc *d, uint64_t n);
VX_API uint64_t ddc_execute_ctrl_bound(const ddc *d, uint64_t n, double rate_ctrl);
VX_API uint64_t ddc_execute_ctrl_max_out(const ddc *d, uint64_t n);
VX_API uint64_t ddc_execute_ctrl_push_max_out(const ddc *d);
/* Real input, a bound for a call of any length n from the current state: a call needs
 * max(n, ddcr_execute_max_out(d)) outputs of room. 0 (the input length suffices) unless a
 * stage after the halfband up-samples or earlier outputs are owed, when a short call can
 * yield more outputs than inputs (1 input can yield 2 at rate 1/24, a CIC(16) and a 4/3
 * resampler). ddcr_execute_ctrl_max_out is the same for execute_ctrl at deviation 0. */
VX_API uint64_t ddcr_execute_max_out(const ddcr *d);
VX_API uint64_t ddcr_execute_ctrl_bound(const ddcr *d, uint64_t n, double rate_ctrl);
VX_API uint64_t ddcr_execute_ctrl_max_out(const ddcr *d);
VX_API uint64_t ddcr_execute_ctrl_push_max_out(const ddcr *d);

/* set_state from state_in (if given; 0 when rejected), execute, get_state into state_out. */
VX_API uint64_t ddc_run(ddc *d, const void *state_in, void *state_out, const vx_cf32 *x,
                        uint64_t n, vx_cf32 *y, uint64_t max_out);
VX_API uint64_t ddcr_run(ddcr *d, const void *state_in, void *state_out, const float *x,
                         uint64_t n, vx_cf32 *y, uint64_t max_out);

VX_API void ddc_reset(ddc *d);
VX_API void ddcr_reset(ddcr *d);
VX_API void ddc_destroy(ddc *d);
VX_API void ddcr_destroy(ddcr *d);
VX_API double ddc_get_norm_freq(const ddc *d);
VX_API double ddcr_get_norm_freq(const ddcr *d);
VX_API void ddc_set_norm_freq(ddc *d, double f);
VX_API void ddcr_set_norm_freq(ddcr *d, double f);
VX_API double ddc_get_rate(const ddc *d);
VX_API double ddcr_get_rate(const ddcr *d);
VX_API double ddc_get_bank_sps(const ddc *d);
VX_API double ddcr_get_bank_sps(const ddcr *d);
VX_API int ddc_get_narrow_pulse(const ddc *d);
VX_API int ddcr_get_narrow_pulse(const ddcr *d);
VX_API int ddc_get_clipped(const ddc *d);
VX_API int ddcr_get_clipped(const ddcr *d);
VX_API RateConverter *ddc_get_converter(const ddc *d);
VX_API RateConverter *ddcr_get_converter(const ddcr *d);
VX_API int ddc_set_telemetry(ddc *d, vx_tlm *tlm, const char *prefix, unsigned long decim);
VX_API int ddcr_set_telemetry(ddcr *d, vx_tlm *tlm, const char *prefix, unsigned long decim);
VX_API uint64_t ddc_state_bytes(const ddc *d);
VX_API uint64_t ddcr_state_bytes(const ddcr *d);
VX_API void ddc_get_state(const ddc *d, void *out);
VX_API void ddcr_get_state(const ddcr *d, void *out);
/* Rejects (VX_ERR_INVALID, object unchanged) a header mismatch, a blob of another rate or
 * any rejected nested blob. */
VX_API int ddc_set_state(ddc *d, const void *blob);
VX_API int ddcr_set_state(ddcr *d, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
