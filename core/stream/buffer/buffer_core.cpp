#include "buffer.h"

#include <cstring>

#include "vx_blob.hpp"
#include "vx_interrupt.h"

namespace {

inline void cpu_pause()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Copy n elements in at head (one span: the mirror makes it contiguous) and publish them.
void put(vx_ring *r, const void *x, uint64_t n)
{
    if (n) {
        std::memcpy(vx_ring_at(r, r->head), x, n * r->elem_size);
        vx_ring_publish(r, r->head + n);
    }
}

}  // namespace

extern "C" {

VX_API vx_buffer *buffer_create(uint64_t capacity, uint64_t elem_size)
{
    vx_buffer *b = vx::alloc_object<vx_buffer>();
    if (!b)
        return nullptr;
    b->ring = vx_ring_create(capacity, elem_size);
    if (!b->ring) {
        vx_free(b);
        return nullptr;
    }
    b->refs = 1;
    return b;
}

VX_API void buffer_retain(vx_buffer *b) { ++b->refs; }

VX_API void buffer_release(vx_buffer *b)
{
    if (!b || --b->refs)
        return;
    vx_ring_destroy(b->ring);
    vx_free(b);
}

VX_API int buffer_write(vx_buffer *b, const void *x, uint64_t n)
{
    vx_ring *r = b->ring;
    if (n > r->capacity || n > vx_ring_space(r)) {
        vx_ring_drop(r, n);
        return 0;
    }
    put(r, x, n);
    return 1;
}

VX_API uint64_t buffer_write_some(vx_buffer *b, const void *x, uint64_t n)
{
    vx_ring *r = b->ring;
    const uint64_t space = vx_ring_space(r);
    const uint64_t k = n < space ? n : space;
    put(r, x, k);
    return k;
}

VX_API void buffer_close(vx_buffer *b) { vx_ring_close(b->ring); }

VX_API int buffer_wait(vx_buffer *b, uint64_t n, int spin)
{
    vx_ring *r = b->ring;
    if (n > r->capacity)
        return VX_ERR_INVALID;
    for (;;) {
        if (vx_ring_avail(r) >= n)
            break;
        if (vx_ring_closed(r)) {
            // Everything published before the flag is visible now: look once more.
            if (vx_ring_avail(r) >= n)
                break;
            return VX_ERR_EOF;
        }
        if (vx_interrupted())
            return VX_ERR_INTERRUPTED;
        if (!spin)
            return VX_ERR_TIMEOUT;
        cpu_pause();
    }
    b->loan = n;
    return VX_OK;
}

VX_API const void *buffer_view(const vx_buffer *b) { return vx_ring_at(b->ring, b->ring->tail); }

VX_API int buffer_consume(vx_buffer *b, uint64_t n)
{
    b->loan = 0;
    vx_ring *r = b->ring;
    if (n > vx_ring_avail(r))
        return VX_ERR_INVALID;
    vx_ring_consume(r, r->tail + n);
    return VX_OK;
}

VX_API void buffer_reset(vx_buffer *b)
{
    vx_ring *r = b->ring;
    r->head = 0;
    r->tail = 0;
    r->closed = 0;
    b->loan = 0;
}

// Either side may ask: both counters are loaded atomically, and since they move between
// the two loads the difference is clamped to 0..capacity.
namespace {
uint64_t unread(const vx_ring *r)
{
    const uint64_t tail = __atomic_load_n(&r->tail, __ATOMIC_ACQUIRE);
    const uint64_t head = __atomic_load_n(&r->head, __ATOMIC_ACQUIRE);
    const uint64_t d = head - tail;  // tail first: it never passes the later head
    return d < r->capacity ? d : r->capacity;
}
}  // namespace

VX_API uint64_t buffer_available(const vx_buffer *b) { return unread(b->ring); }

VX_API uint64_t buffer_space(const vx_buffer *b) { return b->ring->capacity - unread(b->ring); }

}  // extern "C"
