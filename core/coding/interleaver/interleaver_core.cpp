#include "interleaver.h"

#include <cstring>

#include "vx_blob.hpp"

struct interleaver {
    uint64_t rows, cols, unit_bits, block_bits;
};

namespace {

// Units of `unit` elements, matrix `r` × `c` written by rows and read by columns: input
// unit i·c + j goes to output unit j·r + i, block after block. Deinterleaving is the
// same walk with rows and cols exchanged.
template <class T>
uint64_t permute(const interleaver *il, const T *in, uint64_t len, T *out, uint64_t out_cap,
                 bool inverse)
{
    if (!il || !in || !out || len == 0 || len > out_cap || len % il->block_bits)
        return 0;
    const uint64_t r = inverse ? il->cols : il->rows, c = inverse ? il->rows : il->cols;
    const uint64_t unit = il->unit_bits, bytes = unit * sizeof(T);
    for (uint64_t b = 0; b < len; b += il->block_bits) {
        const T *src = in + b;
        T *dst = out + b;
        for (uint64_t i = 0; i < r; ++i)
            for (uint64_t j = 0; j < c; ++j) {
                if (unit == 1)  // single elements: no copy call per element
                    dst[j * r + i] = src[i * c + j];
                else
                    std::memcpy(dst + (j * r + i) * unit, src + (i * c + j) * unit, bytes);
            }
    }
    return len;
}

}  // namespace

extern "C" {

VX_API interleaver *interleaver_create(uint64_t rows, uint64_t cols, uint64_t unit_bits)
{
    uint64_t cells, block;
    if (!rows || !cols || !unit_bits || __builtin_mul_overflow(rows, cols, &cells) ||
        __builtin_mul_overflow(cells, unit_bits, &block))
        return nullptr;
    interleaver *il = vx::alloc_object<interleaver>();
    if (il)
        *il = {rows, cols, unit_bits, block};
    return il;
}

VX_API interleaver *interleaver_create_rx(uint64_t rows, uint64_t cols, uint64_t unit_bits)
{
    return interleaver_create(rows, cols, unit_bits);
}

VX_API void interleaver_destroy(interleaver *il) { vx_free(il); }

VX_API void interleaver_reset(interleaver *) {}

VX_API uint64_t interleaver_get_rows(const interleaver *il) { return il ? il->rows : 0; }
VX_API uint64_t interleaver_get_cols(const interleaver *il) { return il ? il->cols : 0; }
VX_API uint64_t interleaver_get_unit_bits(const interleaver *il) { return il ? il->unit_bits : 0; }
VX_API uint64_t interleaver_get_block_bits(const interleaver *il) { return il ? il->block_bits : 0; }
VX_API uint64_t interleaver_get_burst_len(const interleaver *il) { return il ? il->rows : 0; }
VX_API uint64_t interleaver_get_separation(const interleaver *il) { return il ? il->cols : 0; }

VX_API uint64_t interleaver_interleave(const interleaver *il, const uint8_t *in, uint64_t len,
                                       uint8_t *out, uint64_t out_cap)
{
    return permute(il, in, len, out, out_cap, false);
}

VX_API uint64_t interleaver_deinterleave(const interleaver *il, const uint8_t *in, uint64_t len,
                                         uint8_t *out, uint64_t out_cap)
{
    return permute(il, in, len, out, out_cap, true);
}

VX_API uint64_t interleaver_deinterleave_soft(const interleaver *il, const float *in, uint64_t len,
                                              float *out, uint64_t out_cap)
{
    return permute(il, in, len, out, out_cap, true);
}

VX_API uint64_t interleaver_interleave_max_out(const interleaver *, uint64_t n) { return n; }
VX_API uint64_t interleaver_deinterleave_max_out(const interleaver *, uint64_t n) { return n; }
VX_API uint64_t interleaver_deinterleave_soft_max_out(const interleaver *, uint64_t n) { return n; }

}  // extern "C"
