/* lockdet: verify-counted lock detector with level and time hysteresis. Declares lock
 * after n_up consecutive looks > up_thresh, drops it after n_down consecutive looks
 * < down_thresh. Embedded by value in the tracking loops, which step it inline with
 * lockdet_look. */
#ifndef VX_LOCKDET_H
#define VX_LOCKDET_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lockdet {
    double up_thresh;   /* a look counts toward lock when strictly greater */
    double down_thresh; /* a look counts toward loss when strictly less */
    uint32_t n_up;      /* looks to declare, >= 1 */
    uint32_t n_down;    /* looks to drop, >= 1 */
    uint32_t count;     /* current run toward the next transition */
    uint32_t locked;    /* decision, 0 or 1 */
} lockdet;

#define LOCKDET_STATE_BYTES 48u

/* Counts of 0 are stored as 1; count and locked start at 0. */
VX_API lockdet *lockdet_create(double up_thresh, double down_thresh, uint32_t n_up,
                               uint32_t n_down);
VX_API void lockdet_init(lockdet *ld, double up_thresh, double down_thresh, uint32_t n_up,
                         uint32_t n_down);
/* New thresholds and counts, run restarted; a live lock is kept. */
VX_API void lockdet_configure(lockdet *ld, double up_thresh, double down_thresh, uint32_t n_up,
                              uint32_t n_down);
VX_API void lockdet_reset(lockdet *ld);
VX_API void lockdet_destroy(lockdet *ld);

/* One decision per look; out[i] is the decision after look i. Returns n. */
VX_API uint64_t lockdet_steps(lockdet *ld, const double *x, int32_t *out, uint64_t n);

VX_API uint64_t lockdet_state_bytes(const lockdet *ld);
VX_API void lockdet_get_state(const lockdet *ld, void *out);
VX_API int lockdet_set_state(lockdet *ld, const void *blob);

/* The lock decision shared by every tracking loop. NaN looks count as minus infinity:
 * they break a declare run and count toward a drop. */
static inline int lockdet_look(lockdet *ld, double x)
{
    if (x != x)
        x = -__builtin_inf();
    if (!ld->locked) {
        if (x > ld->up_thresh) {
            if (++ld->count >= ld->n_up) {
                ld->locked = 1;
                ld->count = 0;
            }
        } else {
            ld->count = 0;
        }
    } else {
        if (x < ld->down_thresh) {
            if (++ld->count >= ld->n_down) {
                ld->locked = 0;
                ld->count = 0;
            }
        } else {
            ld->count = 0;
        }
    }
    return (int)ld->locked;
}

#ifdef __cplusplus
}
#endif

#endif
