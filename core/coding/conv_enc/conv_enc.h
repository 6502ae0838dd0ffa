/* conv_enc: rate-1/n convolutional encoder for any generator polynomials.
 * Bits in and channel symbols out are unpacked, one per byte (only bit 0 of an input
 * byte is read; each output byte is 0 or 1). The register keeps the last k - 1 input
 * bits, so a stream may be cut into blocks of any size. */
#ifndef VX_CONV_ENC_H
#define VX_CONV_ENC_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CONV_MAX_POLYS 6
#define CONV_MIN_K 2
#define CONV_MAX_K 9

/* A code: constraint length k [2, 9], n polynomials [1, 6] (rate 1/n), each non-zero
 * and below 2^k, where bit k-1 taps the current input bit and bit 0 the oldest; bit j of
 * `invert` inverts output j (bits at and above n are ignored). */
typedef struct conv_code {
    int32_t k;
    int32_t n;
    uint32_t polys[CONV_MAX_POLYS];
    uint32_t invert;
} conv_code;

/* The description of polys[0..n-1], n, k and invert, in its stored form (invert masked
 * to n bits, unused polynomials 0, so descriptions of one code compare equal byte for
 * byte); 0 when polys is NULL or n is outside 1..6. Validity is conv_code_valid's. */
static inline int conv_code_from(const uint32_t *polys, int32_t n, int32_t k, uint32_t invert,
                                 conv_code *out)
{
    conv_code c = {0, 0, {0, 0, 0, 0, 0, 0}, 0};
    if (!polys || n < 1 || n > CONV_MAX_POLYS)
        return 0;
    c.k = k;
    c.n = n;
    c.invert = invert & ((1u << n) - 1u);
    for (int32_t j = 0; j < n; ++j)
        c.polys[j] = polys[j];
    *out = c;
    return 1;
}

/* 1 when the code is usable as described above, else 0 (also for NULL). */
VX_API int conv_code_valid(const conv_code *code);
/* The n-bit output pattern for input `bit` with register `reg`: bit j is the parity of
 * polys[j] & (reg | bit << (k-1)), XORed with the low n bits of `invert`. */
VX_API uint32_t conv_outputs(const conv_code *code, uint32_t reg, uint32_t bit);

/* Stateless building blocks over a caller-held register. */
VX_API void conv_enc_init(uint32_t *reg);
/* Encode n_bits bits into n_bits·n symbols; 0 (nothing written, register unchanged) on
 * NULL arguments, an invalid code or out_cap < n_bits·n. */
VX_API uint64_t conv_encode(uint32_t *reg, const conv_code *code, const uint8_t *bits,
                            uint64_t n_bits, uint8_t *out, uint64_t out_cap);

typedef struct conv_enc conv_enc;

/* NULL unless polys is non-NULL and (polys[0..n-1], n, k, invert) is a valid code. */
VX_API conv_enc *conv_enc_create(const uint32_t *polys, int32_t n, int32_t k, uint32_t invert);
VX_API conv_enc *conv_enc_create_code(const conv_code *code);
VX_API void conv_enc_destroy(conv_enc *e);
/* Clear the register. */
VX_API void conv_enc_reset(conv_enc *e);
/* The code description, `invert` masked to n bits and unused polynomials 0. */
VX_API conv_code conv_enc_code(const conv_enc *e);

/* As conv_encode, on the object's register. */
VX_API uint64_t conv_enc_encode(conv_enc *e, const uint8_t *bits, uint64_t n_bits, uint8_t *out,
                                uint64_t out_cap);
/* n_bits·n (saturating at UINT64_MAX). */
VX_API uint64_t conv_enc_encode_max_out(const conv_enc *e, uint64_t n_bits);

/* Blob "CVEN", 56 bytes: reg u32, k i32, n i32, invert u32, polys u32[6]. A blob of
 * another code, or with reg >= 2^(k-1), is rejected. */
#define CONV_ENC_STATE_BYTES 56u
VX_API uint64_t conv_enc_state_bytes(const conv_enc *e);
VX_API void conv_enc_get_state(const conv_enc *e, void *out);
VX_API int conv_enc_set_state(conv_enc *e, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
