/* wfm_compose: the planning layer of synthetic captures. A capture is a list of segments,
 * each repeated `instances` times; an instance is a leading gap, an active stretch where
 * the segment's sources are summed, and a trailing gap. Sample counts and source values
 * may be drawn per instance from a counter-based hash, so any instance can be re-derived
 * alone. This layer plans; the synthesis of samples lives with its callers. */
#ifndef VX_WFM_COMPOSE_H
#define VX_WFM_COMPOSE_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Source kinds and SNR modes. */
enum {
    WFM_SRC_TONE = 0, WFM_SRC_NOISE, WFM_SRC_PN, WFM_SRC_BPSK, WFM_SRC_QPSK,
    WFM_SRC_CHIRP, WFM_SRC_BITS, WFM_SRC_SYMBOLS, WFM_SRC_DSSS
};
#define WFM_NUM_SRC_KINDS 9
enum { WFM_SNR_AUTO = 0, WFM_SNR_FS, WFM_SNR_EBNO, WFM_SNR_ESNO };

/* Draw tags; in a record's flags they say which values are drawn. */
enum {
    WFM_DRAW_FREQ = 0x1, WFM_DRAW_SNR = 0x2, WFM_DRAW_LEVEL = 0x4, WFM_DRAW_F1 = 0x8,
    WFM_DRAW_NUM_SAMPLES = 0x10, WFM_DRAW_GAP_AFTER = 0x20, WFM_DRAW_GAP_BEFORE = 0x40,
    WFM_DRAW_PPM = 0x80, WFM_DRAW_PPM_RATE = 0x100
};
#define WFM_LIFETIME_PERSIST 1

/* Instances per segment, and instances in one plan, at most (a larger count is capped). */
#define WFM_MAX_INSTANCES ((uint64_t)1 << 24)

typedef struct wfm_source {
    int32_t kind;       /* WFM_SRC_* */
    double freq_hz;     /* frequency offset from the capture's centre (chirp: start) */
    double snr;         /* in the unit snr_mode names */
    int32_t snr_mode;   /* WFM_SNR_* */
    uint32_t seed;      /* seed of this source's draws (the first source's also seeds counts) */
    int32_t sps;        /* samples per symbol or chip */
    int32_t pn_length;
    int32_t pn_poly;
    double level_db;
    double f1_hz;       /* chirp end frequency */
    uint32_t flags;     /* WFM_DRAW_FREQ | SNR | LEVEL | F1 | PPM | PPM_RATE */
    double freq_hi, snr_hi, level_hi, f1_hi;
    double ppm;         /* frequency offset in parts per million */
    double ppm_rate;    /* ppm per second */
    double carrier_hz;  /* the carrier the ppm values refer to */
    double ppm_hi, ppm_rate_hi;
    int32_t lifetime;   /* WFM_LIFETIME_PERSIST, or per instance */
    double symbol_rate; /* DSSS: symbol rate */
    int32_t data_none;  /* DSSS: no data modulation */
} wfm_source;

typedef struct wfm_segment {
    const wfm_source *sources;
    uint64_t n_sources;
    double fs;             /* Hz */
    uint64_t num_samples;  /* active length (lower bound when drawn) */
    uint64_t gap_after;
    uint32_t flags;        /* WFM_DRAW_NUM_SAMPLES | GAP_AFTER | GAP_BEFORE */
    uint64_t num_samples_hi;
    uint64_t gap_after_hi;
    uint64_t instances;    /* 0 counts as 1 */
    uint64_t gap_before;
    uint64_t gap_before_hi;
} wfm_segment;

typedef struct wfm_span {
    uint64_t segment, instance, start, gap_before, num_samples, gap_after;
} wfm_span;

typedef struct wfm_draw {
    uint64_t segment, instance, source, start;
    uint64_t gap_before, num_samples, gap_after;
    double freq_hz, f1_hz, snr, level_db, ppm, ppm_rate;
} wfm_draw;

/* Hash draw: *hash receives the 64-bit hash (may be NULL); returns lo + u*(hi - lo) with u
 * uniform in [0, 1). The same arguments always give the same value, and any index change
 * gives another (indices beyond 16 bits of instance and source, or 24 of segment, are
 * mixed in as well). */
VX_API double wfm_draw_range(uint32_t seed, uint32_t pass, uint64_t instance, uint64_t segment,
                             uint64_t source, uint32_t tag, double lo, double hi, uint64_t *hash);
/* floor(lo + u*(hi - lo) + 0.5) as a count (lo when hi <= lo). */
VX_API uint64_t wfm_draw_samples(uint32_t seed, uint32_t pass, uint64_t instance, uint64_t segment,
                                 uint32_t tag, uint64_t lo, uint64_t hi);
/* out[0..2] = gap_before, num_samples, gap_after of instance k of segment s. */
VX_API void wfm_draw_segment(const wfm_segment *seg, uint32_t pass, uint64_t k, uint64_t s, uint64_t out[3]);
/* out[0..5] = freq_hz, f1_hz, snr, level_db, ppm, ppm_rate of source j. */
VX_API void wfm_draw_source(const wfm_source *src, uint32_t pass, uint64_t k, uint64_t s, uint64_t j,
                            double out[6]);

/* Walk the timeline: every instance (spans) or every source of every instance (draws).
 * Return the total count and fill at most cap records (out may be NULL to count only).
 * A timeline whose end would pass 2^64 samples stops before the instance that overflows. */
VX_API uint64_t wfm_compose_spans(const wfm_segment *segs, uint64_t n, wfm_span *out, uint64_t cap);
VX_API uint64_t wfm_compose_draws(const wfm_segment *segs, uint64_t n, wfm_draw *out, uint64_t cap);

/* Name of a source kind or SNR mode ("tone", "auto", ...), NULL outside the table. */
VX_API const char *wfm_source_kind_name(int kind);
VX_API const char *wfm_snr_mode_name(int mode);

#ifdef __cplusplus
}
#endif

#endif
