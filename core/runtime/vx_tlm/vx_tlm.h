/* vx_tlm: telemetry context. A table of up to 64 named probes and a lock-free single-
 * producer single-consumer ring of 16-byte records on mirrored ring memory. Objects
 * register their probes once (<object>_set_telemetry) and emit one record per probe per
 * look, thinned per probe by a decimation; a consumer thread drains the ring in bulk.
 *
 * Threads: one producer thread (every object attached to a context is stepped from it)
 * and one consumer thread. Registration, set_decim, set_stamp and resize are setup-path
 * calls and must not run while either side is active.
 *
 * Lifetime: the context counts its attachments. Attaching an object takes a reference,
 * detaching it or destroying the object drops it; vx_tlm_destroy closes the context and
 * drops the creator's reference, so the memory goes with the last attachment. Emission
 * into a closed context is dropped and counted in `dropped`. */
#ifndef VX_TLM_H
#define VX_TLM_H

#include "vx_base.h"
#include "vx_ring.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VX_TLM_MAX_PROBES 64
#define VX_TLM_NAME_BYTES 32            /* names are at most 31 bytes plus NUL */
#define VX_TLM_MAX_DECIM 2147483647ull  /* decimations are 1..2^31-1 */

/* One record, 16 bytes little-endian: the unit of vx_tlm_read. */
typedef struct vx_tlm_record {
    int64_t stamp;  /* the context's stamp at emission */
    float value;
    uint16_t probe; /* probe id */
    uint16_t zero;
} vx_tlm_record;

typedef struct vx_tlm_probe_entry {
    char name[VX_TLM_NAME_BYTES];
    int32_t decim;    /* emit every decim-th request (>= 1) */
    int32_t phase;    /* requests since the last emitted record; decim - 1 when registered */
    uint64_t emitted; /* records of this probe put into the ring */
} vx_tlm_probe_entry;

/* The context (typedef vx_tlm in vx_base.h). */
struct vx_tlm {
    vx_ring *ring;        /* replaced by vx_tlm_resize */
    uint64_t stamp;       /* copied into every record; 0 after create */
    uint32_t probe_count; /* registered probes, 0..64; registration order = id */
    vx_tlm_probe_entry probes[VX_TLM_MAX_PROBES];
    uint64_t refs;        /* the creator's reference (until destroy) plus one per holder */
    uint32_t closed;      /* set by vx_tlm_destroy: emission is dropped from then on */
};

/* Totals of vx_tlm_stats. */
typedef struct vx_tlm_totals {
    uint64_t dropped;
    uint64_t emitted; /* sum over probes */
    uint64_t capacity;
    uint64_t probe_count;
} vx_tlm_totals;

/* A context whose ring holds `capacity` unread records, no probes. NULL for capacity 0 or
 * when the ring cannot be mapped. */
VX_API vx_tlm *vx_tlm_create(uint64_t capacity);
/* Close the context and drop the creator's reference: freed now when nothing else holds
 * it, else when the last holder releases it. NULL allowed; call once per context. */
VX_API void vx_tlm_destroy(vx_tlm *ctx);
/* Another holder of the context (an attached object, a capsule): one reference each,
 * dropped by vx_tlm_release. Both accept NULL; release frees a closed context whose last
 * reference it drops. */
VX_API void vx_tlm_retain(vx_tlm *ctx);
VX_API void vx_tlm_release(vx_tlm *ctx);
/* 1 once vx_tlm_destroy has run (or for NULL), else 0. */
VX_API int vx_tlm_closed(const vx_tlm *ctx);

/* Register `name` (at most 31 bytes) with decimation 1..2^31-1 and return its id; a name
 * already registered keeps its id. Either way its decim is set and its phase set so the
 * next request emits. VX_ERR_INVALID for NULL arguments, a name too long, decim out of
 * range, or a 65th probe. */
VX_API int vx_tlm_probe(vx_tlm *ctx, const char *name, uint64_t decim);
/* Id of an exact name, VX_ERR_INVALID when absent or NULL. */
VX_API int vx_tlm_probe_id(const vx_tlm *ctx, const char *name);
/* New decimation for a registered name (phase restarts); VX_ERR_INVALID when absent or
 * decim out of range. */
VX_API int vx_tlm_set_decim(vx_tlm *ctx, const char *name, uint64_t decim);
/* Name of probe i, NULL when out of range. */
VX_API const char *vx_tlm_probe_name(const vx_tlm *ctx, uint32_t i);
VX_API uint32_t vx_tlm_probe_count(const vx_tlm *ctx);
/* i when i < probe_count, else VX_ERR_INVALID. */
VX_API int vx_tlm_probe_id_at(const vx_tlm *ctx, uint32_t i);

/* The stamp copied into every record from now on (set from the producer thread). */
VX_API void vx_tlm_set_stamp(vx_tlm *ctx, int64_t stamp);
VX_API int64_t vx_tlm_stamp(const vx_tlm *ctx);

/* Producer: one emission request of probe `id` (VX_ERR_INVALID when ctx is NULL or id is
 * not registered). Every decim-th request writes a record; a full ring counts it in
 * `dropped` instead. Takes no lock and allocates nothing. */
VX_API int vx_tlm_emit_checked(vx_tlm *ctx, int32_t id, float value);
/* Producer: one emission request per value of one probe, in order. */
VX_API int vx_tlm_emit_block(vx_tlm *ctx, int32_t id, const float *values, uint64_t n);

/* The ring's logical capacity; 0 for NULL. */
VX_API uint64_t vx_tlm_capacity(const vx_tlm *ctx);
/* Most records n looks can emit: n·probe_count, saturated; 0 for NULL, n = 0 or no probes. */
VX_API uint64_t vx_tlm_block_bound(const vx_tlm *ctx, uint64_t n);
/* Consumer: unread records; 0 for NULL. */
VX_API uint64_t vx_tlm_avail(const vx_tlm *ctx);
VX_API uint64_t vx_tlm_read_max_out(const vx_tlm *ctx);
/* Consumer: copy min(out_cap, k) records in emission order, k = n when 0 < n < avail,
 * else avail; frees their slots. 0 for NULL ctx or out. */
VX_API uint64_t vx_tlm_read(vx_tlm *ctx, uint64_t n, vx_tlm_record *out, uint64_t out_cap);
/* Grow the ring to hold `capacity` records (setup path). Above the current capacity a new
 * empty ring replaces the old one (unread records and the drop count are discarded, probes
 * kept); otherwise nothing changes. VX_ERR_INVALID for NULL or a ring that cannot be
 * mapped, the old ring kept. */
VX_API int vx_tlm_resize(vx_tlm *ctx, uint64_t capacity);

/* Records lost to a full ring; 0 for NULL. */
VX_API uint64_t vx_tlm_dropped(const vx_tlm *ctx);
/* Records probe i has put into the ring; 0 when out of range. */
VX_API uint64_t vx_tlm_emitted(const vx_tlm *ctx, uint32_t i);
/* {dropped, emitted (all probes), capacity, probe_count}; all 0 for NULL. */
VX_API vx_tlm_totals vx_tlm_stats(const vx_tlm *ctx);

/* counts[0..n_counts) = records per probe id (ids >= n_counts ignored). */
VX_API void vx_tlm_demux_counts(const vx_tlm_record *recs, uint64_t n, uint64_t *counts,
                                uint64_t n_counts);
/* Split records into per-probe arrays values[id] / stamps[id] (either table or entry may
 * be NULL), at most caps[id] per probe; ids >= min(n_probes, 64) are ignored. */
VX_API void vx_tlm_demux(const vx_tlm_record *recs, uint64_t n, float *const *values,
                         int64_t *const *stamps, const uint64_t *caps, uint64_t n_probes);

/* ---- the object side ------------------------------------------------------------------
 * A telemetry-capable object keeps, last in its structure, a `vx_tlm *tlm` holding one
 * reference and one `int32_t` id per probe. Its set_telemetry is one call:
 *
 *     static const char *const PROBES[] = {"lock", "e", "freq"};
 *     return vx_tlm_attach(&o->tlm, o->tlm_ids, ctx, prefix, "car", PROBES, 3, decim);
 *
 * once per look inside its block operation it emits:
 *
 *     if (o->tlm) { const float v[3] = {...}; vx_tlm_flush(o->tlm, o->tlm_ids, v, 3); }
 *
 * and its destroy drops the reference:  vx_tlm_swap(&o->tlm, NULL); */

/* ctx NULL: detach (*slot = NULL, its reference dropped). Otherwise register
 * "<prefix>.<suffix>" for each suffix in order (prefix NULL takes default_prefix) and, on
 * success, store the ids and ctx, taking a reference to ctx and dropping the one to the
 * context held before. VX_ERR_INVALID when ctx is closed, a name would exceed 31 bytes,
 * decim is outside 1..2^31-1, or the table fills; the previous attachment is then kept. */
VX_API int vx_tlm_attach(vx_tlm **slot, int32_t *ids, vx_tlm *ctx, const char *prefix,
                         const char *default_prefix, const char *const *suffixes, uint32_t n,
                         uint64_t decim);
/* *slot = ctx, taking a reference to ctx and then dropping the one *slot held. */
VX_API void vx_tlm_swap(vx_tlm **slot, vx_tlm *ctx);
/* One emission request per probe, in order: values[i] for ids[i]; unregistered ids are
 * skipped. */
VX_API void vx_tlm_flush(vx_tlm *ctx, const int32_t *ids, const float *values, uint32_t n);

#ifdef __cplusplus
}
#endif

#endif
