/* vx_interrupt: the process-wide stop request that blocking waits poll, and the guard
 * that sets it from chosen signals.
 *
 * Each module carries its own copy of this unit; the copy in "veltra.interrupt.interrupt"
 * owns the shared state and every module that waits adopts it at import, so one request
 * reaches every wait in the process. A wait sleeps at most latency_ms between looks at
 * the flag and returns VX_ERR_INTERRUPTED when it is set; the flag stays set until
 * vx_resume (or a new guard) clears it.
 *
 * Signal installation, latency changes and adoption are setup-path calls (one thread). */
#ifndef VX_INTERRUPT_H
#define VX_INTERRUPT_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VX_INTERRUPT_MAX_SIGNALS 8
#define VX_INTERRUPT_DEFAULT_LATENCY_MS 100u

/* The shared state: two 32-bit words, written and read lock-free (safe from a handler). */
typedef struct vx_interrupt_state {
    uint32_t interrupted; /* 1 once a stop was requested */
    uint32_t latency_ms;  /* longest sleep between two looks at `interrupted` */
} vx_interrupt_state;

VX_API void vx_interrupt(void);    /* interrupted = 1 */
VX_API void vx_resume(void);       /* interrupted = 0 */
VX_API int vx_interrupted(void);   /* 1 when a stop was requested */
/* latency_ms = ms, or the default 100 for 0. */
VX_API void vx_set_interrupt_latency_ms(uint32_t ms);
VX_API uint32_t vx_interrupt_latency_ms(void);

/* Install the forwarding handler for sig: it sets the flag, then runs the action that was
 * installed before (a SIG_DFL or SIG_IGN disposition is not re-raised). 0 at once when
 * sig is already held; VX_ERR_INVALID when all 8 slots are used, sig is a fault signal
 * (SIGSEGV, SIGBUS, SIGFPE, SIGILL: the fault would repeat forever), SIGKILL or SIGSTOP,
 * or sigaction refuses sig. */
VX_API int vx_interrupt_on_signal(int sig);
/* Reinstall the action saved for sig and free its slot; VX_ERR_INVALID when sig is not
 * held or sigaction fails. */
VX_API int vx_restore_signal(int sig);

/* The shared state in use by this copy, and adoption of another copy's state (NULL is
 * ignored). */
VX_API vx_interrupt_state *vx_interrupt_guard_state_ptr(void);
VX_API void vx_interrupt_guard_state_adopt(vx_interrupt_state *p);

/* A guard owns the signal installations it made and the latency it set. */
typedef struct vx_interrupt_guard vx_interrupt_guard;

/* Guard n (<= 8) signals, and set latency_ms unless it is 0. NULL when n > 8, signals is
 * NULL with n > 0, a signal cannot be installed (see vx_interrupt_on_signal) or allocation
 * fails; everything done is undone then. On success the flag is cleared. Guards nest: a signal already held by another guard stays installed until its
 * last guard is destroyed. */
VX_API vx_interrupt_guard *vx_interrupt_guard_create(const int *signals, uint64_t n,
                                                     uint32_t latency_ms);
/* Restore the guard's signals in reverse order (those no other guard still holds) and the
 * latency in force before it (handed to a newer latency-setting guard still alive, which
 * restores it when it goes); NULL allowed. */
VX_API void vx_interrupt_guard_destroy(vx_interrupt_guard *g);

/* The process-wide functions, through a guard. */
VX_API void vx_interrupt_guard_interrupt(vx_interrupt_guard *g);
VX_API void vx_interrupt_guard_resume(vx_interrupt_guard *g);
VX_API int vx_interrupt_guard_interrupted(const vx_interrupt_guard *g);
VX_API uint32_t vx_interrupt_guard_latency_ms(const vx_interrupt_guard *g);
/* The guard's signals, in installation order; returns their count. */
VX_API uint32_t vx_interrupt_guard_signals(const vx_interrupt_guard *g, int *out, uint32_t cap);
/* The latency the guard was created with (0: it set none); 0 for NULL. */
VX_API uint32_t vx_interrupt_guard_latency_set(const vx_interrupt_guard *g);

#ifdef __cplusplus
}
#endif

#endif
