/* vx_tickr: a sample clock. Maps sample indices to time at a nominal rate: paces a
 * producer in real time (sleeping until each block's deadline, counting underruns) and
 * stamps samples with ideal wall-clock times, re-anchored from observed (time, index)
 * pairs. Times are nanoseconds; every sum saturates at 2^64 - 1 instead of wrapping.
 * Pacing sleeps poll the process-wide interrupt flag (vx_interrupt) every latency_ms. */
#ifndef VX_TICKR_H
#define VX_TICKR_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vx_tickr {
    double fs;                /* nominal sample rate [Hz]; <= 0: every offset is 0 */
    uint64_t epoch_mono_ns;   /* CLOCK_MONOTONIC time of sample 0, for pacing */
    uint64_t epoch_real_ns;   /* CLOCK_REALTIME time of sample 0, for stamps */
    uint64_t n;               /* samples counted so far: the next sample's index */
    uint64_t underruns;       /* blocks that arrived at or after their deadline */
    uint64_t max_lateness_ns; /* largest lateness seen */
    int32_t resync;           /* nonzero: re-anchor the pacing epoch after an underrun */
    int32_t has_anchor;       /* nonzero once track adopted an observation */
} vx_tickr;

/* CLOCK_MONOTONIC and CLOCK_REALTIME in nanoseconds. */
VX_API uint64_t vx_mono_ns(void);
VX_API uint64_t vx_real_ns(void);

/* Allocate and init; NULL when fs is NaN or infinite, or memory runs out. */
VX_API vx_tickr *vx_tickr_create(int32_t resync, double fs);
/* Counters and anchor cleared, both epochs taken now. */
VX_API void vx_tickr_init(vx_tickr *c, int32_t resync, double fs);
VX_API void vx_tickr_destroy(vx_tickr *c);
/* init again with the same fs and resync. */
VX_API void vx_tickr_reset(vx_tickr *c);

/* n += count; sleep until epoch_mono_ns + off(n), or count an underrun when that time has
 * passed (and re-anchor with resync). Returns the slack in seconds at the first clock
 * reading: > 0 early, <= 0 late. An interrupt request ends the sleep early. */
VX_API double vx_tickr_pace(vx_tickr *c, uint64_t count);

/* epoch_real_ns + off(k), off(k) = trunc(k / fs · 1e9 + 0.5) (0 when fs <= 0). */
VX_API uint64_t vx_tickr_stamp_at(const vx_tickr *c, uint64_t k);
VX_API uint64_t vx_tickr_stamp(const vx_tickr *c); /* stamp_at(n) */

/* Reconcile the stamp epoch with an observed (time, index) pair. Returns 1 when the epoch
 * was (re)anchored, 0 when the observation was consistent within tolerance_ns, or stale
 * (k_obs < n: nothing changes). Otherwise n = k_obs. */
VX_API int vx_tickr_track(vx_tickr *c, uint64_t observed_ns, uint64_t k_obs, uint64_t tolerance_ns);

/* Move the pacing epoch forward so that sample n is due now, if it was due earlier. */
VX_API void vx_tickr_resync(vx_tickr *c);
VX_API void vx_tickr_stats(const vx_tickr *c, vx_tickr *out);

#ifdef __cplusplus
}
#endif

#endif
