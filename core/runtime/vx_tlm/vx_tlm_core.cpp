// Telemetry context: probe table and the record ring.
#include "vx_tlm.h"

#include <cstdio>
#include <cstring>

#include "vx_blob.hpp"

static_assert(sizeof(vx_tlm_record) == 16);

namespace {

bool decim_ok(uint64_t decim) { return decim >= 1 && decim <= VX_TLM_MAX_DECIM; }

// Producer-owned counters read by the consumer (emitted, stamp) use relaxed atomics: plain
// moves on x86-64, but a defined value for the other thread.
template <class T> T load(const T &v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
template <class T> void store(T &v, T x) { __atomic_store_n(&v, x, __ATOMIC_RELAXED); }

// The emission step: every decim-th request writes one record, or counts a drop when
// capacity records are unread. The record is published by the release store of head.
inline void emit(vx_tlm *ctx, int32_t id, float value)
{
    vx_tlm_probe_entry &p = ctx->probes[id];
    if (++p.phase < p.decim)
        return;
    p.phase = 0;
    vx_ring *r = ctx->ring;
    if (vx_ring_space(r) == 0 || __atomic_load_n(&ctx->closed, __ATOMIC_RELAXED)) {
        vx_ring_drop(r, 1);
        return;
    }
    const uint64_t head = r->head;
    *static_cast<vx_tlm_record *>(vx_ring_at(r, head)) = {
        static_cast<int64_t>(load(ctx->stamp)), value, static_cast<uint16_t>(id), 0};
    vx_ring_publish(r, head + 1);
    store(p.emitted, p.emitted + 1);
}

bool registered(const vx_tlm *ctx, int32_t id)
{
    return ctx && id >= 0 && static_cast<uint32_t>(id) < ctx->probe_count;
}

vx_tlm_probe_entry *find(vx_tlm *ctx, const char *name)
{
    for (uint32_t i = 0; i < ctx->probe_count; ++i)
        if (std::strncmp(ctx->probes[i].name, name, VX_TLM_NAME_BYTES) == 0)
            return &ctx->probes[i];
    return nullptr;
}

void set_decim(vx_tlm_probe_entry &p, uint64_t decim)
{
    p.decim = static_cast<int32_t>(decim);
    p.phase = p.decim - 1;
}

}  // namespace

extern "C" {

VX_API vx_tlm *vx_tlm_create(uint64_t capacity)
{
    vx_ring *ring = vx_ring_create(capacity, sizeof(vx_tlm_record));
    if (!ring)
        return nullptr;
    vx_tlm *ctx = vx::alloc_object<vx_tlm>();
    if (!ctx) {
        vx_ring_destroy(ring);
        return nullptr;
    }
    ctx->ring = ring;
    ctx->refs = 1;
    return ctx;
}

VX_API void vx_tlm_destroy(vx_tlm *ctx)
{
    if (!ctx)
        return;
    __atomic_store_n(&ctx->closed, 1u, __ATOMIC_RELAXED);
    vx_tlm_release(ctx);
}

VX_API void vx_tlm_retain(vx_tlm *ctx)
{
    if (ctx)
        __atomic_fetch_add(&ctx->refs, 1, __ATOMIC_RELAXED);
}

VX_API void vx_tlm_release(vx_tlm *ctx)
{
    // acq_rel: every holder's last use happens before the memory goes.
    if (!ctx || __atomic_sub_fetch(&ctx->refs, 1, __ATOMIC_ACQ_REL) != 0)
        return;
    vx_ring_destroy(ctx->ring);
    vx_free(ctx);
}

VX_API int vx_tlm_closed(const vx_tlm *ctx)
{
    return !ctx || __atomic_load_n(&ctx->closed, __ATOMIC_RELAXED) != 0;
}

VX_API int vx_tlm_probe(vx_tlm *ctx, const char *name, uint64_t decim)
{
    // A longer name is refused, not cut: cutting could give two probes one id.
    if (!ctx || !name || !decim_ok(decim) || std::strlen(name) >= VX_TLM_NAME_BYTES)
        return VX_ERR_INVALID;
    vx_tlm_probe_entry *p = find(ctx, name);
    if (!p) {
        if (ctx->probe_count == VX_TLM_MAX_PROBES)
            return VX_ERR_INVALID;
        p = &ctx->probes[ctx->probe_count++];
        *p = {};
        std::strcpy(p->name, name);
    }
    set_decim(*p, decim);
    return static_cast<int>(p - ctx->probes);
}

VX_API int vx_tlm_probe_id(const vx_tlm *ctx, const char *name)
{
    if (!ctx || !name)
        return VX_ERR_INVALID;
    const vx_tlm_probe_entry *p = find(const_cast<vx_tlm *>(ctx), name);
    return p ? static_cast<int>(p - ctx->probes) : VX_ERR_INVALID;
}

VX_API int vx_tlm_set_decim(vx_tlm *ctx, const char *name, uint64_t decim)
{
    vx_tlm_probe_entry *p = ctx && name && decim_ok(decim) ? find(ctx, name) : nullptr;
    if (!p)
        return VX_ERR_INVALID;
    set_decim(*p, decim);
    return VX_OK;
}

VX_API const char *vx_tlm_probe_name(const vx_tlm *ctx, uint32_t i)
{
    return ctx && i < ctx->probe_count ? ctx->probes[i].name : nullptr;
}

VX_API uint32_t vx_tlm_probe_count(const vx_tlm *ctx) { return ctx ? ctx->probe_count : 0; }

VX_API int vx_tlm_probe_id_at(const vx_tlm *ctx, uint32_t i)
{
    return ctx && i < ctx->probe_count ? static_cast<int>(i) : VX_ERR_INVALID;
}

VX_API void vx_tlm_set_stamp(vx_tlm *ctx, int64_t stamp)
{
    if (ctx)
        store(ctx->stamp, static_cast<uint64_t>(stamp));
}

VX_API int64_t vx_tlm_stamp(const vx_tlm *ctx)
{
    return ctx ? static_cast<int64_t>(load(ctx->stamp)) : 0;
}

VX_API int vx_tlm_emit_checked(vx_tlm *ctx, int32_t id, float value)
{
    if (!registered(ctx, id))
        return VX_ERR_INVALID;
    emit(ctx, id, value);
    return VX_OK;
}

VX_API int vx_tlm_emit_block(vx_tlm *ctx, int32_t id, const float *values, uint64_t n)
{
    if (!registered(ctx, id) || (n && !values))
        return VX_ERR_INVALID;
    for (uint64_t i = 0; i < n; ++i)
        emit(ctx, id, values[i]);
    return VX_OK;
}

VX_API uint64_t vx_tlm_capacity(const vx_tlm *ctx) { return ctx ? ctx->ring->capacity : 0; }

VX_API uint64_t vx_tlm_block_bound(const vx_tlm *ctx, uint64_t n)
{
    if (!ctx)
        return 0;
    uint64_t r;
    return __builtin_mul_overflow(n, uint64_t(ctx->probe_count), &r) ? UINT64_MAX : r;
}

VX_API uint64_t vx_tlm_avail(const vx_tlm *ctx) { return ctx ? vx_ring_avail(ctx->ring) : 0; }

VX_API uint64_t vx_tlm_read_max_out(const vx_tlm *ctx) { return vx_tlm_avail(ctx); }

VX_API uint64_t vx_tlm_read(vx_tlm *ctx, uint64_t n, vx_tlm_record *out, uint64_t out_cap)
{
    if (!ctx || !out)
        return 0;
    vx_ring *r = ctx->ring;
    const uint64_t avail = vx_ring_avail(r);
    uint64_t k = n == 0 || n >= avail ? avail : n;
    if (k > out_cap)
        k = out_cap;
    if (k == 0)
        return 0;
    // The mirror makes any run of up to capacity records one copy.
    std::memcpy(out, vx_ring_at(r, r->tail), k * sizeof(vx_tlm_record));
    vx_ring_consume(r, r->tail + k);
    return k;
}

VX_API int vx_tlm_resize(vx_tlm *ctx, uint64_t capacity)
{
    return ctx ? vx_ring_resize(&ctx->ring, capacity) : VX_ERR_INVALID;
}

VX_API uint64_t vx_tlm_dropped(const vx_tlm *ctx) { return ctx ? vx_ring_dropped(ctx->ring) : 0; }

VX_API uint64_t vx_tlm_emitted(const vx_tlm *ctx, uint32_t i)
{
    return ctx && i < ctx->probe_count ? load(ctx->probes[i].emitted) : 0;
}

VX_API vx_tlm_totals vx_tlm_stats(const vx_tlm *ctx)
{
    vx_tlm_totals t = {};
    if (!ctx)
        return t;
    t.dropped = vx_tlm_dropped(ctx);
    for (uint32_t i = 0; i < ctx->probe_count; ++i)
        t.emitted += vx_tlm_emitted(ctx, i);
    t.capacity = ctx->ring->capacity;
    t.probe_count = ctx->probe_count;
    return t;
}

VX_API void vx_tlm_demux_counts(const vx_tlm_record *recs, uint64_t n, uint64_t *counts,
                                uint64_t n_counts)
{
    if (!counts || n_counts == 0)
        return;
    std::memset(counts, 0, n_counts * sizeof *counts);
    for (uint64_t i = 0; i < n; ++i)
        if (recs[i].probe < n_counts)
            ++counts[recs[i].probe];
}

VX_API void vx_tlm_demux(const vx_tlm_record *recs, uint64_t n, float *const *values,
                         int64_t *const *stamps, const uint64_t *caps, uint64_t n_probes)
{
    if (!caps || n_probes == 0 || (!values && !stamps))
        return;
    const uint64_t ids = n_probes < VX_TLM_MAX_PROBES ? n_probes : VX_TLM_MAX_PROBES;
    uint64_t at[VX_TLM_MAX_PROBES] = {};
    for (uint64_t i = 0; i < n; ++i) {
        const uint16_t id = recs[i].probe;
        if (id >= ids || at[id] >= caps[id])
            continue;
        if (values && values[id])
            values[id][at[id]] = recs[i].value;
        if (stamps && stamps[id])
            stamps[id][at[id]] = recs[i].stamp;
        ++at[id];
    }
}

VX_API int vx_tlm_attach(vx_tlm **slot, int32_t *ids, vx_tlm *ctx, const char *prefix,
                         const char *default_prefix, const char *const *suffixes, uint32_t n,
                         uint64_t decim)
{
    if (!slot)
        return VX_ERR_INVALID;
    if (!ctx) {
        vx_tlm_swap(slot, nullptr);
        return VX_OK;
    }
    if (vx_tlm_closed(ctx))
        return VX_ERR_INVALID;
    if (!prefix)
        prefix = default_prefix;
    if (!prefix || (n && (!ids || !suffixes)) || n > VX_TLM_MAX_PROBES || !decim_ok(decim))
        return VX_ERR_INVALID;
    // Every name is checked before any is registered.
    char names[VX_TLM_MAX_PROBES][VX_TLM_NAME_BYTES];
    for (uint32_t i = 0; i < n; ++i) {
        const int len = std::snprintf(names[i], VX_TLM_NAME_BYTES, "%s.%s", prefix, suffixes[i]);
        if (len < 0 || len >= VX_TLM_NAME_BYTES)
            return VX_ERR_INVALID;
    }
    int32_t got[VX_TLM_MAX_PROBES];
    for (uint32_t i = 0; i < n; ++i)
        if ((got[i] = vx_tlm_probe(ctx, names[i], decim)) < 0)
            return VX_ERR_INVALID;
    if (n)
        std::memcpy(ids, got, n * sizeof *ids);
    vx_tlm_swap(slot, ctx);
    return VX_OK;
}

VX_API void vx_tlm_swap(vx_tlm **slot, vx_tlm *ctx)
{
    vx_tlm *old = *slot;
    vx_tlm_retain(ctx);  // first: re-attaching the same context must not free it
    *slot = ctx;
    vx_tlm_release(old);
}

VX_API void vx_tlm_flush(vx_tlm *ctx, const int32_t *ids, const float *values, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        if (registered(ctx, ids[i]))
            emit(ctx, ids[i], values[i]);
}

}  // extern "C"
