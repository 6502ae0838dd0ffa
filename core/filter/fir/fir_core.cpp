#include "fir.h"

#include <cstring>

#include "fir_kernel.hpp"
#include "vx_blob.hpp"

// Blocks are filtered in chunks of this many samples through a cache-resident scratch.
constexpr uint64_t FIR_CHUNK = 2048;

struct fir {
    uint64_t num_taps;
    int is_real;
    void *taps;        // num_taps cf32 (complex path) or f32 (real path)
    // Scratch: the delay line (num_taps - 1 inputs, oldest first) followed by room for
    // one chunk of input. Sized at create; execute never allocates.
    vx_cf32 *scratch;
    vx::fir_kernel::kernel_fn kernel;
};

namespace {

fir *create(const void *taps, uint64_t n, uint64_t tap_size, int is_real)
{
    if (!taps || n == 0)
        return nullptr;
    fir *f = vx::alloc_object<fir>();
    if (!f)
        return nullptr;
    f->num_taps = n;
    f->is_real = is_real;
    f->taps = vx_calloc(n, tap_size);  // bounds n, so the scratch size below cannot wrap
    if (f->taps)
        f->scratch = static_cast<vx_cf32 *>(vx_calloc(n - 1 + FIR_CHUNK, sizeof(vx_cf32)));
    if (!f->scratch) {
        fir_destroy(f);
        return nullptr;
    }
    std::memcpy(f->taps, taps, n * tap_size);
    const auto &v = vx::fir_kernel::best();
    f->kernel = is_real ? v.real : v.complex;
    return f;
}

uint64_t delay_len(const fir *f) { return f->num_taps - 1; }

}  // namespace

extern "C" {

VX_API fir *fir_create(const vx_cf32 *taps, uint64_t n) { return create(taps, n, sizeof(vx_cf32), 0); }

VX_API fir *fir_create_real(const float *taps, uint64_t n) { return create(taps, n, sizeof(float), 1); }

VX_API void fir_destroy(fir *f)
{
    if (!f)
        return;
    vx_free(f->taps);
    vx_free(f->scratch);
    vx_free(f);
}

VX_API uint64_t fir_execute(fir *f, const vx_cf32 *x, uint64_t n, vx_cf32 *y)
{
    if (!f || !x || !y || n == 0)
        return 0;
    const uint64_t m = delay_len(f);
    for (uint64_t at = 0; at < n; at += FIR_CHUNK) {
        const uint64_t c = n - at < FIR_CHUNK ? n - at : FIR_CHUNK;
        // The chunk is copied before its outputs are written, so y may be x.
        std::memcpy(f->scratch + m, x + at, c * sizeof(vx_cf32));
        f->kernel(f->scratch, f->taps, f->num_taps, y + at, c);
        std::memmove(f->scratch, f->scratch + c, m * sizeof(vx_cf32));
    }
    return n;
}

VX_API uint64_t fir_execute_max_out(const fir *) { return 0; }

VX_API void fir_reset(fir *f) { std::memset(f->scratch, 0, delay_len(f) * sizeof(vx_cf32)); }

VX_API uint64_t fir_get_num_taps(const fir *f) { return f->num_taps; }

VX_API int fir_get_is_real(const fir *f) { return f->is_real; }

VX_API void fir_get_taps(const fir *f, void *out)
{
    std::memcpy(out, f->taps, f->num_taps * (f->is_real ? sizeof(float) : sizeof(vx_cf32)));
}

VX_API double fir_dc_gain(const fir *f)
{
    double g = 0.0;
    for (uint64_t k = 0; k < f->num_taps; ++k)
        g += f->is_real ? static_cast<const float *>(f->taps)[k]
                        : static_cast<const vx_cf32 *>(f->taps)[k].re;
    return g;
}

VX_API uint64_t fir_state_bytes(const fir *f)
{
    return VX_STATE_HEADER_BYTES + delay_len(f) * sizeof(vx_cf32);
}

VX_API void fir_get_state(const fir *f, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_FIR, VX_VERSION_FIR, fir_state_bytes(f))
        .put_bytes(f->scratch, delay_len(f) * sizeof(vx_cf32));
}

VX_API int fir_set_state(fir *f, const void *blob)
{
    if (!f || vx_state_check_header(blob, VX_MAGIC_FIR, VX_VERSION_FIR, fir_state_bytes(f)) != VX_OK)
        return VX_ERR_INVALID;
    // The payload is samples only: nothing indexes or counts.
    vx::BlobReader(blob).get_bytes(f->scratch, delay_len(f) * sizeof(vx_cf32));
    return VX_OK;
}

}  // extern "C"
