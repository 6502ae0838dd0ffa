/* wfm_dsss: direct-sequence spread-spectrum material for synthetic signals. Chips are bytes
 * of which only bit 0 counts (0 or 1). Stateless. */
#ifndef VX_WFM_DSSS_H
#define VX_WFM_DSSS_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* out[k*len + i] = symbols[k] for chip 0 and its negation for chip 1 (the sign bits of both
 * parts flip: no rounding, and a zero part becomes -0). out holds count*len samples and must
 * not overlap symbols. Nothing is written when count or len is 0 or a pointer is NULL. */
VX_API void wfm_dsss_spread(const vx_cf32 *symbols, uint64_t count, const uint8_t *chips, uint64_t len,
                            vx_cf32 *out);

/* n chips of a continuous stream: out[i] = (bits[floor(i / chips_per_bit) mod n_bits] XOR
 * code[i mod code_len]) & 1. The code restarts every code_len chips whatever the bit
 * boundaries; chips_per_bit > 0 need not be whole. Returns n, or 0 (nothing written) for a
 * missing array, a zero length, or chips_per_bit not > 0 (NaN included). */
VX_API uint64_t wfm_cont_dsss_chips(const uint8_t *code, uint64_t code_len, const uint8_t *bits, uint64_t n_bits,
                                    uint64_t n, uint8_t *out, double chips_per_bit);

#ifdef __cplusplus
}
#endif

#endif
