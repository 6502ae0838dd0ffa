/* viterbi: soft-decision Viterbi decoder for any rate-1/n convolutional code, with a
 * fixed traceback depth, streaming across calls.
 * Input is one float per channel symbol, L = log(P(0)/P(1)) (positive means 0; any
 * positive scale); NaN counts as an erasure (0) and magnitudes are clamped to
 * VITERBI_LLR_CLAMP, so no input can make a path metric non-finite. Each branch after
 * the first depth - 1 yields one decoded bit (a byte 0 or 1): the input bit depth - 1
 * branches back along the survivor of the best state. Results do not depend on how the
 * stream is cut into calls nor on the machine's SIMD level. */
#ifndef VX_VITERBI_H
#define VX_VITERBI_H

#include "conv_enc.h"
#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VITERBI_LLR_CLAMP 1e30f

typedef struct viterbi viterbi;

/* NULL for an invalid code, depth 0, a depth whose state blob would not fit the 32-bit
 * size field, or allocation failure. */
VX_API viterbi *viterbi_create(const uint32_t *polys, int32_t n, int32_t k, uint32_t invert,
                               uint64_t depth);
VX_API viterbi *viterbi_create_code(const conv_code *code, uint64_t depth);
VX_API void viterbi_destroy(viterbi *v);
/* Metrics to "started from a cleared register", decisions cleared, filling again. */
VX_API void viterbi_reset(viterbi *v);
VX_API conv_code viterbi_code(const viterbi *v);
VX_API uint64_t viterbi_depth(const viterbi *v);

/* Decode n_sym values (a whole number of branches of n) into bits; returns the bits
 * written, exactly viterbi_decode_max_out(v, n_sym). 0 with nothing processed when
 * n_sym is not a multiple of n or out_cap is too small. */
VX_API uint64_t viterbi_decode(viterbi *v, const float *llr, uint64_t n_sym, uint8_t *out,
                               uint64_t out_cap);
/* Bits the next decode of n_sym values returns (exact): the branches less those still
 * owed to fill the traceback. */
VX_API uint64_t viterbi_decode_max_out(const viterbi *v, uint64_t n_sym);

/* Blob "VTRB", states·(depth + 4) + 80 bytes: depth u64, ring_pos u64, fill u64, k i32,
 * n i32, invert u32, polys u32[6], zero u32, metrics f32[states], decisions
 * u8[depth][states]. Rejected: another code or depth, ring_pos >= depth, fill > depth,
 * a decision byte other than 0/1, a metric that is positive or not finite. */
VX_API uint64_t viterbi_state_bytes(const viterbi *v);
VX_API void viterbi_get_state(const viterbi *v, void *out);
VX_API int viterbi_set_state(viterbi *v, const void *blob);

/* ---- node synchronisation ------------------------------------------------------------
 * Scores a symbol alignment by decoding, re-encoding and counting hard disagreements.
 * Each of these resets the decoder (its streaming state is lost). */

/* Disagreements between the signs of llr (negative = 1) and the re-encoded symbols of
 * the decoded bits after the first `depth`; 0 for NULL arguments or n_sym < n. */
VX_API uint64_t node_sync_score(viterbi *v, const float *llr, uint64_t n_sym);
/* Symbols such a score covers: n·(decodable bits - depth) if positive, else 0. */
VX_API uint64_t node_sync_scored_symbols(const viterbi *v, uint64_t n_sym);

typedef struct node_sync_result {
    uint64_t offset;  /* best symbol offset, 0..n-1 */
    uint64_t score;   /* its score */
    uint64_t second;  /* second-best score (the best again when n = 1) */
    uint64_t scored;  /* symbols each score covers */
    uint64_t margin;  /* second - score; 0 when there is no second */
} node_sync_result;

/* Score every offset 0..n-1 over the common length (n_sym + 1 - n rounded down to a
 * multiple of n); ties keep the earlier offset. Returns 1 with *result filled, or 0 for
 * NULL arguments, n_sym < n or a common length below n. */
VX_API int node_sync_scan(viterbi *v, const float *llr, uint64_t n_sym, node_sync_result *result);

#ifdef __cplusplus
}
#endif

#endif
