/* mpsk_receiver: complete BPSK / QPSK / 8PSK demodulator. A matched down-converter (ddc for
 * complex input, ddcr for a real IF behind its 2:1 halfband) mixes, converts the rate and
 * matched-filters; its terminal polyphase arm is the fractional timing. Two loops close
 * once per symbol: the Gardner timing loop (ratesync_loop) on the rate-control port and a
 * non-data-aided M-th-power carrier loop on the frequency-control port. Symbols out, or
 * hard Gray-coded bits (coherent or differential). */
#ifndef VX_MPSK_RECEIVER_H
#define VX_MPSK_RECEIVER_H

#include "ddc.h"
#include "lockdet.h"
#include "loop_filter.h"
#include "ratesync.h"
#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { MPSK_RX_PULSE_IANDD = 0, MPSK_RX_PULSE_RRC = 1 };

#define MPSK_RX_LOOPS_STATE_BYTES 360u

typedef struct mpsk_rx_loops {
    ratesync_loop timing;   /* Gardner, m = m_out */
    loop_filter carrier;    /* integrator: phase step per symbol [rad] */
    double freq_ctrl;       /* frequency deviation pushed with every input [cycles/LO sample] */
    double freq_scale;      /* 1/(2π·sps_c) */
    double car_error;       /* last discriminator output */
    double lock_ema;        /* smoothed carrier lock signal */
    lockdet car_lock;       /* up lock_thresh, down 0.8·lock_thresh, n_up 8, n_down 32 */
    int32_t m;              /* 2, 4 or 8 */
    int32_t differential;   /* 0/1 */
    double sps;             /* input samples per symbol */
    double sps_c;           /* samples per symbol at the LO rate */
    uint64_t m_out;         /* converter outputs per symbol */
    double bn_carrier, bn_agc_ratio, zeta;
    uint64_t symbol_count;  /* carrier updates since reset */
    int64_t lock_time;      /* symbol_count at the first carrier lock; -1 before */
    int32_t have_label;
    uint32_t prev_label;
    float rotation[2];      /* output turn: (cos, sin) of π/4 for m = 4, else (1, 0) */
    vx_tlm *tlm;            /* attached telemetry context (one reference held) */
    int32_t tlm_ids[7];     /* lock, car.e, car.freq, car.nco, car.locked, sym.i, sym.q */
} mpsk_rx_loops;

typedef struct mpsk_receiver {
    ddc *fe;                /* complex face's front end, or NULL */
    ddcr *fe_r;             /* real face's front end, or NULL */
    mpsk_rx_loops loops;
    int32_t real;           /* 1 for the real-input face */
    int32_t pulse;          /* MPSK_RX_PULSE_* */
    double init_norm_freq;  /* carrier centre [cycles per input sample] */
    double rrc_beta;
    int64_t rrc_span;
    uint64_t num_phases;
    int32_t agc;
    int32_t pad;
    double sample_rate_hz, symbol_rate_hz, carrier_freq_hz; /* the BPSK face's arguments */
} mpsk_receiver;

/* ---- the loop set ------------------------------------------------------------------- */

VX_API void mpsk_rx_loops_init(mpsk_rx_loops *l, int m, uint64_t m_out, int ted, int differential,
                               double sps, double sps_c, double bn_carrier, double zeta,
                               double bn_timing, double bn_agc_ratio, double lock_thresh);
VX_API void mpsk_rx_loops_reset(mpsk_rx_loops *l);
VX_API void mpsk_rx_config_carrier(mpsk_rx_loops *l);
/* Carrier frequency estimate [cycles per LO sample]: integrator · freq_scale. */
VX_API double mpsk_rx_freq_est(const mpsk_rx_loops *l);
/* Integrator from an estimate; freq_ctrl follows (negated). */
VX_API void mpsk_rx_set_freq_est(mpsk_rx_loops *l, double value);
/* Hard decision of a receiver-rotated symbol: log2 m bits, LSB first, into out3; returns
 * their count (1, 2 or 3). A non-finite symbol decides index 0. */
VX_API int mpsk_rx_symbol_to_bits(mpsk_rx_loops *l, uint8_t *out3, vx_cf32 symbol);
/* Probes "<prefix>.lock", ".car.e", ".car.freq", ".car.nco", ".car.locked", ".sym.i",
 * ".sym.q" and the timing loop's six under "<prefix>.sync" (prefix NULL -> "rx"); all or
 * nothing. tlm NULL detaches both. */
VX_API int mpsk_rx_set_telemetry(mpsk_rx_loops *l, vx_tlm *tlm, const char *prefix,
                                 unsigned long decim);
VX_API uint64_t mpsk_rx_loops_state_bytes(const mpsk_rx_loops *l);
VX_API void mpsk_rx_loops_get_state(const mpsk_rx_loops *l, void *out);
/* Rejects (VX_ERR_INVALID, unchanged) a bad header, nested blob or out-of-range field. */
VX_API int mpsk_rx_loops_set_state(mpsk_rx_loops *l, const void *blob);

/* ---- the receiver ------------------------------------------------------------------- */

/* m in {2, 4, 8}; m_out 0 derives the largest even count in 2..8 not above sps; zeta 0 ->
 * 1/sqrt(2); num_phases 0 -> 64; bn_agc_ratio 0 -> 0.05; lock_thresh 0 -> 0.4999. NULL
 * unless 2 <= m_out <= 8 even, sps >= m_out, 0 <= rrc_beta <= 1, rrc_span >= 1, bn's >= 0,
 * zeta > 0, num_phases a power of two >= 2, 0 < bn_agc_ratio < 1, all finite, and the
 * front end builds. */
VX_API mpsk_receiver *mpsk_receiver_create(int m, uint64_t m_out, uint32_t pulse, int rrc_span,
                                           int differential, uint64_t num_phases, double sps,
                                           double rrc_beta, double bn_carrier, double zeta,
                                           double bn_timing, double lock_thresh,
                                           double init_norm_freq, double bn_agc_ratio, int agc);
/* Real input: as above, with sps > 2·m_out (the cascade runs behind a 2:1 halfband). */
VX_API mpsk_receiver *mpsk_receiver_create_real(int m, uint64_t m_out, uint32_t pulse,
                                                int rrc_span, int differential,
                                                uint64_t num_phases, double sps,
                                                double rrc_beta, double bn_carrier, double zeta,
                                                double bn_timing, double lock_thresh,
                                                double init_norm_freq, double bn_agc_ratio,
                                                int agc);
/* BPSK in Hz: sample_rate_hz > 0, symbol_rate_hz > 0, |carrier_freq_hz| < sample_rate_hz/2. */
VX_API mpsk_receiver *mpsk_receiver_create_bpsk(uint32_t pulse, int rrc_span, int differential,
                                                int agc, double sample_rate_hz,
                                                double symbol_rate_hz, double carrier_freq_hz,
                                                double rrc_beta, double bn_carrier,
                                                double bn_timing);
VX_API void mpsk_receiver_destroy(mpsk_receiver *rx);
VX_API void mpsk_receiver_reset(mpsk_receiver *rx);

/* Every input is consumed; outputs beyond max_out are dropped while the loops run on. */
VX_API uint64_t mpsk_receiver_steps(mpsk_receiver *rx, const vx_cf32 *x, uint64_t n, vx_cf32 *out,
                                    uint64_t max_out);
VX_API uint64_t mpsk_receiver_steps_real(mpsk_receiver *rx, const float *x, uint64_t n,
                                         vx_cf32 *out, uint64_t max_out);
VX_API uint64_t mpsk_receiver_bits(mpsk_receiver *rx, const vx_cf32 *x, uint64_t n, uint8_t *out,
                                   uint64_t max_out);
VX_API uint64_t mpsk_receiver_bits_real(mpsk_receiver *rx, const float *x, uint64_t n,
                                        uint8_t *out, uint64_t max_out);
/* 0: at most one symbol per input. */
VX_API uint64_t mpsk_receiver_steps_max_out(const mpsk_receiver *rx);
/* log2(m) bits per input of n (at most one symbol per input), saturated. */
VX_API uint64_t mpsk_receiver_bits_max_out(const mpsk_receiver *rx, uint64_t n);

VX_API double mpsk_receiver_get_norm_freq(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_nco_freq(const mpsk_receiver *rx);
/* New carrier centre (finite; VX_ERR_INVALID otherwise): LO retuned, estimate cleared. */
VX_API int mpsk_receiver_set_norm_freq(mpsk_receiver *rx, double f);
VX_API double mpsk_receiver_get_lock(const mpsk_receiver *rx);
VX_API int mpsk_receiver_get_locked(const mpsk_receiver *rx);
VX_API int64_t mpsk_receiver_get_lock_time(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_last_error(const mpsk_receiver *rx);
/* The timing loop's rate: tracked input samples per symbol, averaged over about 4096 symbols. */
VX_API double mpsk_receiver_get_timing_rate(const mpsk_receiver *rx);
VX_API int mpsk_receiver_get_m(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_sps(const mpsk_receiver *rx);
VX_API uint64_t mpsk_receiver_get_m_out(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_zeta(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_bn_agc_ratio(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_lock_thresh(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_lock_drop_thresh(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_sync_lock_thresh(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_sync_lock_drop_thresh(const mpsk_receiver *rx);
VX_API uint64_t mpsk_receiver_get_num_phases(const mpsk_receiver *rx);
VX_API int mpsk_receiver_get_clipped(const mpsk_receiver *rx);
VX_API double mpsk_receiver_get_agc_gain_db(const mpsk_receiver *rx);

/* The loops' probes and, on success, the front end's AGC probes under "<prefix>.agc". */
VX_API int mpsk_receiver_set_telemetry(mpsk_receiver *rx, vx_tlm *tlm, const char *prefix,
                                       unsigned long decim);
/* 16 + front-end blob + 360. */
VX_API uint64_t mpsk_receiver_state_bytes(const mpsk_receiver *rx);
VX_API void mpsk_receiver_get_state(const mpsk_receiver *rx, void *out);
/* Every part is checked before anything is written; the first refusal's status is
 * returned with the receiver unchanged (the other face's blob is refused). */
VX_API int mpsk_receiver_set_state(mpsk_receiver *rx, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
