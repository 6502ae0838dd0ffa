/* vx_ring: mirrored ring memory for single-producer single-consumer rings of fixed-size
 * elements. The storage (one anonymous memory file) is mapped twice back to back, so the
 * element at index i + slots is the element at i: any run of up to `slots` elements that
 * starts in the first mapping is one contiguous span, with no split at the wrap.
 *
 * head and tail are free-running counters (elements ever written / consumed); the element
 * of counter c lives at base + (c & mask) * elem_size. Unread = head - tail, at most
 * `capacity`. The producer advances only head, the consumer only tail, each with release
 * order, and each reads the other's counter with acquire order. */
#ifndef VX_RING_H
#define VX_RING_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The 256-byte header: set-up fields, then the producer's, the consumer's and the drop
 * counter's 64-byte lines, so the two sides never share a cache line. */
typedef struct vx_ring {
    void *base;         /* first of the two mappings */
    uint64_t mask;      /* mapped element count - 1 (a power of two - 1) */
    uint64_t capacity;  /* requested element count: the most unread elements held */
    uint64_t elem_size; /* bytes per element */
    uint8_t pad0_[32];
    uint64_t head;      /* elements ever written (producer line, byte 64) */
    uint32_t closed;    /* 1 once the producer will write no more */
    uint8_t pad1_[52];
    uint64_t tail;      /* elements ever consumed (consumer line, byte 128) */
    uint8_t pad2_[56];
    uint64_t dropped;   /* elements discarded on a full ring (own line, byte 192) */
    uint8_t pad3_[56];
} vx_ring;

/* A ring holding up to n elements of elem_size bytes, empty. The mapped element count is
 * the smallest power of two >= n whose storage fills whole pages (at least one). NULL
 * when n or elem_size is 0, the storage would exceed VX_SIZE_LIMIT bytes or the physical
 * memory, or any system call fails; nothing stays mapped or open then. */
VX_API vx_ring *vx_ring_create(uint64_t n, uint64_t elem_size);
/* Unmaps both mappings and frees the header; NULL allowed. */
VX_API void vx_ring_destroy(vx_ring *r);
/* Grow *ring to hold n elements: for n above the current capacity a complete new empty ring
 * replaces it (unread elements and the drop count are discarded), else nothing changes.
 * VX_OK, or VX_ERR_INVALID with *ring untouched when ring is NULL or creation fails.
 * Setup path: neither side may be running. */
VX_API int vx_ring_resize(vx_ring **ring, uint64_t n);

/* Mapped element count (mask + 1). */
static inline uint64_t vx_ring_slots(const vx_ring *r) { return r->mask + 1; }

/* Address of the element of counter c. */
static inline void *vx_ring_at(const vx_ring *r, uint64_t c)
{
    return (char *)r->base + (c & r->mask) * r->elem_size;
}

/* ---- the SPSC protocol -------------------------------------------------------------- */

/* Producer: free space, from its own head and the consumer's tail (acquire). */
static inline uint64_t vx_ring_space(const vx_ring *r)
{
    return r->capacity - (r->head - __atomic_load_n(&r->tail, __ATOMIC_ACQUIRE));
}
/* Producer: make everything written below `head` visible, then advance head (release). */
static inline void vx_ring_publish(vx_ring *r, uint64_t head)
{
    __atomic_store_n(&r->head, head, __ATOMIC_RELEASE);
}
/* Producer: count n discarded elements. */
static inline void vx_ring_drop(vx_ring *r, uint64_t n)
{
    __atomic_fetch_add(&r->dropped, n, __ATOMIC_RELAXED);
}
/* Producer: no more writes; every element published before is visible with the flag. */
static inline void vx_ring_close(vx_ring *r) { __atomic_store_n(&r->closed, 1u, __ATOMIC_RELEASE); }

/* Consumer: unread elements, from the producer's head (acquire) and its own tail. */
static inline uint64_t vx_ring_avail(const vx_ring *r)
{
    return __atomic_load_n(&r->head, __ATOMIC_ACQUIRE) - r->tail;
}
/* Consumer: free the elements below `tail` for the producer (release). */
static inline void vx_ring_consume(vx_ring *r, uint64_t tail)
{
    __atomic_store_n(&r->tail, tail, __ATOMIC_RELEASE);
}
/* Consumer: whether the producer closed the ring (acquire). */
static inline int vx_ring_closed(const vx_ring *r)
{
    return __atomic_load_n(&r->closed, __ATOMIC_ACQUIRE) != 0;
}

/* Either side: the drop count. */
static inline uint64_t vx_ring_dropped(const vx_ring *r)
{
    return __atomic_load_n(&r->dropped, __ATOMIC_RELAXED);
}

#ifdef __cplusplus
}
#endif

#endif
