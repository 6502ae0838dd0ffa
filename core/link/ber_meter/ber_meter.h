/* ber_meter: symbol and Gray-coded bit error rates of recovered M-PSK symbols against a
 * known transmitted sequence, with exact confidence intervals.
 *
 * The alignment between received symbols and truth is detected, never searched for by
 * minimising errors: a marker taken from the truth is correlated against the received
 * stream over a span of lags, the peak is gated by a false-alarm probability, and the
 * winning lag and absolute carrier phase are used verbatim when scoring. Measurements
 * stop on an error count (inverse binomial sampling); intervals are the exact Gamma ones.
 *
 * Symbol index s sits at angle 2*pi*s/m + theta0, theta0 = pi/4 for m = 4, else 0.
 * Compiles as C99 and C++. */
#ifndef VX_BER_METER_H
#define VX_BER_METER_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BER_TARGET_ERRORS 200 /* default stop count */
#define BER_CONF 0.99         /* default two-sided confidence level */
#define BER_LAG_SPAN 200      /* default lag span of the alignment search */
#define BER_LAG_SPAN_MAX 1023 /* largest lag span (2047 lags) */
#define BER_SYNC_SYMS 256     /* default marker length */
#define BER_METER_STATE_BYTES 160u

typedef struct ber_meter ber_meter;

/* Result of an alignment detection. rx[i] carries truth[i + lag]; phase is the absolute
 * constellation rotation [rad]; stat and threshold are envelope statistics normalised
 * to the noise (margin_db = 20 log10(stat/threshold)); runner_db is the peak over the best
 * runner-up lag [dB]; occurrences counts the marker occurrences combined at the peak and
 * slips those whose phase strays more than pi/m from the peak's. A failed detection is
 * lag 0, phase 0, stat 0, threshold +inf, margin -inf, runner 0, and zero counts. */
typedef struct ber_align {
    int64_t lag;
    double phase;
    double stat;
    double threshold;
    double margin_db;
    double runner_db;
    uint64_t occurrences;
    uint64_t slips;
    int32_t saturated;
    int32_t ok;
} ber_align;

/* Point estimate, two-sided interval [lo, hi] at level conf, relative standard error
 * 1/sqrt(errors), and the counts it came from. */
typedef struct ber_interval {
    double p_hat;
    double lo;
    double hi;
    double rel;
    double conf;
    uint64_t errors;
    uint64_t symbols;
} ber_interval;

/* m in {2, 4, 8}; target_errors 0 means BER_TARGET_ERRORS; conf 0 means BER_CONF, else it
 * must lie in (0, 1). NULL otherwise or when memory runs out. */
VX_API ber_meter *ber_meter_create(uint32_t m, uint64_t target_errors, double conf);
VX_API void ber_meter_destroy(ber_meter *bm);
/* Zero the six counters; truth, configuration and alignment stay. */
VX_API void ber_meter_reset(ber_meter *bm);

/* Copy len >= 1 symbol indices, each < m, replacing the previous truth. VX_ERR_INVALID
 * (previous truth kept) on NULL, len 0, an index >= m or no memory. */
VX_API int ber_meter_set_truth(ber_meter *bm, const uint8_t *truth, uint64_t len);
/* The truth: writes min(truth_len, cap) indices and returns that count (0 without one). */
VX_API uint64_t ber_meter_get_truth(const ber_meter *bm, uint8_t *out, uint64_t cap);
VX_API uint64_t ber_meter_get_truth_len(const ber_meter *bm);

/* Detect where the marker truth[t0 + k*period ... + n_marker) sits in rx over lags
 * -lag_span..lag_span (lag_span <= 0 means BER_LAG_SPAN; capped at BER_LAG_SPAN_MAX).
 * n_marker 0 means BER_SYNC_SYMS; pfa outside (0, 1) means 1e-6 for the whole search;
 * period 0 means a single occurrence. Fails (see ber_align) when n_marker < 8, rx is
 * empty, the marker does not fit in the truth, or fewer than 8 lags measure the noise.
 * Never allocates. */
VX_API ber_align ber_align_detect(const vx_cf32 *rx, uint64_t rx_len, const uint8_t *truth,
                                  uint64_t truth_len, uint32_t m, double pfa, uint64_t t0,
                                  uint64_t n_marker, uint64_t period, int64_t lag_span);
/* ber_align_detect on the meter's truth and m. */
VX_API ber_align ber_meter_detect(const ber_meter *bm, const vx_cf32 *rx, uint64_t rx_len,
                                  uint64_t t0, uint64_t n_marker, uint64_t period, double pfa,
                                  int64_t lag_span);
/* Detect, then store the record and the geometry (t0, n_marker or its default, period)
 * for scoring. Returns the record's ok. */
VX_API int ber_meter_align(ber_meter *bm, const vx_cf32 *rx, uint64_t rx_len, uint64_t t0,
                           uint64_t n_marker, uint64_t period, double pfa, int64_t lag_span);
/* Install an alignment found elsewhere (n_marker 0 means BER_SYNC_SYMS; ok and saturated
 * count as flags). VX_ERR_INVALID (nothing changed) on NULL, a lag beyond
 * +-BER_LAG_SPAN_MAX or a non-finite phase. */
VX_API int ber_meter_set_align(ber_meter *bm, uint64_t t0, uint64_t n_marker, uint64_t period,
                               const ber_align *record);

/* Score rx[i] for i in [lo, min(rx_len, hi)) against truth[i + lag], skipping symbols
 * outside the truth or on a marker occurrence. A non-finite symbol is a symbol error with
 * every bit wrong. Returns the number scored: 0, with nothing counted, when the last
 * alignment did not succeed or there is no truth or rx. */
VX_API uint64_t ber_meter_score(ber_meter *bm, const vx_cf32 *rx, uint64_t rx_len, uint64_t lo,
                                uint64_t hi);

/* Two-sided exact interval for errors r in N trials at level conf (outside (0, 1) means
 * BER_CONF) when N was fixed in advance: lo = Gamma(r) quantile g/2, hi = Gamma(r + 1)
 * quantile 1 - g/2, over N (g = 1 - conf); p_hat = r/N. N = 0 gives p_hat NaN, lo 0,
 * hi +inf. */
VX_API ber_interval ber_confidence(uint64_t errors, uint64_t trials, double conf);
/* The same when sampling stopped at the r-th error (inverse binomial): hi uses Gamma(r),
 * and p_hat = (r - 1)/(N - 1) (r/N when r or N is 1). r = 0 is never a stop: as above. */
VX_API ber_interval ber_confidence_stopped(uint64_t errors, uint64_t trials, double conf);
/* ber_confidence at the meter's conf. */
VX_API ber_interval ber_meter_interval(const ber_meter *bm, uint64_t errors, uint64_t trials);
/* Symbol error rate: the stopped interval once errors >= target_errors, else fixed-N. */
VX_API ber_interval ber_meter_ser(const ber_meter *bm);
/* Bit error rate (the count of bits never stops the sampling): fixed-N. */
VX_API ber_interval ber_meter_ber(const ber_meter *bm);

VX_API uint64_t ber_meter_get_errors(const ber_meter *bm);
VX_API uint64_t ber_meter_get_symbols(const ber_meter *bm);
VX_API uint64_t ber_meter_get_bit_errors(const ber_meter *bm);
VX_API uint64_t ber_meter_get_bits(const ber_meter *bm);
VX_API uint64_t ber_meter_get_skipped(const ber_meter *bm);
VX_API uint64_t ber_meter_get_bursts(const ber_meter *bm);
VX_API uint32_t ber_meter_get_m(const ber_meter *bm);
VX_API uint64_t ber_meter_get_target_errors(const ber_meter *bm);
VX_API double ber_meter_get_conf(const ber_meter *bm);
/* 1 when errors >= target_errors. */
VX_API int ber_meter_get_enough(const ber_meter *bm);
VX_API int64_t ber_meter_get_lag(const ber_meter *bm);
VX_API double ber_meter_get_phase(const ber_meter *bm);
VX_API double ber_meter_get_align_stat(const ber_meter *bm);
VX_API double ber_meter_get_align_margin_db(const ber_meter *bm);
VX_API double ber_meter_get_align_runner_db(const ber_meter *bm);
VX_API uint64_t ber_meter_get_align_occurrences(const ber_meter *bm);
VX_API uint64_t ber_meter_get_align_slips(const ber_meter *bm);
VX_API int ber_meter_get_align_saturated(const ber_meter *bm);
VX_API int ber_meter_get_align_ok(const ber_meter *bm);
/* The whole record of the last align or set_align. */
VX_API ber_align ber_meter_get_align(const ber_meter *bm);

/* Blob "BERM" (version 2): header; errors, symbols, bit_errors, bits, skipped, bursts
 * (u64); the marker geometry t0, n_marker, period (u64); the alignment record: lag (i64),
 * phase, stat, threshold, margin_db, runner_db (f64), occurrences, slips (u64), saturated,
 * ok (u32), so a restored meter scores on where it left off. The truth and the
 * configuration are the meter's parameters, not in the blob. Rejected: impossible counts,
 * a lag beyond +-BER_LAG_SPAN_MAX, a non-finite phase, n_marker 0, a flag other than 0/1. */
VX_API uint64_t ber_meter_state_bytes(const ber_meter *bm);
VX_API void ber_meter_get_state(const ber_meter *bm, void *out);
VX_API int ber_meter_set_state(ber_meter *bm, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
