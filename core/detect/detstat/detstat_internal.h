/* detstat internals shared with the module that publishes them for testing: the special
 * functions behind marcum_q and det_threshold_f. Not exported from shared libraries. */
#ifndef VX_DETSTAT_INTERNAL_H
#define VX_DETSTAT_INTERNAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Regularised upper incomplete gamma Q(a, x), a > 0; x <= 0 gives 1. */
double gammaq(double a, double x);
/* Continued fraction of the regularised incomplete beta function I_x(a, b). */
double betacf(double a, double b, double x);
/* I_u(n/2, n/2), the regularised incomplete beta function behind det_threshold_f. */
double betai_half(int n, double u);

#ifdef __cplusplus
}
#endif

#endif
