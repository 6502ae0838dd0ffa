#include "cic.h"

#include <algorithm>

#include "cic_kernel.hpp"
#include "vx_blob.hpp"

namespace ck = vx::cic_kernel;
using ck::kOrder;
using ck::Lane;

struct cic {
    uint32_t r;     // ratio, a power of two in 2..2048
    uint32_t shift; // 4·log2 r
    Lane lane[2];   // I, Q
    uint32_t phase; // inputs since the last output, 0..r−1
    uint8_t clipped;
    const ck::Variant *kernel; // quantiser and integrators for this machine
};

namespace {

bool ratio_ok(uint32_t r) { return r >= 2 && r <= CIC_MAX_RATIO && (r & (r - 1)) == 0; }

// The four combs on the last integrator, back to a float component.
inline float comb(Lane &l, uint32_t shift)
{
    uint64_t d = l.integ[kOrder - 1];
    for (uint64_t &z : l.comb) {
        const uint64_t in = d;
        d = in - z;
        z = in;
    }
    return (static_cast<float>((d >> shift) & 0xFFFF) - 32768.0f) * (1.0f / 16384.0f);
}

} // namespace

extern "C" {

VX_API cic *cic_create(uint32_t r)
{
    if (!ratio_ok(r))
        return nullptr;
    cic *c = vx::alloc_object<cic>();
    if (c) {
        c->kernel = &ck::best();
        cic_reconfigure(c, r);
    }
    return c;
}

VX_API int cic_reconfigure(cic *c, uint32_t r)
{
    if (!c || !ratio_ok(r))
        return VX_ERR_INVALID;
    c->r = r;
    c->shift = 4 * static_cast<uint32_t>(__builtin_ctz(r));
    cic_reset(c);
    return VX_OK;
}

VX_API void cic_reset(cic *c)
{
    c->lane[0] = c->lane[1] = Lane{};
    c->phase = 0;
    c->clipped = 0;
}

VX_API void cic_destroy(cic *c) { vx_free(c); }

VX_API uint64_t cic_decimate(cic *c, const vx_cf32 *x, uint64_t n_in, vx_cf32 *y,
                             uint64_t max_out)
{
    if (!c || !x || n_in == 0)
        return 0;
    if (!y)
        max_out = 0;
    uint64_t written = 0;
    uint32_t clip = 0;
    uint64_t code[2 * ck::kCodes];
    for (uint64_t i = 0; i < n_in;) {
        // Quantise a chunk by vector, then integrate it run by run up to each output.
        const uint64_t chunk = std::min(ck::kCodes, n_in - i);
        c->kernel->quantise(x + i, chunk, code, &clip);
        for (uint64_t k = 0; k < chunk;) {
            const uint64_t run = std::min<uint64_t>(c->r - c->phase, chunk - k);
            if (run >= c->kernel->min_run)
                c->kernel->integrate(c->lane, code + 2 * k, run);
            else
                ck::integrate_codes(c->lane, code + 2 * k, run);
            k += run;
            c->phase += static_cast<uint32_t>(run);
            if (c->phase == c->r) {
                c->phase = 0;
                const float re = comb(c->lane[0], c->shift), im = comb(c->lane[1], c->shift);
                if (written < max_out)
                    y[written++] = {re, im};
            }
        }
        i += chunk;
    }
    c->clipped |= clip != 0;
    return written;
}

VX_API uint64_t cic_decimate_max_out(const cic *) { return 0; }
VX_API uint64_t cic_decimate_bound(const cic *c, uint64_t n_in)
{
    // Split so that adding the phase cannot wrap.
    return n_in / c->r + (n_in % c->r + c->phase) / c->r;
}
VX_API uint32_t cic_get_ratio(const cic *c) { return c->r; }
VX_API int cic_get_clipped(const cic *c) { return c->clipped; }
VX_API double cic_dc_gain(const cic *c)
{
    const double r = c->r;
    return r * r * r * r / static_cast<double>(uint64_t{1} << c->shift);
}

VX_API uint64_t cic_state_bytes(const cic *) { return CIC_STATE_BYTES; }

VX_API void cic_get_state(const cic *c, void *out)
{
    vx::BlobWriter w(out, VX_MAGIC_CIC, VX_VERSION_CIC, CIC_STATE_BYTES);
    w.put(c->lane[0].integ).put(c->lane[1].integ).put(c->lane[0].comb).put(c->lane[1].comb);
    w.put(c->phase).put(c->clipped);
}

VX_API int cic_set_state(cic *c, const void *blob)
{
    if (!c || vx_state_check_header(blob, VX_MAGIC_CIC, VX_VERSION_CIC, CIC_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    Lane lane[2];
    uint32_t phase;
    uint8_t clipped;
    vx::BlobReader(blob).get_bytes(lane[0].integ, 32).get_bytes(lane[1].integ, 32)
        .get_bytes(lane[0].comb, 32).get_bytes(lane[1].comb, 32).get(phase).get(clipped);
    if (!vx::below(phase, c->r) || !vx::is_flag(clipped))
        return VX_ERR_INVALID;
    c->lane[0] = lane[0];
    c->lane[1] = lane[1];
    c->phase = phase;
    c->clipped = clipped;
    return VX_OK;
}

} // extern "C"
