#include "delay.h"

#include <cstring>

#include "vx_blob.hpp"

namespace {

// Larger lines are refused before any size is computed from them.
constexpr uint64_t MAX_TAPS = uint64_t{1} << 36;

uint64_t buffer_len(const delay *d) { return 2 * d->capacity; }

}  // namespace

extern "C" {

VX_API delay *delay_create(uint64_t num_taps)
{
    if (num_taps > MAX_TAPS)
        return nullptr;
    uint64_t capacity = 1;
    while (capacity < num_taps)
        capacity <<= 1;
    delay *d = vx::alloc_object<delay>();
    if (!d)
        return nullptr;
    d->num_taps = num_taps;
    d->capacity = capacity;
    d->mask = capacity - 1;
    d->buf = static_cast<vx_cf64 *>(vx_calloc(2 * capacity, sizeof(vx_cf64)));
    if (!d->buf) {
        vx_free(d);
        return nullptr;
    }
    return d;
}

VX_API void delay_destroy(delay *d)
{
    if (!d)
        return;
    vx_free(d->buf);
    vx_free(d);
}

VX_API void delay_reset(delay *d)
{
    std::memset(d->buf, 0, buffer_len(d) * sizeof(vx_cf64));
    d->head = 0;
}

VX_API void delay_push(delay *d, vx_cf64 x)
{
    d->head = (d->head - 1) & d->mask;
    d->buf[d->head] = x;
    d->buf[d->head + d->capacity] = x;
}

VX_API void delay_write(delay *d, vx_cf64 x) { delay_push(d, x); }

VX_API uint64_t delay_ptr_max_out(const delay *d, uint64_t n) { return n < d->num_taps ? n : d->num_taps; }

VX_API uint64_t delay_ptr(const delay *d, uint64_t n, vx_cf64 *out, uint64_t out_cap)
{
    uint64_t count = delay_ptr_max_out(d, n);
    count = count < out_cap ? count : out_cap;
    if (count)
        std::memcpy(out, d->buf + d->head, count * sizeof(vx_cf64));
    return count;
}

VX_API uint64_t delay_push_ptr_max_out(const delay *d) { return d->num_taps; }

VX_API uint64_t delay_push_ptr(delay *d, vx_cf64 x, vx_cf64 *out, uint64_t out_cap)
{
    delay_push(d, x);
    return delay_ptr(d, d->num_taps, out, out_cap);
}

VX_API uint64_t delay_state_bytes(const delay *d)
{
    return VX_STATE_HEADER_BYTES + 8 + buffer_len(d) * sizeof(vx_cf64);
}

VX_API void delay_get_state(const delay *d, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_DELAY, VX_VERSION_DELAY, delay_state_bytes(d))
        .put(d->head)
        .put_bytes(d->buf, buffer_len(d) * sizeof(vx_cf64));
}

VX_API int delay_set_state(delay *d, const void *blob)
{
    if (!d || vx_state_check_header(blob, VX_MAGIC_DELAY, VX_VERSION_DELAY, delay_state_bytes(d)) != VX_OK)
        return VX_ERR_INVALID;
    vx::BlobReader r(blob);
    const uint64_t head = r.get<uint64_t>();
    if (head > d->mask)
        return VX_ERR_INVALID;
    d->head = head;
    r.get_bytes(d->buf, buffer_len(d) * sizeof(vx_cf64));
    return VX_OK;
}

}  // extern "C"
