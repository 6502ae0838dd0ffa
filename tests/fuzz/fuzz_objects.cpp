// The core objects under two fuzz targets, from one table of cases. Each case builds an
// object from parameters it draws, and runs it on a short block sized from its bound.
//
// fuzz_state (default): small, valid parameters; the rest of the input mutates a valid
//   blob of the object (pokes of single bytes, or an overwrite of the payload or of the
//   whole blob, header included) that is then restored. Beyond "no crash, no sanitizer
//   report": a rejected blob leaves the object byte-for-byte as it was; an accepted one
//   leaves an object that runs, with bounds that stay sane for a short block, and whose
//   own blob is accepted again afterwards.
// fuzz_create (VELTRA_FUZZ_CREATE): every size and real parameter is hostile (0, powers of
//   two around 2^32 and 2^64, NaN, infinities, denormals, raw bits). A creator returns
//   NULL or an object that runs and whose blob round-trips.
#include <algorithm>
#include <vector>

#include "fuzz_input.hpp"

#include "agc.h"
#include "ber_meter.h"
#include "boxcar.h"
#include "cic.h"
#include "ddc.h"
#include "farrow.h"
#include "fir.h"
#include "frame_meter.h"
#include "hbdecim.h"
#include "lo.h"
#include "lockdet.h"
#include "loop_filter.h"
#include "nco.h"
#include "rate_converter.h"
#include "resamp.h"
#include "vx_ring.h"
#include "carrier_mpsk.h"
#include "carrier_nda.h"
#include "conv_enc.h"
#include "costas.h"
#include "dll.h"
#include "interleaver.h"
#include "rs_codec.h"
#include "viterbi.h"
#include "acc.h"
#include "acc_trace.h"
#include "carrier_acq.h"
#include "corr.h"
#include "corr2d.h"
#include "detector.h"
#include "detector2d.h"
#include "mpsk_receiver.h"
#include "psd.h"
#include "ratesync.h"
#include "symsync.h"
#include "vx_tlm.h"

namespace {

using namespace fuzz;

// Parameters of a case: small and valid for fuzz_state, hostile for fuzz_create.
struct Draw {
#ifdef VELTRA_FUZZ_CREATE
    static constexpr bool hostile = true;
#else
    static constexpr bool hostile = false;
#endif
    Input &in;
    // A count in [lo, lo + span), or any hostile size.
    uint64_t count(uint64_t lo, uint64_t span) { return hostile ? in.size() : in.small(lo, span); }
    // The same, for a count of elements the caller supplies: at most `cap`.
    uint64_t supplied(uint64_t lo, uint64_t span, uint64_t cap) { return std::min(count(lo, span), cap); }
    // A transform size: FFTW aborts the process when its own allocation fails (here at the
    // harness's cap, in use only at the machine's limit), so sizes stay at most `cap`, and
    // a case's transforms hold at most kFftCells cells between them: beyond every size of
    // the hostile table up to 65537, and a run of 2^20 cells took a tenth of a second.
    static constexpr uint64_t kFftCells = uint64_t{1} << 17;
    uint64_t fft(uint64_t lo, uint64_t span, uint64_t cap = kFftCells) { return supplied(lo, span, cap); }
    // A second size whose product with `first` stays within kFftCells.
    uint64_t fft_times(uint64_t first, uint64_t lo, uint64_t span, uint64_t cap)
    {
        return fft(lo, span, std::min(cap, kFftCells / std::max<uint64_t>(first, 1)));
    }
    uint32_t count32(uint64_t lo, uint64_t span) { return static_cast<uint32_t>(count(lo, span)); }
    double real(double usual) { return hostile ? in.real() : usual; }
    uint8_t byte() { return in.byte(); }
};

template <class T> struct Ops {
    void (*destroy)(T *);
    uint64_t (*bytes)(const T *);
    void (*get)(const T *, void *);
    int (*set)(T *, const void *);
};

void mutate(std::vector<uint8_t> &blob, Input &in)
{
    const uint8_t mode = in.byte();
    if (mode % 4 == 0) {  // overwrite from the payload (or the header) on
        const size_t at = mode & 4 ? 0 : VX_STATE_HEADER_BYTES;
        const size_t k = std::min(in.left(), blob.size() > at ? blob.size() - at : 0);
        std::memcpy(blob.data() + at, in.rest(), k);
        return;
    }
    while (in.left() >= 3) {  // pokes: (offset, byte)
        const uint16_t at = in.take<uint16_t>();
        blob[at % blob.size()] = in.byte();
    }
}

// Run the object, then (fuzz_state) restore a mutated blob or (fuzz_create) its own blob,
// checking the properties above.
template <class T, class Run>
void check(const char *name, T *obj, Ops<T> ops, Draw &d, Run run)
{
    if (!obj)
        return;
    run(obj);
    const uint64_t n = ops.bytes(obj);
    // Hostile parameters can ask for a state beyond what the harness holds (a 16000-sample
    // acquisition block with a huge dwell): the object has run, the round trip is skipped.
    if (Draw::hostile && n > kMaxAlloc)
        return ops.destroy(obj);
    std::vector<uint8_t> good(n), blob, now(n);
    ops.get(obj, good.data());
    blob = good;
    if (!Draw::hostile)
        mutate(blob, d.in);
    if (ops.set(obj, blob.data()) != VX_OK) {
        if (Draw::hostile)
            fail(name, "an object refuses its own blob");
        ops.get(obj, now.data());
        if (now != good)
            fail(name, "a rejected blob changed the object");
    } else {
        run(obj);
        run(obj);
        ops.get(obj, now.data());
        if (ops.set(obj, now.data()) != VX_OK)
            fail(name, "the blob of a state the object reached is refused");
    }
    ops.destroy(obj);
}

const vx_cf32 *X() { return samples().data(); }
constexpr uint64_t N = 97;
const float *XR()
{
    static const std::vector<float> r = real_samples();
    return r.data();
}

// need = max(n, bound) for an object-only bound (0 means the input length).
uint64_t need(uint64_t bound) { return std::max<uint64_t>(N, bound); }

using Case = void (*)(Draw &);

// The first input byte selects a case by index: add new cases at the end (before the
// create-only ones), so the seeds in tests/fuzz/corpus keep selecting what they did.
const Case CASES[] = {
    [](Draw &p) {
        check("loop_filter", loop_filter_create(p.real(0.001 * p.count(1, 50)), p.real(0.707), p.real(1.0)),
              Ops<loop_filter>{loop_filter_destroy, loop_filter_state_bytes, loop_filter_get_state,
                               loop_filter_set_state},
              p, [](loop_filter *lf) {
                  double x[N], y[N];
                  for (uint64_t i = 0; i < N; ++i)
                      x[i] = X()[i].re;
                  loop_filter_steps(lf, x, y, N);
              });
    },
    [](Draw &p) {
        check("nco", nco_create(p.real(0.01 * p.count(0, 50)), p.count32(1, 8)),
              Ops<nco>{nco_destroy, nco_state_bytes, nco_get_state, nco_set_state}, p, [](nco *o) {
                  uint32_t y[N];  // a generator: N requested, N of room
                  nco_steps_u32(o, N, y, N);
              });
    },
    [](Draw &p) {
        check("lockdet", lockdet_create(p.real(0.5), p.real(0.2), p.count32(1, 9), p.count32(1, 9)),
              Ops<lockdet>{lockdet_destroy, lockdet_state_bytes, lockdet_get_state, lockdet_set_state},
              p, [](lockdet *ld) {
                  double x[N];
                  int32_t y[N];
                  for (uint64_t i = 0; i < N; ++i)
                      x[i] = X()[i].im;
                  lockdet_steps(ld, x, y, N);
              });
    },
    [](Draw &p) {
        check("agc", agc_create(p.real(0.0), p.real(0.001 * p.count(1, 20)), p.real(0.05)),
              Ops<agc>{agc_destroy, agc_state_bytes, agc_get_state, agc_set_state}, p, [](agc *a) {
                  vx_cf32 y[N];
                  agc_steps(a, X(), y, N);
                  agc_step(a, X()[3]);
              });
    },
    [](Draw &p) {
        check("hbdecim", hbdecim_create(p.supplied(1, VX_HB_FIR_LEN, VX_HB_FIR_LEN), VX_HB_FIR),
              Ops<hbdecim>{hbdecim_destroy, hbdecim_state_bytes, hbdecim_get_state, hbdecim_set_state},
              p, [](hbdecim *h) {
                  with_room("hbdecim", hbdecim_execute_max_out(h, N), [&](vx_cf32 *y, uint64_t cap) {
                      return hbdecim_execute(h, X(), N, y, cap);
                  });
              });
    },
    [](Draw &p) {
        check("hbdecim_r2c", hbdecim_r2c_create(p.supplied(1, VX_HB_FIR_LEN, VX_HB_FIR_LEN), VX_HB_FIR),
              Ops<hbdecim_r2c>{hbdecim_r2c_destroy, hbdecim_r2c_state_bytes, hbdecim_r2c_get_state,
                               hbdecim_r2c_set_state},
              p, [](hbdecim_r2c *h) {
                  with_room("hbdecim_r2c", hbdecim_r2c_execute_max_out(h, N), [&](vx_cf32 *y, uint64_t cap) {
                      return hbdecim_r2c_execute(h, XR(), N, y, cap);
                  });
              });
    },
    [](Draw &p) {
        const uint64_t n = p.supplied(1, 16, N);
        fir *f = p.byte() & 1 ? fir_create(X(), n) : fir_create_real(XR(), n);
        check("fir", f, Ops<fir>{fir_destroy, fir_state_bytes, fir_get_state, fir_set_state}, p,
              [](fir *f) {
                  with_room("fir", need(fir_execute_max_out(f)),
                            [&](vx_cf32 *y, uint64_t) { return fir_execute(f, X(), N, y); });
              });
    },
    [](Draw &p) {
        check("boxcar", boxcar_create(p.count(1, 40), p.real(1.0)),
              Ops<boxcar>{boxcar_destroy, boxcar_state_bytes, boxcar_get_state, boxcar_set_state}, p,
              [](boxcar *b) {
                  vx_cf32 y[N];
                  boxcar_steps(b, X(), y, N);
              });
    },
    [](Draw &p) {
        check("cic", cic_create(Draw::hostile ? p.count32(0, 1) : 1u << p.count(1, 8)),
              Ops<cic>{cic_destroy, cic_state_bytes, cic_get_state, cic_set_state}, p, [](cic *c) {
                  with_room("cic", need(cic_decimate_max_out(c)),
                            [&](vx_cf32 *y, uint64_t cap) { return cic_decimate(c, X(), N, y, cap); });
              });
    },
    [](Draw &p) {
        check("resamp", resamp_create(p.real(0.05 * p.count(1, 60))),
              Ops<resamp>{resamp_destroy, resamp_state_bytes, resamp_get_state, resamp_set_state}, p,
              [](resamp *r) {
                  with_room("resamp", resamp_execute_max_out(r, N),
                            [&](vx_cf32 *y, uint64_t cap) { return resamp_execute(r, X(), N, y, cap); });
                  vx_cf32 y[64];
                  resamp_execute_ctrl_push(r, y, 64, X()[5], 0.01);
              });
    },
    [](Draw &p) {
        // A caller bank of L*K floats; hostile shapes only as far as a bank is supplied.
        static const std::vector<float> bank(1 << 16, 0.125f);
        const uint64_t l = p.count(1, 32), k = p.count(1, 16);
        if (l != 0 && k > bank.size() / l)
            return;
        check("resamp", resamp_create_custom(l, k, bank.data(), p.real(0.05 * p.count(1, 60))),
              Ops<resamp>{resamp_destroy, resamp_state_bytes, resamp_get_state, resamp_set_state}, p,
              [](resamp *r) {
                  with_room("resamp", resamp_execute_max_out(r, N),
                            [&](vx_cf32 *y, uint64_t cap) { return resamp_execute(r, X(), N, y, cap); });
              });
    },
    [](Draw &p) {
        check("farrow", farrow_create(p.count32(0, 4)),
              Ops<farrow>{farrow_destroy, farrow_state_bytes, farrow_get_state, farrow_set_state}, p,
              [](farrow *f) {
                  with_room("farrow", need(farrow_delay_max_out(f)),
                            [&](vx_cf32 *y, uint64_t cap) { return farrow_delay(f, X(), N, y, cap, 0.3f); });
              });
    },
    [](Draw &p) {
        check("lo", lo_create(p.real(0.01 * p.count(0, 100) - 0.5)),
              Ops<lo>{lo_destroy, lo_state_bytes, lo_get_state, lo_set_state}, p, [](lo *o) {
                  vx_cf32 y[N];  // a generator: N requested, N of room
                  lo_steps(o, N, y, N);
              });
    },
    [](Draw &p) {
        const uint8_t k = p.byte();
        const double rate = p.real(0.03 * p.count(1, 80));
        RateConverter *rc = k & 1 ? RateConverter_create_matched(k >> 2 & 1, k >> 1 & 1, p.count(1, 6), p.count(16, 1),
                                                                 rate, p.real(0.35), p.real(2.0 + (k >> 3)))
                                  : RateConverter_create(k >> 1 & 1, rate);
        check("RateConverter", rc,
              Ops<RateConverter>{RateConverter_destroy, RateConverter_state_bytes, RateConverter_get_state,
                                 RateConverter_set_state},
              p, [](RateConverter *rc) {
                  with_room("RateConverter", std::max(RateConverter_execute_bound(rc, N), need(RateConverter_execute_max_out(rc))),
                            [&](vx_cf32 *y, uint64_t cap) { return RateConverter_execute(rc, X(), N, y, cap); });
              });
    },
    [](Draw &p) {
        const uint8_t k = p.byte();
        const double f = p.real(0.1), rate = p.real(0.03 * p.count(1, 80));
        ddc *d = k & 1 ? ddc_create_matched(k >> 1 & 3, p.count(1, 6), p.count(16, 1), f, rate, p.real(0.35),
                                            p.real(2.0 + (k >> 3)))
                       : ddc_create(f, rate);
        check("ddc", d, Ops<ddc>{ddc_destroy, ddc_state_bytes, ddc_get_state, ddc_set_state}, p, [](ddc *d) {
            with_room("ddc", ddc_execute_max_out(d, N),
                      [&](vx_cf32 *y, uint64_t cap) { return ddc_execute(d, X(), N, y, cap); });
        });
    },
    [](Draw &p) {
        const uint8_t k = p.byte();
        const double f = p.real(0.1), rate = p.real(0.02 * p.count(1, 24));
        ddcr *d = k & 1 ? ddcr_create_matched(k >> 1 & 3, p.count(1, 6), p.count(16, 1), f, rate, p.real(0.35),
                                              p.real(2.0 + (k >> 3)))
                        : ddcr_create(f, rate);
        check("ddcr", d, Ops<ddcr>{ddcr_destroy, ddcr_state_bytes, ddcr_get_state, ddcr_set_state}, p, [](ddcr *d) {
            with_room("ddcr", need(ddcr_execute_max_out(d)),
                      [&](vx_cf32 *y, uint64_t cap) { return ddcr_execute(d, XR(), N, y, cap); });
        });
    },
    [](Draw &p) {
        ber_meter *bm = ber_meter_create(Draw::hostile ? p.count32(0, 1) : 2u << p.count(0, 3), p.count(0, 5),
                                         p.real(0.95));
        if (bm) {
            std::vector<uint8_t> truth(N);
            for (uint64_t i = 0; i < N; ++i)
                truth[i] = static_cast<uint8_t>(i * 7 % ber_meter_get_m(bm));
            ber_meter_set_truth(bm, truth.data(), N);
        }
        check("ber_meter", bm,
              Ops<ber_meter>{ber_meter_destroy, ber_meter_state_bytes, ber_meter_get_state, ber_meter_set_state},
              p, [](ber_meter *bm) {
                  ber_meter_align(bm, X(), N, 0, 8, 0, 0.0, 0);
                  ber_meter_score(bm, X(), N, 0, N);
                  ber_meter_ser(bm);
                  ber_meter_ber(bm);
              });
    },
    [](Draw &p) {
        check("frame_meter", frame_meter_create(p.count(0, 5), p.real(0.9)),
              Ops<frame_meter>{frame_meter_destroy, frame_meter_state_bytes, frame_meter_get_state,
                               frame_meter_set_state},
              p, [](frame_meter *fm) {
                  frame_meter_add(fm, 1, 0);
                  frame_meter_add(fm, 0, -1);
                  frame_meter_fer(fm);
                  frame_meter_sync_miss(fm);
              });
    },
    [](Draw &p) {
        check("symsync", symsync_create(p.count(2, 6), p.byte() % 3, p.byte() % 2, p.real(0.01), p.real(0.707)),
              Ops<symsync>{symsync_destroy, symsync_state_bytes, symsync_get_state, symsync_set_state}, p,
              [](symsync *s) {
                  with_room("symsync", need(symsync_steps_max_out(s)),
                            [&](vx_cf32 *y, uint64_t cap) { return symsync_steps(s, X(), N, y, cap); });
              });
    },
    [](Draw &p) {
        const uint32_t pulse = p.byte() % 2;
        check("ratesync", ratesync_create(pulse, p.count(1, 4), 2, p.count(16, 1), p.byte() % 2, p.real(4.0 + p.count(0, 4)),
                                          p.real(0.35), p.real(0.01), p.real(0.707)),
              Ops<ratesync>{ratesync_destroy, ratesync_state_bytes, ratesync_get_state, ratesync_set_state}, p,
              [](ratesync *r) {
                  with_room("ratesync", need(ratesync_steps_max_out(r)),
                            [&](vx_cf32 *y, uint64_t cap) { return ratesync_steps(r, X(), N, y, cap); });
              });
    },
    [](Draw &p) {
        const uint8_t k = p.byte();
        const int m = 2 << (k % 3);
        const double sps = p.real(4.0 + p.count(0, 8));
        mpsk_receiver *rx = k & 8 ? mpsk_receiver_create_real(m, 0, k >> 4 & 1, 4, k >> 5 & 1, p.count(16, 1), sps, 0.35,
                                                              0.01, 0.0, 0.01, 0.0, 0.0, 0.0, k >> 6 & 1)
                                  : mpsk_receiver_create(m, 0, k >> 4 & 1, 4, k >> 5 & 1, p.count(16, 1), sps, 0.35, 0.01,
                                                         0.0, 0.01, 0.0, p.real(0.01), 0.0, k >> 6 & 1);
        check("mpsk_receiver", rx,
              Ops<mpsk_receiver>{mpsk_receiver_destroy, mpsk_receiver_state_bytes, mpsk_receiver_get_state,
                                 mpsk_receiver_set_state},
              p, [](mpsk_receiver *rx) {
                  // Both faces: the one the receiver was not built for must refuse cleanly.
                  with_room("mpsk_receiver", need(mpsk_receiver_steps_max_out(rx)), [&](vx_cf32 *y, uint64_t cap) {
                      return mpsk_receiver_steps_real(rx, XR(), N, y, cap);
                  });
                  with_room("mpsk_receiver", need(mpsk_receiver_steps_max_out(rx)), [&](vx_cf32 *y, uint64_t cap) {
                      return mpsk_receiver_steps(rx, X(), N, y, cap);
                  });
              });
    },
    [](Draw &p) {
        const uint64_t n = p.fft(4, 60, 1 << 10);
        const unsigned window = p.byte() % 4;
        const uint64_t pad = p.fft_times(n, 1, 3, 1 << 10);
        check("psd", psd_create(n, window, pad, p.count(0, 2) * 12, p.byte() % 4, p.real(1e3),
                                static_cast<float>(p.real(6.0)), p.real(1.0), p.real(0.1)),
              Ops<psd>{psd_destroy, psd_state_bytes, psd_get_state, psd_set_state}, p, [](psd *q) {
                  psd_accumulate(q, X(), N);
                  psd_accumulate_real(q, XR(), N);
                  std::vector<float> y(std::min<uint64_t>(psd_psd_db_max_out(q), kMaxRoom));
                  psd_psd_db(q, y.data(), y.size());
              });
    },
    [](Draw &p) {
        const uint64_t n = p.supplied(1, 16, N);
        check("corr", corr_create(X(), n, p.count(0, 4), 1, p.fft(0, 20)),
              Ops<corr>{corr_destroy, corr_state_bytes, corr_get_state, corr_set_state}, p, [](corr *c) {
                  with_room("corr", corr_execute_max_out(c), [&](vx_cf32 *y, uint64_t cap) {
                      return corr_execute(c, X(), corr_get_n(c), y, cap);
                  });
              });
    },
    [](Draw &p) {
        const uint64_t ny = p.supplied(1, 4, 8), nx = p.supplied(1, 4, 8);
        const uint64_t dwell = p.count(0, 4), ny_out = p.fft(0, 5, 1 << 10), nx_out = p.fft_times(ny_out, 0, 5, 1 << 10);
        check("corr2d", corr2d_create(X(), ny, nx, dwell, 1, ny_out, nx_out, static_cast<int32_t>(p.count(0, 3) - 1)),
              Ops<corr2d>{corr2d_destroy, corr2d_state_bytes, corr2d_get_state, corr2d_set_state}, p, [](corr2d *c) {
                  with_room("corr2d", corr2d_execute_max_out(c), [&](vx_cf32 *y, uint64_t cap) {
                      return corr2d_execute(c, X(), corr2d_get_ny(c) * corr2d_get_nx(c), y, cap);
                  });
              });
    },
    [](Draw &p) {
        const uint64_t n = p.supplied(1, 16, N);
        check("detector", detector_create(X(), n, p.count(0, 4), p.count(0, 4), p.count(4, 16), p.byte() % 3,
                                          static_cast<float>(p.real(2.0)), 1),
              Ops<detector>{detector_destroy, detector_state_bytes, detector_get_state, detector_set_state}, p,
              [](detector *d) {
                  detector_record rec[8];
                  uint64_t used = 0;
                  detector_push(d, X(), N, rec, 8, &used);
              });
    },
    [](Draw &p) {
        const uint64_t ny = p.supplied(1, 4, 8), nx = p.supplied(1, 4, 8);
        check("detector2d", detector2d_create(X(), ny, nx, p.count(1, 3), p.count(0, 4), p.count(4, 16),
                                              static_cast<float>(p.real(2.0)), p.byte() % 3, 1),
              Ops<detector2d>{detector2d_destroy, detector2d_state_bytes, detector2d_get_state, detector2d_set_state}, p,
              [](detector2d *d) {
                  detector2d_record rec[8];
                  uint64_t used = 0;
                  detector2d_push(d, X(), N, rec, 8, &used);
              });
    },
    [](Draw &p) {
        check("acc_f32", acc_f32_create(static_cast<float>(p.real(0.5))),
              Ops<acc_f32>{acc_f32_destroy, acc_f32_state_bytes, acc_f32_get_state, acc_f32_set_state}, p,
              [](acc_f32 *a) {
                  acc_f32_steps(a, XR(), N);
                  acc_f32_madd(a, XR(), N, XR(), 7);
              });
    },
    [](Draw &p) {
        check("acc_cf64", acc_cf64_create(p.real(0.5), p.real(-0.5)),
              Ops<acc_cf64>{acc_cf64_destroy, acc_cf64_state_bytes, acc_cf64_get_state, acc_cf64_set_state}, p,
              [](acc_cf64 *a) {
                  const vx_cf64 x[3] = {{1.0, 2.0}, {-0.5, 0.25}, {1e300, -1e300}};
                  acc_cf64_steps(a, x, 3);
                  acc_cf64_dump(a);
              });
    },
    [](Draw &p) {
        check("acc_trace", acc_trace_create(p.count(1, 40), p.byte() % 4, p.real(0.1)),
              Ops<acc_trace>{acc_trace_destroy, acc_trace_state_bytes, acc_trace_get_state, acc_trace_set_state}, p,
              [](acc_trace *t) { acc_trace_accumulate(t, XR(), N); });
    },
    [](Draw &p) {
        static const std::vector<float> templ(64, 1.0f);
        const uint64_t tl = p.supplied(0, 2, templ.size()) * 32;
        // Blocks of sample_rate/resolution: kept within 16000 samples, padded at most 8 times
        // (see Draw::fft).
        double res = p.real(0.0);
        if (res > 0.0 && res < 0.5)
            res = 0.5;
        check("carrier_acq",
              carrier_acq_create(p.fft(1, 4, 1 << 3), p.byte() % 4, tl ? templ.data() : nullptr, std::min<uint64_t>(tl, templ.size()),
                                 p.byte() & 1, p.count(1, 20), 8000.0, p.real(1000.0), res,
                                 static_cast<float>(p.real(0.0)), p.real(1e-3), p.real(0.9), p.real(2.0)),
              Ops<carrier_acq>{carrier_acq_destroy, carrier_acq_state_bytes, carrier_acq_get_state, carrier_acq_set_state},
              p, [](carrier_acq *a) { carrier_acq_steps(a, X(), N); });
    },
    [](Draw &p) {
        check("costas", costas_create(p.count(1, 64), p.real(0.05), p.real(0.707), p.real(0.01), p.real(0.001)),
              Ops<costas>{costas_destroy, costas_state_bytes, costas_get_state, costas_set_state}, p, [](costas *c) {
                  with_room("costas", need(costas_steps_max_out(c)),
                            [&](vx_cf32 *y, uint64_t cap) { return costas_steps(c, X(), N, y, cap); });
              });
    },
    [](Draw &p) {
        check("carrier_mpsk", carrier_mpsk_create(p.count(1, 64), Draw::hostile ? p.count32(0, 1) : 2 << p.count(0, 3),
                                                  p.real(0.05), p.real(0.707), p.real(0.01), p.real(0.0)),
              Ops<carrier_mpsk>{carrier_mpsk_destroy, carrier_mpsk_state_bytes, carrier_mpsk_get_state,
                                carrier_mpsk_set_state},
              p, [](carrier_mpsk *c) {
                  with_room("carrier_mpsk", need(carrier_mpsk_steps_max_out(c)),
                            [&](vx_cf32 *y, uint64_t cap) { return carrier_mpsk_steps(c, X(), N, y, cap); });
              });
    },
    [](Draw &p) {
        check("carrier_nda", carrier_nda_create(p.count(1, 16), p.count(1, 8), Draw::hostile ? p.count32(0, 1) : 2 << p.count(0, 3),
                                                p.real(0.01), p.real(0.707), p.real(0.0)),
              Ops<carrier_nda>{carrier_nda_destroy, carrier_nda_state_bytes, carrier_nda_get_state, carrier_nda_set_state},
              p, [](carrier_nda *c) {
                  with_room("carrier_nda", need(carrier_nda_steps_max_out(c)),
                            [&](vx_cf32 *y, uint64_t cap) { return carrier_nda_steps(c, X(), N, y, cap); });
              });
    },
    [](Draw &p) {
        static const uint8_t code[31] = {1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1, 0, 0, 0, 1, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 0, 0, 0};
        check("dll", dll_create(code, p.supplied(1, 31, 31), p.count(1, 4), p.count(1, 3), p.real(0.0), p.real(0.01),
                                p.real(0.707), p.real(0.5)),
              Ops<dll>{dll_destroy, dll_state_bytes, dll_get_state, dll_set_state}, p, [](dll *d) {
                  with_room("dll", dll_steps_bound(d, N),
                            [&](vx_cf32 *y, uint64_t cap) { return dll_steps(d, X(), N, y, cap); });
              });
    },
    [](Draw &p) {
        const uint32_t polys[2] = {0171, 0133};
        check("conv_enc", conv_enc_create(polys, 2, Draw::hostile ? p.count32(0, 1) : 3 + p.count(0, 5), p.count32(0, 4)),
              Ops<conv_enc>{conv_enc_destroy, conv_enc_state_bytes, conv_enc_get_state, conv_enc_set_state}, p,
              [](conv_enc *e) {
                  uint8_t bits[N], out[2 * N];
                  for (uint64_t i = 0; i < N; ++i)
                      bits[i] = static_cast<uint8_t>(i * 5 % 7 & 1);
                  if (conv_enc_encode_max_out(e, N) <= 2 * N)
                      conv_enc_encode(e, bits, N, out, 2 * N);
              });
    },
    [](Draw &p) {
        const uint32_t polys[2] = {0171, 0133};
        check("viterbi", viterbi_create(polys, 2, Draw::hostile ? p.count32(0, 1) : 3 + p.count(0, 5), p.count32(0, 4),
                                        p.count(1, 40)),
              Ops<viterbi>{viterbi_destroy, viterbi_state_bytes, viterbi_get_state, viterbi_set_state}, p,
              [](viterbi *v) {
                  uint8_t out[N];
                  if (viterbi_decode_max_out(v, N - 1) <= N)
                      viterbi_decode(v, XR(), N - 1, out, N);
              });
    },
    [](Draw &p) {
        // The Dll steered from outside: the symbol-period aid switched on and off around a
        // held snapshot, coasting, a rate aid, code-phase puts and a retune, as the input picks.
        static const uint8_t code[15] = {0, 0, 0, 1, 0, 0, 1, 1, 0, 1, 0, 1, 1, 1, 1};
        dll *d = dll_create(code, 15, p.count(2, 3), p.count(2, 4), p.real(0.0), p.real(0.01), p.real(0.707),
                            p.real(0.5));
        const auto steps = [](dll *d) {
            with_room("dll", dll_steps_bound(d, N), [&](vx_cf32 *y, uint64_t cap) { return dll_steps(d, X(), N, y, cap); });
        };
        if (d) {
            const uint8_t k = p.byte();
            steps(d);
            if (k & 1)
                dll_hold_here(d);
            dll_set_symbol_period(d, p.real(4.0 + p.count(0, 8)));
            steps(d);
            if (k & 2)
                dll_hold_here(d);
            dll_set_coast(d, k & 4);
            dll_set_rate_aid(d, p.real(0.001));
            dll_set_code_phase(d, p.real(0.5 * p.count(0, 30)));
            if (k & 8)
                dll_configure(d, p.real(0.02), p.real(1.0));
            if (k & 16)
                dll_set_symbol_period(d, 0.0);
            dll_set_coast(d, k & 32);
        }
        check("dll", d, Ops<dll>{dll_destroy, dll_state_bytes, dll_get_state, dll_set_state}, p, steps);
    },
#ifdef VELTRA_FUZZ_CREATE
    // Objects without a blob: created, used a little, destroyed.
    [](Draw &p) {
        vx_ring_destroy(vx_ring_create(p.count(1, 64), p.count(1, 64)));
    },
    [](Draw &p) {
        if (rs_codec *rs = rs_codec_create(p.count(16, 1), p.count(8, 1), p.count(29, 1), p.count(1, 1), p.count(1, 1))) {
            std::vector<uint8_t> info(std::min<uint64_t>(rs_codec_encode_max_out(rs, 0) + 4096, kMaxRoom));
            std::vector<uint8_t> out(info.size());
            rs_codec_encode(rs, info.data(), info.size(), out.data(), out.size());
            rs_codec_decode(rs, out.data(), out.size());
            rs_codec_destroy(rs);
        }
    },
    [](Draw &p) {
        interleaver *il = p.byte() & 1 ? interleaver_create(p.count(4, 8), p.count(6, 8), p.count(1, 8))
                                       : interleaver_create_rx(p.count(4, 8), p.count(6, 8), p.count(1, 8));
        if (il) {
            uint8_t in[N] = {}, out[N];
            if (interleaver_deinterleave_max_out(il, N) <= N)
                interleaver_deinterleave(il, in, N, out, N);
            interleaver_destroy(il);
        }
    },
    [](Draw &p) {
        if (vx_tlm *t = vx_tlm_create(p.count(1, 64))) {
            const int id = vx_tlm_probe(t, "x", p.count(1, 4));
            float v[N];
            for (uint64_t i = 0; i < N; ++i)
                v[i] = XR()[i];
            vx_tlm_emit_block(t, id, v, N);
            vx_tlm_record r[16];
            vx_tlm_read(t, p.count(0, 16), r, 16);
            vx_tlm_resize(t, p.count(1, 64));
            vx_tlm_destroy(t);
        }
    },
#endif
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    Draw p{in};
    CASES[in.byte() % std::size(CASES)](p);
    return 0;
}
