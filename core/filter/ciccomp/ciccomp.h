/* ciccomp: maximally flat FIR compensation of a CIC decimator's passband droop.
 *
 * ciccompmf writes `count` symmetric double taps C for an order-`order` CIC of ratio r
 * (droop H(ω) = [sin(ω/2) / (r·sin(ω/(2r)))]^order at the output rate) such that
 * C(ω)·H(ω) = 1 to the highest order in ω reachable with the free taps, with C(0) = 1
 * (the taps sum to 1). count odd <= 19 or even <= 18; longer compensators, order < 0,
 * r < 1 or a non-finite r give all-zero taps. */
#ifndef VX_CICCOMP_H
#define VX_CICCOMP_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CICCOMP_MAX_SOLVE 9u

VX_API void ciccompmf(double *out, int order, double r, int count);

/* Solves the n×n system a·x = b (a row-major) in place by Gaussian elimination with
 * partial pivoting; x replaces b, a is destroyed. 1 <= n <= 9. VX_ERR_INVALID for another
 * n, a NULL pointer or a singular matrix (b then unspecified). */
VX_API int ciccomp_solve(double *a, double *b, int n);

#ifdef __cplusplus
}
#endif

#endif
