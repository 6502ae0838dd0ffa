#include "rs_codec.h"

#include <cstring>

#include <immintrin.h>

#include "vx_blob.hpp"

namespace {

constexpr uint8_t NO_LOG = 255;

uint32_t gcd(uint32_t a, uint32_t b)
{
    while (b) {
        const uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// Everything but primitivity, which only building the field shows.
bool params_in_range(const rs_params &p)
{
    if (p.symbol_bits < 2 || p.symbol_bits > 8)
        return false;
    const uint64_t n = (1u << p.symbol_bits) - 1;
    const uint64_t stride = p.root_stride % n;
    return p.field_poly != 0 && p.field_poly <= n && (p.field_poly & 1u) && p.nroots >= 2 &&
           p.nroots <= RS_MAX_ROOTS && p.nroots % 2 == 0 && p.nroots < n && stride != 0 &&
           gcd(static_cast<uint32_t>(stride), static_cast<uint32_t>(n)) == 1;
}

// Antilog and log tables by repeated multiplication by x; false unless x generates all
// n non-zero elements, i.e. the polynomial is primitive.
bool build_field(rs_codec &rs, uint32_t poly)
{
    const uint32_t J = rs.symbol_bits, n = rs.n;
    std::memset(rs.log, NO_LOG, sizeof rs.log);
    uint32_t x = 1;
    for (uint32_t m = 0; m < n; ++m) {
        if (rs.log[x] != NO_LOG)
            return false;  // a cycle shorter than n
        rs.alpha[m] = static_cast<uint8_t>(x);
        rs.log[x] = static_cast<uint8_t>(m);
        x <<= 1;
        if (x >> J)
            x ^= (1u << J) | poly;
    }
    if (x != 1)
        return false;
    for (uint32_t i = 0; i + 1 < n; ++i)
        rs.alpha[n + i] = rs.alpha[i];
    return true;
}

inline uint8_t mul(const rs_codec &rs, uint8_t a, uint8_t b)
{
    return a && b ? rs.alpha[rs.log[a] + rs.log[b]] : 0;
}

// α^e for any integer exponent.
inline uint8_t power(const rs_codec &rs, int64_t e)
{
    const int64_t n = rs.n;
    return rs.alpha[((e % n) + n) % n];
}

// Log of root i of the generator: s·(j0 + i) mod n.
inline uint32_t root_log(const rs_codec &rs, uint32_t i)
{
    return static_cast<uint32_t>((static_cast<uint64_t>(rs.root_stride) * (rs.first_root + i)) % rs.n);
}

bool symbols_in_range(const rs_codec &rs, const uint8_t *w, uint64_t len)
{
    if (rs.symbol_bits == 8)
        return true;
    uint8_t any = 0;
    for (uint64_t i = 0; i < len; ++i)
        any |= w[i];
    return (any >> rs.symbol_bits) == 0;
}

bool all_zero(const uint8_t *s, uint32_t n)
{
    uint8_t any = 0;
    for (uint32_t i = 0; i < n; ++i)
        any |= s[i];
    return any == 0;
}

// ---- GFNI path (GF(256) only) ------------------------------------------------------------
// Symbols are mapped into the field the GFNI instructions multiply in (reduction polynomial
// 0x11B) by T, the isomorphism sending α to a root β of our field polynomial there; sums
// and products carry over, and T^-1 maps results back. Syndromes run as 8 interleaved
// Horner streams (64 syndrome lanes each) so no multiply waits on the one before it; the
// Chien search evaluates the locator at all 255 positions at once.

constexpr uint8_t SIMD_NONE = 0, SIMD_GFNI = 1;
constexpr int STREAMS = 8;

uint8_t gmul_11b(uint8_t a, uint8_t b)
{
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i) {
        if (b & 1)
            r ^= a;
        b >>= 1;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
    }
    return r;
}

// A linear map given by the images of the 8 basis bits, as an affine-instruction matrix:
// byte 7-i of the matrix selects the input bits whose parity gives output bit i.
uint64_t affine_matrix(const uint8_t image[8])
{
    uint64_t m = 0;
    for (int i = 0; i < 8; ++i) {
        uint8_t row = 0;
        for (int k = 0; k < 8; ++k)
            row |= static_cast<uint8_t>(((image[k] >> i) & 1u) << k);
        m |= static_cast<uint64_t>(row) << (8 * (7 - i));
    }
    return m;
}

uint8_t apply(const uint8_t image[8], uint8_t x)
{
    uint8_t y = 0;
    for (int k = 0; k < 8; ++k)
        if (x >> k & 1u)
            y ^= image[k];
    return y;
}

bool gfni_usable()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("gfni") && __builtin_cpu_supports("avx512bw");
}

void init_simd(rs_codec &rs, uint32_t poly)
{
    if (rs.symbol_bits != 8 || !gfni_usable())
        return;
    // β: a root of our field polynomial in the 0x11B field.
    uint8_t beta = 0;
    for (uint32_t b = 2; b < 256 && !beta; ++b) {
        uint8_t acc = 1, v = 0;  // Σ of the polynomial's terms at b, x^8 included
        for (int k = 0; k < 8; ++k, acc = gmul_11b(acc, static_cast<uint8_t>(b)))
            if (poly >> k & 1u)
                v ^= acc;
        if ((v ^ acc) == 0)
            beta = static_cast<uint8_t>(b);
    }
    uint8_t to[8], from[8];
    to[0] = 1;
    for (int k = 1; k < 8; ++k)
        to[k] = gmul_11b(to[k - 1], beta);
    for (int k = 0; k < 8; ++k)
        for (uint32_t x = 0; x < 256; ++x)
            if (apply(to, static_cast<uint8_t>(x)) == (1u << k))
                from[k] = static_cast<uint8_t>(x);
    rs.to_simd = affine_matrix(to);
    rs.from_simd = affine_matrix(from);
    for (uint32_t i = 0; i < rs.nroots; ++i) {
        const int64_t lr = root_log(rs, i);
        rs.syn_step[i] = apply(to, power(rs, lr * STREAMS));
        for (int r = 0; r < STREAMS; ++r)
            rs.syn_tail[r][i] = apply(to, power(rs, lr * (STREAMS - 1 - r)));
    }
    for (uint32_t i = 0; i <= rs.e; ++i)
        for (uint32_t p = 0; p < rs.n; ++p)
            rs.chien[i][p] = apply(to, power(rs, -static_cast<int64_t>(rs.root_stride) * p * i));
    // x^m mod g for m = nroots, nroots + 1, ...: the parity of information symbol k - 1,
    // k - 2, ... (the last one multiplies x^nroots). Lowest power first; g is monic.
    const uint32_t r = rs.nroots;
    uint8_t rem[RS_MAX_ROOTS];
    std::memcpy(rem, rs.gen, r);
    for (uint32_t i = rs.k; i-- > 0;) {
        for (uint32_t j = 0; j < r; ++j)
            rs.parity_row[i][j] = apply(to, rem[r - 1 - j]);
        const uint8_t top = rem[r - 1];
        for (uint32_t j = r - 1; j > 0; --j)
            rem[j] = rem[j - 1] ^ mul(rs, top, rs.gen[j]);
        rem[0] = mul(rs, top, rs.gen[0]);
    }
    rs.simd = SIMD_GFNI;
}

#define VX_GFNI __attribute__((target("avx512f,avx512bw,gfni")))

// The word mapped, after one leading zero symbol: 256 bytes, position j at byte j + 1.
VX_GFNI inline void map_word(const rs_codec &rs, const uint8_t *word, uint8_t *out)
{
    const __m512i t = _mm512_set1_epi64(static_cast<long long>(rs.to_simd));
    out[0] = 0;
    for (int q = 0; q < 4; ++q) {
        const __mmask64 m = q == 3 ? ~0ull >> 1 : ~0ull;  // 63 symbols in the last block
        const __m512i c = _mm512_maskz_loadu_epi8(m, word + 64 * q);
        _mm512_mask_storeu_epi8(out + 1 + 64 * q, m, _mm512_gf2p8affine_epi64_epi8(c, t, 0));
    }
}

// Syndromes of the padded word: stream r takes positions j' ≡ r (mod 8) by Horner with
// root^8; S = Σ_r root^(7-r)·H_r, since the last position of stream r has power 7 - r.
VX_GFNI void syndromes_gfni(const rs_codec &rs, const uint8_t *word, uint8_t *out)
{
    alignas(64) uint8_t m[256];
    map_word(rs, word, m);
    const __m512i step = _mm512_loadu_si512(rs.syn_step);
    __m512i h[STREAMS];
    for (int r = 0; r < STREAMS; ++r)
        h[r] = _mm512_setzero_si512();
    for (int j = 0; j < 256; j += STREAMS)
        for (int r = 0; r < STREAMS; ++r)
            h[r] = _mm512_xor_si512(_mm512_gf2p8mul_epi8(h[r], step), _mm512_set1_epi8(static_cast<char>(m[j + r])));
    __m512i s = _mm512_setzero_si512();
    for (int r = 0; r < STREAMS; ++r)
        s = _mm512_xor_si512(s, _mm512_gf2p8mul_epi8(h[r], _mm512_loadu_si512(rs.syn_tail[r])));
    s = _mm512_gf2p8affine_epi64_epi8(s, _mm512_set1_epi64(static_cast<long long>(rs.from_simd)), 0);
    _mm512_mask_storeu_epi8(out, ~0ull >> (64 - rs.nroots), s);
}

// Parity as the sum of each information symbol times its parity row; four accumulators
// keep the additions from waiting on each other.
VX_GFNI void encode_gfni(const rs_codec &rs, const uint8_t *info, uint8_t *parity)
{
    alignas(64) uint8_t m[256];
    const __m512i t = _mm512_set1_epi64(static_cast<long long>(rs.to_simd));
    for (uint32_t q = 0; q < rs.k; q += 64) {
        const __mmask64 mk = rs.k - q >= 64 ? ~0ull : ~0ull >> (64 - (rs.k - q));
        _mm512_store_si512(m + q, _mm512_gf2p8affine_epi64_epi8(_mm512_maskz_loadu_epi8(mk, info + q), t, 0));
    }
    __m512i acc[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                      _mm512_setzero_si512()};
    for (uint32_t i = 0; i < rs.k; ++i)
        acc[i % 4] = _mm512_xor_si512(acc[i % 4], _mm512_gf2p8mul_epi8(_mm512_set1_epi8(static_cast<char>(m[i])),
                                                                      _mm512_loadu_si512(rs.parity_row[i])));
    const __m512i p = _mm512_xor_si512(_mm512_xor_si512(acc[0], acc[1]), _mm512_xor_si512(acc[2], acc[3]));
    _mm512_mask_storeu_epi8(parity, ~0ull >> (64 - rs.nroots),
                            _mm512_gf2p8affine_epi64_epi8(p, _mm512_set1_epi64(static_cast<long long>(rs.from_simd)), 0));
}

// Positions p < n where Λ(α^(-s·p)) = 0, in increasing order; returns how many (at most
// max_roots are stored).
VX_GFNI uint32_t chien_gfni(const rs_codec &rs, const uint8_t *lambda, uint32_t deg, uint32_t *pos,
                            uint32_t max_roots)
{
    const __m512i t = _mm512_set1_epi64(static_cast<long long>(rs.to_simd));
    const __m512i coef = _mm512_gf2p8affine_epi64_epi8(_mm512_maskz_loadu_epi8(~0ull >> (63 - deg), lambda), t, 0);
    alignas(64) uint8_t lam[64];
    _mm512_store_si512(lam, coef);
    uint32_t found = 0;
    for (int q = 0; q < 4; ++q) {
        __m512i v = _mm512_set1_epi8(static_cast<char>(lam[0]));
        for (uint32_t i = 1; i <= deg; ++i)
            v = _mm512_xor_si512(v, _mm512_gf2p8mul_epi8(_mm512_set1_epi8(static_cast<char>(lam[i])),
                                                         _mm512_loadu_si512(rs.chien[i] + 64 * q)));
        uint64_t zero = _mm512_cmpeq_epi8_mask(v, _mm512_setzero_si512());
        if (q == 3)
            zero &= ~0ull >> 1;  // position 255 does not exist
        for (; zero; zero &= zero - 1) {
            if (found < max_roots)
                pos[found] = 64 * q + static_cast<uint32_t>(__builtin_ctzll(zero));
            ++found;
        }
    }
    return found;
}

}  // namespace

extern "C" {

VX_API int rs_code_valid(const rs_params *params)
{
    if (!params || !params_in_range(*params))
        return 0;
    rs_codec *probe = vx::alloc_object<rs_codec>();
    const int ok = probe && rs_init(probe, params);
    vx_free(probe);
    return ok;
}

VX_API int rs_init(rs_codec *rs, const rs_params *params)
{
    if (!rs || !params || !params_in_range(*params))
        return 0;
    std::memset(rs, 0, sizeof *rs);
    rs->params = *params;
    rs->symbol_bits = static_cast<uint32_t>(params->symbol_bits);
    rs->n = (1u << rs->symbol_bits) - 1;
    rs->nroots = static_cast<uint32_t>(params->nroots);
    rs->k = rs->n - rs->nroots;
    rs->e = rs->nroots / 2;
    rs->first_root = static_cast<uint32_t>(params->first_root % rs->n);
    rs->root_stride = static_cast<uint32_t>(params->root_stride % rs->n);
    if (!build_field(*rs, static_cast<uint32_t>(params->field_poly)))
        return 0;
    // g(x) = Π (x - α^(s·(j0+i))), multiplied out one root at a time, lowest power first.
    rs->gen[0] = 1;
    for (uint32_t i = 0; i < rs->nroots; ++i) {
        const uint8_t root = rs->alpha[root_log(*rs, i)];
        for (uint32_t j = i + 1; j > 0; --j)
            rs->gen[j] = rs->gen[j - 1] ^ mul(*rs, rs->gen[j], root);
        rs->gen[0] = mul(*rs, rs->gen[0], root);
    }
    for (uint32_t i = 0; i < rs->nroots; ++i) {
        const uint8_t root = rs->alpha[root_log(*rs, i)];
        for (uint32_t x = 0; x <= rs->n; ++x)
            rs->root_mul[i][x] = mul(*rs, static_cast<uint8_t>(x), root);
    }
    init_simd(*rs, static_cast<uint32_t>(params->field_poly));
    return 1;
}

VX_API const uint8_t *rs_generator(const rs_codec *rs) { return rs->gen; }

VX_API void rs_encode(const rs_codec *rs, const uint8_t *info, uint8_t *parity_out)
{
    if (rs->simd == SIMD_GFNI) {
        encode_gfni(*rs, info, parity_out);
        return;
    }
    // Linear-feedback division of info(x)·x^nroots by g(x); par[0] is the highest power.
    const uint32_t r = rs->nroots;
    uint8_t glog[RS_MAX_ROOTS + 1];
    for (uint32_t j = 0; j <= r; ++j)
        glog[j] = rs->log[rs->gen[j]];
    uint8_t par[RS_MAX_ROOTS + 1] = {};
    for (uint32_t i = 0; i < rs->k; ++i) {
        const uint8_t fb = info[i] ^ par[0];
        if (fb == 0) {
            std::memmove(par, par + 1, r - 1);
            par[r - 1] = 0;
            continue;
        }
        const uint32_t lf = rs->log[fb];
        for (uint32_t j = 0; j + 1 < r; ++j) {
            const uint8_t g = glog[r - 1 - j];
            par[j] = par[j + 1] ^ (g == NO_LOG ? 0 : rs->alpha[lf + g]);
        }
        par[r - 1] = glog[0] == NO_LOG ? 0 : rs->alpha[lf + glog[0]];
    }
    std::memcpy(parity_out, par, r);
}

VX_API void rs_syndromes(const rs_codec *rs, const uint8_t *word, uint8_t *out)
{
    if (rs->simd == SIMD_GFNI) {
        syndromes_gfni(*rs, word, out);
        return;
    }
    // Horner from the first symbol, all syndromes side by side (independent chains).
    uint8_t s[RS_MAX_ROOTS] = {};
    const uint32_t r = rs->nroots;
    for (uint32_t j = 0; j < rs->n; ++j) {
        const uint8_t c = word[j];
        for (uint32_t i = 0; i < r; ++i)
            s[i] = rs->root_mul[i][s[i]] ^ c;
    }
    std::memcpy(out, s, r);
}

VX_API int rs_codeword_ok(const rs_codec *rs, const uint8_t *word)
{
    if (!symbols_in_range(*rs, word, rs->n))
        return 0;
    uint8_t s[RS_MAX_ROOTS];
    rs_syndromes(rs, word, s);
    return all_zero(s, rs->nroots);
}

VX_API int rs_decode(const rs_codec *rs, uint8_t *word)
{
    const rs_codec &c = *rs;
    const uint32_t r = c.nroots, n = c.n;
    if (!symbols_in_range(c, word, n))
        return -1;
    uint8_t syn[RS_MAX_ROOTS];
    rs_syndromes(rs, word, syn);
    if (all_zero(syn, r))
        return 0;

    // Berlekamp-Massey: the shortest LFSR Λ (length L) generating the syndromes. The
    // correction polynomial is kept as x^z·B, so shifting it is a count, and Λ and its
    // successor swap buffers instead of being copied.
    uint8_t buf[2][RS_MAX_ROOTS + 1] = {{1}, {0}}, B[RS_MAX_ROOTS + 1] = {1};
    uint8_t *lambda = buf[0], *t = buf[1];
    uint32_t L = 0, z = 0;
    for (uint32_t k = 0; k < r; ++k) {
        // Before step k both polynomials have degree <= k.
        uint8_t d = syn[k];
        for (uint32_t i = 1; i <= L; ++i)
            d ^= mul(c, lambda[i], syn[k - i]);
        if (d == 0) {
            ++z;
            continue;
        }
        const uint32_t top = k + 1, ld = c.log[d];
        // t = Λ - d·x·(x^z·B)
        for (uint32_t i = 0; i <= top; ++i)
            t[i] = lambda[i];
        for (uint32_t i = z + 1; i <= top; ++i)
            if (B[i - 1 - z])
                t[i] ^= c.alpha[ld + c.log[B[i - 1 - z]]];
        if (2 * L <= k) {
            L = k + 1 - L;
            const uint32_t linv = n - ld;  // log of 1/d
            for (uint32_t i = 0; i <= top; ++i)
                B[i] = lambda[i] ? c.alpha[linv + c.log[lambda[i]]] : 0;
            z = 0;
        } else {
            ++z;
        }
        uint8_t *old = lambda;
        lambda = t;
        t = old;
    }
    uint32_t deg = 0;
    for (uint32_t i = 1; i <= r; ++i)
        if (lambda[i])
            deg = i;
    // A locator whose degree is not the register length describes no error pattern.
    if (deg == 0 || deg != L || deg > c.e)
        return -1;

    // Chien search: error at power p (symbol n-1-p) where Λ(α^(-s·p)) = 0.
    uint32_t pos[RS_MAX_ROOTS / 2], found = 0;
    if (c.simd == SIMD_GFNI) {
        if (chien_gfni(c, lambda, deg, pos, RS_MAX_ROOTS / 2) != deg)
            return -1;
        found = deg;
    }
    int64_t reg[RS_MAX_ROOTS / 2 + 1];
    for (uint32_t i = 1; i <= deg; ++i)
        reg[i] = lambda[i] ? c.log[lambda[i]] : -1;
    const int64_t step = c.root_stride;
    for (uint32_t p = 0; p < n && found < deg && c.simd != SIMD_GFNI; ++p) {
        uint8_t q = lambda[0];
        for (uint32_t i = 1; i <= deg; ++i) {
            if (reg[i] < 0)
                continue;
            q ^= c.alpha[reg[i]];
            reg[i] -= step * i % n;  // next p: one more factor α^(-s·i)
            if (reg[i] < 0)
                reg[i] += n;
        }
        if (q == 0)
            pos[found++] = p;
    }
    if (found != deg)
        return -1;

    // Forney: e = X^(1-j0)·Ω(X^-1)/Λ'(X^-1) with X = α^(s·p), Ω = S·Λ mod x^nroots.
    uint8_t omega[RS_MAX_ROOTS / 2];
    for (uint32_t i = 0; i < deg; ++i) {
        uint8_t w = 0;
        for (uint32_t j = 0; j <= i; ++j)
            w ^= mul(c, syn[i - j], lambda[j]);
        omega[i] = w;
    }
    uint8_t value[RS_MAX_ROOTS / 2];
    for (uint32_t k = 0; k < deg; ++k) {
        // Powers of X^-1 by adding its log, reduced by one subtraction each time.
        const uint32_t xl = static_cast<uint32_t>((n - (static_cast<uint64_t>(step) * pos[k]) % n) % n);
        uint8_t num = 0, den = 0;
        uint32_t ex = 0;  // log of X^-i
        for (uint32_t i = 0; i < deg; ++i) {
            if (omega[i])
                num ^= c.alpha[c.log[omega[i]] + ex];
            if (i % 2 == 0 && lambda[i + 1])  // Λ'(x) = Σ_{odd i} λ_i x^(i-1)
                den ^= c.alpha[c.log[lambda[i + 1]] + ex];
            ex += xl;
            if (ex >= n)
                ex -= n;
        }
        if (den == 0 || num == 0)
            return -1;
        const uint8_t x1j0 = power(c, static_cast<int64_t>(step) * pos[k] * (1 - static_cast<int64_t>(c.first_root)));
        value[k] = mul(c, mul(c, num, x1j0), c.alpha[n - c.log[den]]);
    }
    for (uint32_t k = 0; k < deg; ++k)
        word[n - 1 - pos[k]] ^= value[k];
    // Never report success on a word left invalid.
    rs_syndromes(rs, word, syn);
    if (!all_zero(syn, r)) {
        for (uint32_t k = 0; k < deg; ++k)
            word[n - 1 - pos[k]] ^= value[k];
        return -1;
    }
    return static_cast<int>(deg);
}

VX_API rs_codec *rs_codec_create(uint64_t nroots, uint64_t symbol_bits, uint64_t field_poly,
                                 uint64_t first_root, uint64_t root_stride)
{
    const rs_params p = {nroots, symbol_bits, field_poly, first_root, root_stride};
    rs_codec *rs = vx::alloc_object<rs_codec>();
    if (rs && !rs_init(rs, &p)) {
        vx_free(rs);
        return nullptr;
    }
    return rs;
}

VX_API void rs_codec_destroy(rs_codec *rs) { vx_free(rs); }

VX_API uint64_t rs_codec_encode(const rs_codec *rs, const uint8_t *info, uint64_t n_in, uint8_t *out,
                                uint64_t out_cap)
{
    if (!rs || !info || !out || n_in != rs->k || out_cap < rs->n || !symbols_in_range(*rs, info, n_in))
        return 0;
    if (out != info)
        std::memcpy(out, info, rs->k);
    rs_encode(rs, out, out + rs->k);
    return rs->n;
}

VX_API uint64_t rs_codec_encode_max_out(const rs_codec *rs, uint64_t) { return rs->n; }

VX_API int rs_codec_decode(const rs_codec *rs, uint8_t *codeword, uint64_t len)
{
    if (!rs || !codeword || len != rs->n)
        return -2;
    return rs_decode(rs, codeword);
}

VX_API uint64_t rs_codec_syndromes(const rs_codec *rs, const uint8_t *word, uint64_t len, uint8_t *out,
                                   uint64_t out_cap)
{
    if (!rs || !word || !out || len != rs->n || out_cap < rs->nroots || !symbols_in_range(*rs, word, len))
        return 0;
    rs_syndromes(rs, word, out);
    return rs->nroots;
}

VX_API uint64_t rs_codec_syndromes_max_out(const rs_codec *rs, uint64_t) { return rs->nroots; }

VX_API int rs_codec_codeword_ok(const rs_codec *rs, const uint8_t *word, uint64_t len)
{
    return rs && word && len == rs->n && rs_codeword_ok(rs, word);
}

VX_API uint64_t rs_codec_encode_batch(const rs_codec *rs, const uint8_t *info, uint64_t count, uint8_t *out)
{
    if (!rs || !info || !out || !symbols_in_range(*rs, info, count * rs->k))
        return 0;
    for (uint64_t i = 0; i < count; ++i) {
        std::memcpy(out + i * rs->n, info + i * rs->k, rs->k);
        rs_encode(rs, out + i * rs->n, out + i * rs->n + rs->k);
    }
    return count * rs->n;
}

VX_API void rs_codec_decode_batch(const rs_codec *rs, uint8_t *words, uint64_t count, int32_t *results)
{
    if (!rs || !words || !results)
        return;
    for (uint64_t i = 0; i < count; ++i)
        results[i] = rs_decode(rs, words + i * rs->n);
}

VX_API uint64_t rs_codec_generator(const rs_codec *rs, uint8_t *out, uint64_t out_cap)
{
    if (!rs || !out || out_cap < rs->nroots + 1u)
        return 0;
    std::memcpy(out, rs->gen, rs->nroots + 1u);
    return rs->nroots + 1u;
}

VX_API uint32_t rs_codec_get_n(const rs_codec *rs) { return rs->n; }
VX_API uint32_t rs_codec_get_k(const rs_codec *rs) { return rs->k; }
VX_API uint32_t rs_codec_get_e(const rs_codec *rs) { return rs->e; }
VX_API uint32_t rs_codec_get_nroots(const rs_codec *rs) { return rs->nroots; }
VX_API uint32_t rs_codec_get_symbol_bits(const rs_codec *rs) { return rs->symbol_bits; }

}  // extern "C"
