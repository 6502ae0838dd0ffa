/* Bit strings: moving frame fields between integers, hex text, unpacked bits (one bit per
 * byte; any nonzero byte reads as 1, outputs are exactly 0 or 1) and bipolar NRZ symbols
 * (bit 0 <-> +1.0, bit 1 <-> -1.0).
 *
 * Bit order (VX_BITORDER_*): a bit string is taken in groups of 8 from its start, the last
 * group possibly shorter; BIG keeps each group most significant bit first, LITTLE reverses
 * the bits within each group (NumPy's `bitorder` of packbits).
 *
 * Every function refuses bad arguments by returning 0 and writing nothing. */
#ifndef VX_BITSTR_H
#define VX_BITSTR_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The n_bits (1..64) low bits of v, most significant first, into out[0..n_bits);
 * returns n_bits. Refused: out NULL, n_bits outside 1..64, out_len < n_bits, order > 1. */
VX_API uint64_t int_to_bin(uint64_t v, uint64_t n_bits, uint8_t *out, uint64_t out_len,
                           uint32_t order);

/* NUL-terminated hex text (0-9, A-F, a-f; validated whole first) -> 4 bits per digit, two
 * digits per 8-bit group, a trailing odd digit a 4-bit group; returns 4·digits. Refused:
 * NULL pointers, order > 1, empty text, out_len < 4·digits, any other character. */
VX_API uint64_t hex_to_bin(const char *hex, uint8_t *out, uint64_t out_len, uint32_t order);

/* Inverse of int_to_bin: the value of n_bits (1..64) bits. Refused (0): bits NULL,
 * n_bits outside 1..64, order > 1. */
VX_API uint64_t bin_to_int(const uint8_t *bits, uint64_t n_bits, uint32_t order);

/* Inverse of hex_to_bin: lowercase digits and a NUL into out; returns the digit count
 * n_bits/4. Refused: NULL pointers, n_bits 0 or not a multiple of 4, order > 1,
 * out_len < n_bits/4 + 1. */
VX_API uint64_t bin_to_hex(const uint8_t *bits, uint64_t n_bits, char *out, uint64_t out_len,
                           uint32_t order);

/* out[i] = -1.0 if bits[i] != 0 else +1.0; returns n. Refused: NULL, n = 0, n > out_len. */
VX_API uint64_t bin_to_nrz(const uint8_t *bits, uint64_t n, float *out, uint64_t out_len);

/* out[i] = 1 if x[i] < 0 else 0 (zero, -0 and NaN give 0); returns n. Refused as above. */
VX_API uint64_t nrz_to_bin(const float *x, uint64_t n, uint8_t *out, uint64_t out_len);

#ifdef __cplusplus
}
#endif

#endif
