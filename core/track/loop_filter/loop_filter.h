/* loop_filter: second-order proportional-plus-integral loop filter.
 * Gains from noise bandwidth bn [cycles/sample, >= 0], damping zeta [> 0] and update
 * period t [samples, > 0]. Embedded by value in every tracking loop. */
#ifndef VX_LOOP_FILTER_H
#define VX_LOOP_FILTER_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct loop_filter {
    double kp;    /* proportional gain */
    double ki;    /* integral gain */
    double integ; /* integrator: the running frequency or rate estimate */
    double bn;    /* noise bandwidth [cycles/sample] */
    double zeta;  /* damping factor */
    double t;     /* update period [samples] */
} loop_filter;

#define LOOP_FILTER_STATE_BYTES 64u

/* Natural frequency for noise bandwidth bn: 8·zeta·bn / (1 + 4·zeta²). */
VX_API double loop_filter_wn(double bn, double zeta);

/* NULL unless bn >= 0, zeta > 0, t > 0, all three finite, and the gains come out finite. */
VX_API loop_filter *loop_filter_create(double bn, double zeta, double t);
/* Gains from (bn, zeta, t) on caller storage; the integrator is left as it is. */
VX_API void loop_filter_init(loop_filter *lf, double bn, double zeta, double t);
/* New gains, integrator kept. VX_ERR_INVALID (filter unchanged) on create's rejections. */
VX_API int loop_filter_configure(loop_filter *lf, double bn, double zeta, double t);
VX_API void loop_filter_reset(loop_filter *lf);
VX_API void loop_filter_destroy(loop_filter *lf);

/* For each i in order: integ += ki·x[i]; y[i] = integ + kp·x[i]. x and y may alias. */
VX_API void loop_filter_steps(loop_filter *lf, const double *x, double *y, uint64_t n);

VX_API uint64_t loop_filter_state_bytes(const loop_filter *lf);
VX_API void loop_filter_get_state(const loop_filter *lf, void *out);
VX_API int loop_filter_set_state(loop_filter *lf, const void *blob);

/* Whether lf is what loop_filter_init(lf, lf->bn, lf->zeta, t) leaves, with a finite
 * integrator: the check for a filter embedded in a restored object. Gains that are merely
 * finite are not enough (a gain of 1e308 runs the integrator to infinity); the derived
 * ones are bounded (kp < 2, ki < 4). */
static inline int loop_filter_valid(const loop_filter *lf, double t)
{
    loop_filter probe = *lf;
    return lf->t == t && vx_finite(lf->integ) && loop_filter_configure(&probe, lf->bn, lf->zeta, t) == VX_OK &&
           probe.kp == lf->kp && probe.ki == lf->ki;
}

/* One update, for loops that embed the filter. */
static inline double loop_filter_step(loop_filter *lf, double x)
{
    lf->integ = lf->ki * x + lf->integ;
    return x * lf->kp + lf->integ;
}

#ifdef __cplusplus
}
#endif

#endif
