/* rrc: root-raised-cosine taps and polyphase bank builders for callers that build their
 * own polyphase matched filters (for example a resamp_create_custom bank). */
#ifndef VX_RRC_H
#define VX_RRC_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The RRC pulse of roll-off beta (0 <= beta <= 1) at t symbols, unnormalised: 1 + beta·(4/π − 1)
 * for |t| < 1e−9, the limit value within 1e−9 of |t| = 1/(4·beta), else
 * (sin(πt(1 − beta)) + 4·beta·t·cos(πt(1 + beta))) / (πt(1 − 16·beta²t²)). */
VX_API double wfm_rrc_pulse(double t, double beta);

/* 2·span·sps + 1 taps at t = (i − span·sps)/sps symbols, scaled to unit energy.
 * VX_ERR_INVALID (taps untouched) for sps = 0, beta outside [0, 1] or NaN, or an absurd
 * length. */
VX_API int wfm_rrc_taps(uint64_t sps, uint64_t span, float *taps, double beta);

/* bank[p·taps_per_arm + k] = src[p + k·arms] (0 past n_src) for p < arms, k < taps_per_arm.
 * VX_ERR_INVALID for a NULL pointer, zero arms or an absurd size. */
VX_API int wfm_polyphase_bank(const float *src, uint64_t n_src, uint64_t arms,
                              uint64_t taps_per_arm, float *bank);

/* RRC taps times sqrt(sps), split into sps arms of 2·span + 1 taps (sps·(2·span + 1)
 * floats). VX_ERR_INVALID, bank untouched, on wfm_rrc_taps' refusals or no memory. */
VX_API int wfm_rrc_polyphase_bank(uint64_t sps, uint64_t span, float *bank, double beta);

#ifdef __cplusplus
}
#endif

#endif
