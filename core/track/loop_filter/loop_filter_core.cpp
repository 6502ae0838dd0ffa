#include "loop_filter.h"

#include "vx_blob.hpp"

extern "C" {

VX_API double loop_filter_wn(double bn, double zeta)
{
    return 8.0 * zeta * bn / (1.0 + 4.0 * zeta * zeta);
}

struct gains {
    double kp, ki;
};

static gains design(double bn, double zeta, double t)
{
    const double theta = loop_filter_wn(bn, zeta) * t;
    const double d = 4.0 * (1.0 + zeta * theta) + theta * theta;
    return {8.0 * zeta * theta / d, 4.0 * theta * theta / d};
}

// Finite parameters in range can still overflow theta^2 (bn = 1e155, t = 1e308) and give
// NaN or infinite gains, which would poison every later output: refused as well.
static bool params_ok(double bn, double zeta, double t)
{
    if (!(vx_finite(bn) && vx_finite(zeta) && vx_finite(t) && bn >= 0.0 && zeta > 0.0 && t > 0.0))
        return false;
    const gains g = design(bn, zeta, t);
    return vx_finite(g.kp) && vx_finite(g.ki);
}

VX_API void loop_filter_init(loop_filter *lf, double bn, double zeta, double t)
{
    const gains g = design(bn, zeta, t);
    lf->kp = g.kp;
    lf->ki = g.ki;
    lf->bn = bn;
    lf->zeta = zeta;
    lf->t = t;
}

VX_API loop_filter *loop_filter_create(double bn, double zeta, double t)
{
    if (!params_ok(bn, zeta, t))
        return nullptr;
    loop_filter *lf = vx::alloc_object<loop_filter>();
    if (lf)
        loop_filter_init(lf, bn, zeta, t);
    return lf;
}

VX_API int loop_filter_configure(loop_filter *lf, double bn, double zeta, double t)
{
    // Validated like create: unchecked values would give infinite or NaN gains.
    if (!lf || !params_ok(bn, zeta, t))
        return VX_ERR_INVALID;
    loop_filter_init(lf, bn, zeta, t);
    return VX_OK;
}

VX_API void loop_filter_reset(loop_filter *lf) { lf->integ = 0.0; }

VX_API void loop_filter_destroy(loop_filter *lf) { vx_free(lf); }

VX_API void loop_filter_steps(loop_filter *lf, const double *x, double *y, uint64_t n)
{
    const double kp = lf->kp, ki = lf->ki;
    double integ = lf->integ;
    for (uint64_t i = 0; i < n; ++i) {
        const double xi = x[i];
        integ = ki * xi + integ;
        y[i] = xi * kp + integ;
    }
    lf->integ = integ;
}

VX_API uint64_t loop_filter_state_bytes(const loop_filter *) { return LOOP_FILTER_STATE_BYTES; }

VX_API void loop_filter_get_state(const loop_filter *lf, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_LOOP_FILTER, VX_VERSION_LOOP_FILTER, LOOP_FILTER_STATE_BYTES)
        .put(lf->kp).put(lf->ki).put(lf->integ).put(lf->bn).put(lf->zeta).put(lf->t);
}

VX_API int loop_filter_set_state(loop_filter *lf, const void *blob)
{
    if (!lf || vx_state_check_header(blob, VX_MAGIC_LOOP_FILTER, VX_VERSION_LOOP_FILTER,
                                     LOOP_FILTER_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    // Every field is a plain value (no index or divisor): restored verbatim.
    vx::BlobReader(blob).get(lf->kp).get(lf->ki).get(lf->integ).get(lf->bn).get(lf->zeta)
        .get(lf->t);
    return VX_OK;
}

}  // extern "C"
