/* buffer: a single-producer single-consumer stream buffer over the mirrored ring. The
 * producer writes whole blocks (all or nothing) or as much as fits; the consumer waits or
 * polls for n elements, reads them in place (one contiguous span at buffer_view, thanks to
 * the mirror) and releases them. A close flag tells a finished producer from a slow one;
 * the process-wide interrupt flag stops a waiting consumer.
 *
 * Threads: buffer_write, buffer_write_some and buffer_close on the producer's thread;
 * buffer_wait, buffer_view, buffer_consume on the consumer's; everything else with both
 * sides idle. The reference count (retain/release) belongs to one owner thread at a time:
 * views of the ring hold a reference so the mapping outlives the handle that made it. */
#ifndef VX_BUFFER_H
#define VX_BUFFER_H

#include "vx_base.h"
#include "vx_ring.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vx_buffer {
    vx_ring *ring;
    uint64_t loan;  /* consumer: length of the span lent by the last wait, not yet released */
    uint64_t refs;  /* owners: the handle and every view still alive */
} vx_buffer;

/* A buffer of `capacity` elements of elem_size bytes, one reference; NULL when the ring
 * cannot be made (capacity 0, beyond 2^63 or too large to map) or memory runs out. */
VX_API vx_buffer *buffer_create(uint64_t capacity, uint64_t elem_size);
VX_API void buffer_retain(vx_buffer *b);
/* Drop one reference; the last one unmaps the ring. NULL allowed. */
VX_API void buffer_release(vx_buffer *b);

/* Producer. All or nothing: 1 when the n elements were copied in, 0 when they did not fit
 * (n > capacity or > space; nothing copied, dropped += n). */
VX_API int buffer_write(vx_buffer *b, const void *x, uint64_t n);
/* As many leading elements as fit; returns the count (0 when full). */
VX_API uint64_t buffer_write_some(vx_buffer *b, const void *x, uint64_t n);
/* No more writes; everything written before is visible to a consumer that sees it. */
VX_API void buffer_close(vx_buffer *b);

/* Consumer. Wait until n elements are available: VX_OK (loan = n), VX_ERR_INVALID when n
 * exceeds the capacity, VX_ERR_EOF when the ring is closed with fewer than n left,
 * VX_ERR_INTERRUPTED when a stop was requested. spin = 0 polls once instead and gives
 * VX_ERR_TIMEOUT for "not yet". Spinning re-reads the counters and flags every round with
 * a CPU pause between rounds. */
VX_API int buffer_wait(vx_buffer *b, uint64_t n, int spin);
/* The first unread element. */
VX_API const void *buffer_view(const vx_buffer *b);
/* Release n elements (loan cleared first): VX_OK, or VX_ERR_INVALID with nothing released
 * when n exceeds what is available. */
VX_API int buffer_consume(vx_buffer *b, uint64_t n);

/* Both sides idle: empty, open, no loan; the drop count is kept. */
VX_API void buffer_reset(vx_buffer *b);

VX_API uint64_t buffer_available(const vx_buffer *b);
VX_API uint64_t buffer_space(const vx_buffer *b);

#ifdef __cplusplus
}
#endif

#endif
