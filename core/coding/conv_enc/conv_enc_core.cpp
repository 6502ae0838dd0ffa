#include "conv_enc.h"

#include <cstring>

#include "vx_blob.hpp"

struct conv_enc {
    conv_code code;
    uint32_t reg;
};


extern "C" {

VX_API int conv_code_valid(const conv_code *code)
{
    if (!code || code->k < CONV_MIN_K || code->k > CONV_MAX_K || code->n < 1 ||
        code->n > CONV_MAX_POLYS)
        return 0;
    for (int j = 0; j < code->n; ++j)
        if (code->polys[j] == 0 || code->polys[j] >> code->k)
            return 0;
    return 1;
}

VX_API uint32_t conv_outputs(const conv_code *code, uint32_t reg, uint32_t bit)
{
    const uint32_t r = reg | (bit & 1u) << (code->k - 1);
    uint32_t p = 0;
    for (int j = 0; j < code->n; ++j)
        p |= static_cast<uint32_t>(__builtin_parity(code->polys[j] & r)) << j;
    return p ^ (code->invert & ((1u << code->n) - 1u));
}

VX_API void conv_enc_init(uint32_t *reg) { *reg = 0; }

VX_API uint64_t conv_encode(uint32_t *reg, const conv_code *code, const uint8_t *bits,
                            uint64_t n_bits, uint8_t *out, uint64_t out_cap)
{
    uint64_t need;
    if (!reg || !bits || !out || !conv_code_valid(code) || !vx_size_mul(n_bits, code->n, &need) ||
        out_cap < need)
        return 0;
    const int n = code->n, k = code->k;
    uint32_t r = *reg;
    for (uint64_t i = 0; i < n_bits; ++i) {
        const uint32_t b = bits[i] & 1u;
        const uint32_t p = conv_outputs(code, r, b);
        for (int j = 0; j < n; ++j)
            out[i * n + j] = static_cast<uint8_t>(p >> j & 1u);
        r = (b << (k - 1) | r) >> 1;
    }
    *reg = r;
    return need;
}

VX_API conv_enc *conv_enc_create_code(const conv_code *code)
{
    if (!conv_code_valid(code))
        return nullptr;
    conv_enc *e = vx::alloc_object<conv_enc>();
    if (e)
        conv_code_from(code->polys, code->n, code->k, code->invert, &e->code);
    return e;
}

VX_API conv_enc *conv_enc_create(const uint32_t *polys, int32_t n, int32_t k, uint32_t invert)
{
    conv_code c;
    return conv_code_from(polys, n, k, invert, &c) ? conv_enc_create_code(&c) : nullptr;
}

VX_API void conv_enc_destroy(conv_enc *e) { vx_free(e); }

VX_API void conv_enc_reset(conv_enc *e) { conv_enc_init(&e->reg); }

VX_API conv_code conv_enc_code(const conv_enc *e) { return e->code; }

VX_API uint64_t conv_enc_encode(conv_enc *e, const uint8_t *bits, uint64_t n_bits, uint8_t *out,
                                uint64_t out_cap)
{
    return e ? conv_encode(&e->reg, &e->code, bits, n_bits, out, out_cap) : 0;
}

VX_API uint64_t conv_enc_encode_max_out(const conv_enc *e, uint64_t n_bits)
{
    const uint64_t n = static_cast<uint64_t>(e->code.n);
    return n_bits > UINT64_MAX / n ? UINT64_MAX : n_bits * n;
}

VX_API uint64_t conv_enc_state_bytes(const conv_enc *) { return CONV_ENC_STATE_BYTES; }

VX_API void conv_enc_get_state(const conv_enc *e, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_CONV_ENC, VX_VERSION_CONV_ENC, CONV_ENC_STATE_BYTES)
        .put(e->reg)
        .put(e->code.k)
        .put(e->code.n)
        .put(e->code.invert)
        .put(e->code.polys);
}

VX_API int conv_enc_set_state(conv_enc *e, const void *blob)
{
    if (!e || vx_state_check_header(blob, VX_MAGIC_CONV_ENC, VX_VERSION_CONV_ENC,
                                    CONV_ENC_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader r(blob);
    conv_code c{};
    const uint32_t reg = r.get<uint32_t>();
    r.get(c.k).get(c.n).get(c.invert).get_bytes(c.polys, sizeof c.polys);
    if (std::memcmp(&c, &e->code, sizeof c) != 0 || reg >> (e->code.k - 1))
        return VX_ERR_INVALID;
    e->reg = reg;
    return VX_OK;
}

}  // extern "C"
