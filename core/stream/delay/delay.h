/* delay: complex128 tapped delay line. Push one sample at a time; read the newest
 * `num_taps` samples, most recent first, as one contiguous block. Every sample is stored
 * twice, `capacity` elements apart (capacity = num_taps rounded up to a power of two), so
 * any window starting at the newest sample is contiguous and a snapshot is one copy. */
#ifndef VX_DELAY_H
#define VX_DELAY_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct delay {
    vx_cf64 *buf;      /* 2·capacity: entries i and i + capacity hold the same sample */
    uint64_t head;     /* index of the newest sample, 0..capacity-1 */
    uint64_t mask;     /* capacity - 1 */
    uint64_t num_taps; /* window length as given (0 gives empty snapshots) */
    uint64_t capacity; /* smallest power of two >= num_taps, 1 when num_taps <= 1 */
} delay;

/* Zero-filled line; NULL when the buffer's size is out of range or memory runs out. */
VX_API delay *delay_create(uint64_t num_taps);
VX_API void delay_destroy(delay *d);
/* Zero the buffer, head = 0. */
VX_API void delay_reset(delay *d);

/* head = (head - 1) & mask, then x written at head and head + capacity. */
VX_API void delay_push(delay *d, vx_cf64 x);
VX_API void delay_write(delay *d, vx_cf64 x);

/* Copy min(n, out_cap, num_taps) samples, newest first; returns the count. */
VX_API uint64_t delay_ptr(const delay *d, uint64_t n, vx_cf64 *out, uint64_t out_cap);
VX_API uint64_t delay_ptr_max_out(const delay *d, uint64_t n); /* min(n, num_taps) */
/* Push, then copy min(num_taps, out_cap) samples as delay_ptr. */
VX_API uint64_t delay_push_ptr(delay *d, vx_cf64 x, vx_cf64 *out, uint64_t out_cap);
VX_API uint64_t delay_push_ptr_max_out(const delay *d); /* num_taps */

/* Blob "DLAY": header, head (u64) at 16, then the dual buffer (2·capacity cf64) at 24;
 * 24 + 32·capacity bytes. set_state rejects a head above the mask. */
VX_API uint64_t delay_state_bytes(const delay *d);
VX_API void delay_get_state(const delay *d, void *out);
VX_API int delay_set_state(delay *d, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
