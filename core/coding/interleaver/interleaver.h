/* interleaver: rows × cols block interleaver over units of unit_bits elements. Data is
 * written into the matrix by rows and read out by columns: within each block of
 * rows·cols·unit_bits elements, unit r·cols + c moves to unit c·rows + r. It works on
 * unpacked bits (one per byte) and on soft values (float32), is a pure permutation
 * (length-preserving, stateless) and refuses partial blocks rather than padding them.
 * rows is the burst length a codeword sees at most once (burst_len); cols the distance a
 * burst is spread by (separation). */
#ifndef VX_INTERLEAVER_H
#define VX_INTERLEAVER_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct interleaver interleaver;

/* NULL if any argument is 0 or rows·cols·unit_bits overflows 64 bits. The _rx form is
 * the same constructor for the receive face. */
VX_API interleaver *interleaver_create(uint64_t rows, uint64_t cols, uint64_t unit_bits);
VX_API interleaver *interleaver_create_rx(uint64_t rows, uint64_t cols, uint64_t unit_bits);
VX_API void interleaver_destroy(interleaver *il);
/* Nothing to reset: geometry is configuration, not state. */
VX_API void interleaver_reset(interleaver *il);

/* Each 0 for NULL. */
VX_API uint64_t interleaver_get_rows(const interleaver *il);
VX_API uint64_t interleaver_get_cols(const interleaver *il);
VX_API uint64_t interleaver_get_unit_bits(const interleaver *il);
VX_API uint64_t interleaver_get_block_bits(const interleaver *il);
VX_API uint64_t interleaver_get_burst_len(const interleaver *il);
VX_API uint64_t interleaver_get_separation(const interleaver *il);

/* len on success; 0 (nothing written) for NULL arguments, len 0, len > out_cap or len not
 * a multiple of block_bits. out must not overlap in. */
VX_API uint64_t interleaver_interleave(const interleaver *il, const uint8_t *in, uint64_t len,
                                       uint8_t *out, uint64_t out_cap);
VX_API uint64_t interleaver_deinterleave(const interleaver *il, const uint8_t *in, uint64_t len,
                                         uint8_t *out, uint64_t out_cap);
VX_API uint64_t interleaver_deinterleave_soft(const interleaver *il, const float *in, uint64_t len,
                                              float *out, uint64_t out_cap);
/* All n. */
VX_API uint64_t interleaver_interleave_max_out(const interleaver *il, uint64_t n);
VX_API uint64_t interleaver_deinterleave_max_out(const interleaver *il, uint64_t n);
VX_API uint64_t interleaver_deinterleave_soft_max_out(const interleaver *il, uint64_t n);

#ifdef __cplusplus
}
#endif

#endif
