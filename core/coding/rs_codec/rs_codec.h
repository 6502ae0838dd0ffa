/* rs_codec: Reed-Solomon codec over GF(2^J), J = 2..8, for any code given by its five
 * numbers: parity count, symbol width, field polynomial, first consecutive root, root
 * stride. Systematic encoding, syndromes, codeword check and errors-only correction of up
 * to nroots/2 symbols in place. One symbol per byte; the first symbol of a codeword is the
 * coefficient of x^(n-1): k information symbols, then nroots parity symbols. Stateless
 * between calls. */
#ifndef VX_RS_CODEC_H
#define VX_RS_CODEC_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define RS_MAX_ROOTS 64

/* nroots: even, 2..64 and below n; symbol_bits J: 2..8; field_poly: the field
 * polynomial's low J bits (x^J implicit), odd and primitive; first_root: any (reduced
 * modulo n); root_stride: non-zero and coprime with n modulo n. n = 2^J - 1. */
typedef struct rs_params {
    uint64_t nroots;
    uint64_t symbol_bits;
    uint64_t field_poly;
    uint64_t first_root;
    uint64_t root_stride;
} rs_params;

/* The codec: one fixed-size object, usable on caller storage through rs_init. */
typedef struct rs_codec {
    rs_params params;   /* as given */
    uint32_t n, k, e, nroots, symbol_bits;
    uint32_t first_root, root_stride;  /* reduced modulo n */
    uint8_t alpha[2 * 255];            /* α^i for 0 <= i < 2n - 1: sums of two logs need no modulo */
    uint8_t log[256];                  /* log of each symbol; 255 marks the log of zero */
    uint8_t gen[RS_MAX_ROOTS + 1];     /* generator coefficients, lowest power first; gen[nroots] = 1 */
    uint8_t root_mul[RS_MAX_ROOTS][256];  /* x·α^(s·(j0+i)): one Horner step of syndrome i */
    /* Wide-SIMD path for GF(256) codes on CPUs with GFNI. The instructions multiply in the
     * field of x^8+x^4+x^3+x+1, so symbols are mapped there by a field isomorphism (an 8x8
     * bit matrix, applied with an affine instruction) and the results mapped back. */
    uint8_t simd;                      /* 1: rs_init chose the GFNI path (0 forces the tables) */
    uint64_t to_simd, from_simd;       /* affine matrices of the isomorphism and its inverse */
    uint8_t syn_step[64];              /* syndrome lane i: root_i^8, mapped */
    uint8_t syn_tail[8][64];           /* stream r: root_i^(7-r), mapped */
    uint8_t chien[RS_MAX_ROOTS / 2 + 1][256];  /* power i at position p: α^(-s·p·i), mapped */
    uint8_t parity_row[255][64];       /* parity of information symbol i = 1 (par[0] first), mapped */
} rs_codec;

/* 1 when the parameters describe a usable code, primitivity of field_poly included. */
VX_API int rs_code_valid(const rs_params *params);
/* Build the codec on caller storage; 1 on success, 0 for rejected parameters. */
VX_API int rs_init(rs_codec *rs, const rs_params *params);
VX_API const uint8_t *rs_generator(const rs_codec *rs);
/* Parity (nroots symbols) of k information symbols. */
VX_API void rs_encode(const rs_codec *rs, const uint8_t *info, uint8_t *parity_out);
/* The nroots syndromes S_i = c(α^(s·(j0+i))) of an n-symbol word, as field elements. */
VX_API void rs_syndromes(const rs_codec *rs, const uint8_t *word, uint8_t *out);
VX_API int rs_codeword_ok(const rs_codec *rs, const uint8_t *word);
/* Correct an n-symbol word in place: the number of symbols corrected (0 for a codeword),
 * or -1, with the word untouched, when it cannot be corrected or a symbol is >= 2^J. */
VX_API int rs_decode(const rs_codec *rs, uint8_t *word);

/* NULL for parameters rs_code_valid refuses. */
VX_API rs_codec *rs_codec_create(uint64_t nroots, uint64_t symbol_bits, uint64_t field_poly,
                                 uint64_t first_root, uint64_t root_stride);
VX_API void rs_codec_destroy(rs_codec *rs);

/* n symbols, or 0 (nothing written) unless n_in == k, out_cap >= n and every information
 * symbol is below 2^J. out may be info (the parity is appended in place); otherwise the
 * two must not overlap. */
VX_API uint64_t rs_codec_encode(const rs_codec *rs, const uint8_t *info, uint64_t n_in, uint8_t *out,
                                uint64_t out_cap);
VX_API uint64_t rs_codec_encode_max_out(const rs_codec *rs, uint64_t n_in);
/* rs_decode's result, or -2 when len != n. */
VX_API int rs_codec_decode(const rs_codec *rs, uint8_t *codeword, uint64_t len);
/* nroots, or 0 (nothing written) unless len == n, out_cap >= nroots and every symbol is
 * below 2^J. */
VX_API uint64_t rs_codec_syndromes(const rs_codec *rs, const uint8_t *word, uint64_t len, uint8_t *out,
                                   uint64_t out_cap);
VX_API uint64_t rs_codec_syndromes_max_out(const rs_codec *rs, uint64_t n_in);
/* 1 when len == n and every syndrome is zero (symbols >= 2^J: 0). */
VX_API int rs_codec_codeword_ok(const rs_codec *rs, const uint8_t *word, uint64_t len);
/* Many codewords in one call, row after row (count rows of k or n symbols): encode fills
 * count·n symbols of out (0, nothing written, if any row is refused); decode corrects each
 * row of `words` in place and stores rs_decode's result per row in `results`. */
VX_API uint64_t rs_codec_encode_batch(const rs_codec *rs, const uint8_t *info, uint64_t count, uint8_t *out);
VX_API void rs_codec_decode_batch(const rs_codec *rs, uint8_t *words, uint64_t count, int32_t *results);
/* Copy the nroots + 1 generator coefficients; 0 when out_cap is smaller. */
VX_API uint64_t rs_codec_generator(const rs_codec *rs, uint8_t *out, uint64_t out_cap);
VX_API uint32_t rs_codec_get_n(const rs_codec *rs);
VX_API uint32_t rs_codec_get_k(const rs_codec *rs);
VX_API uint32_t rs_codec_get_e(const rs_codec *rs);
VX_API uint32_t rs_codec_get_nroots(const rs_codec *rs);
VX_API uint32_t rs_codec_get_symbol_bits(const rs_codec *rs);

#ifdef __cplusplus
}
#endif

#endif
