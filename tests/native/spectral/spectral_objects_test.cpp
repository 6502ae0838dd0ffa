// The spectral objects through the C ABI: short capacities, hostile blobs and the paths
// Python never reaches, run under the sanitizers by `make sanitize`.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "acc_trace.h"
#include "carrier_acq.h"
#include "corr.h"
#include "corr2d.h"
#include "detector.h"
#include "detector2d.h"
#include "psd.h"
#include "specmeas.h"

namespace {

std::vector<vx_cf32> noise(size_t n, unsigned seed)
{
    std::mt19937 g(seed);
    std::normal_distribution<float> d;
    std::vector<vx_cf32> x(n);
    for (auto &v : x)
        v = {d(g), d(g)};
    return x;
}

// Every single-byte corruption of a blob is either rejected or accepted, never a crash,
// and a rejected one leaves the object's own blob as it was.
void hostile_blobs(uint64_t bytes, const std::function<void(void *)> &get, const std::function<int(const void *)> &set)
{
    std::vector<uint8_t> good(bytes), bad, after(bytes);
    get(good.data());
    std::mt19937 g(7);
    for (int trial = 0; trial < 300; ++trial) {
        bad = good;
        const size_t at = trial < 64 ? static_cast<size_t>(trial) % bytes : g() % bytes;
        bad[at] ^= static_cast<uint8_t>(1u << (g() % 8));
        if (set(bad.data()) != VX_OK) {
            get(after.data());
            ASSERT_EQ(after, good) << "rejected blob changed the object (byte " << at << ")";
        } else {
            ASSERT_EQ(set(good.data()), VX_OK);
        }
    }
}

}  // namespace

TEST(Psd, ShortCapacitiesAndHostileBlobs)
{
    psd *p = psd_create(64, PSD_WINDOW_HANN, 1, 0, ACC_TRACE_MEAN, 1000.0, 0.0f, 1.0, 0.1);
    ASSERT_NE(p, nullptr);
    auto x = noise(64 * 3, 1);
    EXPECT_EQ(psd_accumulate(p, x.data(), x.size()), 3u);
    float out[64];
    EXPECT_EQ(psd_psd_db(p, out, 0), 0u);
    EXPECT_EQ(psd_power_onesided(p, out, 1), 1u);
    EXPECT_EQ(psd_power_onesided(p, out, 33), 33u);
    const double bands[] = {NAN, 1.0, -INFINITY, INFINITY, 600.0, 900.0, 0.0};
    EXPECT_EQ(psd_band_power(p, bands, 7, out, 2), 2u);
    EXPECT_EQ(out[0], PSD_EMPTY_DB);
    EXPECT_EQ(psd_band_power(p, bands, 7, out, 8), 3u);
    EXPECT_EQ(out[2], PSD_EMPTY_DB);
    EXPECT_TRUE(std::isfinite(psd_total_band_power(p, bands, 7)));
    EXPECT_EQ(psd_snr(p, NAN, 0.0), 0.0);
    hostile_blobs(psd_state_bytes(p), [&](void *b) { psd_get_state(p, b); },
                  [&](const void *b) { return psd_set_state(p, b); });
    psd_destroy(p);
    EXPECT_EQ(psd_create(2, PSD_WINDOW_HANN, 1, 0, 0, 1.0, 0.0f, 1.0, 0.1), nullptr);  // Hann of 2 sums to 0
    EXPECT_EQ(psd_create(1 << 20, 0, UINT64_MAX, 0, 0, 1.0, 0.0f, 1.0, 0.1), nullptr);   // n·pad wraps
}

TEST(Corr, ShortCapacityGetsTheFirstValuesOfTheDump)
{
    auto ref = noise(48, 2), x = noise(48, 3);
    for (uint64_t n_out : {48u, 96u}) {
        corr *a = corr_create(ref.data(), 48, 1, 1, n_out), *b = corr_create(ref.data(), 48, 1, 1, n_out);
        std::vector<vx_cf32> full(n_out), part(5);
        EXPECT_EQ(corr_execute(a, x.data(), 48, full.data(), n_out), n_out);
        EXPECT_EQ(corr_execute(b, x.data(), 48, part.data(), 5), 5u);
        EXPECT_EQ(std::memcmp(full.data(), part.data(), 5 * sizeof(vx_cf32)), 0);
        EXPECT_EQ(corr_get_count(b), 0u);
        corr_destroy(a);
        corr_destroy(b);
    }
    corr *c = corr_create(ref.data(), 48, 3, 1, 0);
    corr_execute(c, x.data(), 10, nullptr, 0);  // short frame, no output room: no dump due anyway
    std::vector<vx_cf32> kept(5);
    EXPECT_EQ(corr_get_ref(c, kept.data(), 5), 5u);  // the reference as given, cut to the room
    EXPECT_EQ(std::memcmp(kept.data(), ref.data(), 5 * sizeof(vx_cf32)), 0);
    hostile_blobs(corr_state_bytes(c), [&](void *b) { corr_get_state(c, b); },
                  [&](const void *b) { return corr_set_state(c, b); });
    corr_destroy(c);
}

TEST(Corr2d, EveryPathHonoursAShortCapacity)
{
    auto ref = noise(4 * 6, 4), x = noise(4 * 6, 5);
    std::vector<vx_cf32> row0(ref);
    for (size_t k = 6; k < row0.size(); ++k)
        row0[k] = {0, 0};
    struct Case {
        const vx_cf32 *ref;
        uint64_t ny_out, nx_out;
        int32_t col;
    } cases[] = {{ref.data(), 0, 0, -1}, {ref.data(), 8, 12, -1}, {row0.data(), 0, 0, -1},
                 {row0.data(), 0, 12, -1}, {row0.data(), 0, 0, 3}};
    for (const Case &k : cases) {
        corr2d *a = corr2d_create(k.ref, 4, 6, 1, 1, k.ny_out, k.nx_out, k.col);
        corr2d *b = corr2d_create(k.ref, 4, 6, 1, 1, k.ny_out, k.nx_out, k.col);
        ASSERT_NE(a, nullptr);
        const uint64_t n = corr2d_execute_max_out(a);
        std::vector<vx_cf32> full(n), part(7);
        EXPECT_EQ(corr2d_execute(a, x.data(), x.size(), full.data(), n), n);
        const uint64_t k7 = corr2d_execute(b, x.data(), 5, part.data(), 7);  // short frame too
        EXPECT_EQ(k7, n < 7 ? n : 7u);
        corr2d_destroy(a);
        corr2d_destroy(b);
    }
    corr2d *c = corr2d_create(row0.data(), 4, 6, 2, 1, 0, 0, -1);
    EXPECT_EQ(corr2d_set_ref(c, ref.data()), -1);  // row path keeps its reference
    std::vector<vx_cf32> got(24);
    EXPECT_EQ(corr2d_get_ref(c, got.data(), 30), 24u);
    EXPECT_EQ(std::memcmp(got.data(), row0.data(), 24 * sizeof(vx_cf32)), 0);
    EXPECT_EQ(corr2d_set_ref(c, row0.data()), 0);
    hostile_blobs(corr2d_state_bytes(c), [&](void *b) { corr2d_get_state(c, b); },
                  [&](const void *b) { return corr2d_set_state(c, b); });
    corr2d_destroy(c);
}

TEST(Detector, ASmallRecordArrayTakesOnlyWhatItCanReport)
{
    auto ref = noise(8, 6), x = noise(8 * 20 + 3, 7);
    detector *d = detector_create(ref.data(), 8, 1, 0, UINT64_MAX, DETECTOR_NOISE_MEDIAN, 0.0f, 1);
    detector_record rec[2];
    uint64_t used = 0, total = 0, got = 0;
    for (int calls = 0;; ++calls) {  // frames queued when the records ran out come next time
        const uint64_t k = detector_push(d, x.data() + total, x.size() - total, rec, 2, &used);
        got += k;
        total += used;
        if (total == x.size() && k < 2)
            break;
        ASSERT_LT(calls, 100);
    }
    EXPECT_EQ(got, 20u);
    EXPECT_EQ(detector_get_pending(d), 3u);
    hostile_blobs(detector_state_bytes(d), [&](void *b) { detector_get_state(d, b); },
                  [&](const void *b) { return detector_set_state(d, b); });
    detector_destroy(d);

    auto ref2 = noise(16, 8), y = noise(16 * 4, 9);
    detector2d *e = detector2d_create(ref2.data(), 4, 4, 1, 3, 1, 0.0f, DETECTOR_NOISE_MAX, 1);
    EXPECT_EQ(detector2d_get_noise_lo(e), 1u);
    detector2d_record r2[4];
    EXPECT_EQ(detector2d_push(e, y.data(), y.size(), r2, 4, nullptr), 4u);
    hostile_blobs(detector2d_state_bytes(e), [&](void *b) { detector2d_get_state(e, b); },
                  [&](const void *b) { return detector2d_set_state(e, b); });
    detector2d_destroy(e);
}

TEST(CarrierAcq, HostileBlobsAndRefusals)
{
    carrier_acq *a = carrier_acq_create(4, 0, nullptr, 0, 1, 5, 8000.0, 1000.0, 0.0, 0.0f, 1e-3, 0.9, 2.0);
    ASSERT_NE(a, nullptr);
    auto x = noise(130, 10);
    carrier_acq_steps(a, x.data(), x.size());
    hostile_blobs(carrier_acq_state_bytes(a), [&](void *b) { carrier_acq_get_state(a, b); },
                  [&](const void *b) { return carrier_acq_set_state(a, b); });
    float t[512];
    EXPECT_EQ(carrier_acq_get_template(a, t, 512), 0u);  // the default shape: nothing given
    std::vector<float> given(carrier_acq_get_nfft(a), 0.5f);
    carrier_acq *b = carrier_acq_create(4, 0, given.data(), given.size(), 1, 5, 8000.0, 1000.0, 0.0, 0.0f, 1e-3,
                                        0.9, 2.0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(carrier_acq_get_template(b, t, 3), 3u);
    EXPECT_EQ(t[2], 0.5f);
    carrier_acq_destroy(b);
    carrier_acq_destroy(a);
    EXPECT_EQ(carrier_acq_create(4, 0, nullptr, 0, 1, 5, 8000.0, 1000.0, 1e-12, 0.0f, 1e-3, 0.9, 2.0), nullptr);
    EXPECT_EQ(carrier_acq_create(4, 0, nullptr, 0, 1, 5, 8000.0, INFINITY, 0.0, 0.0f, 1e-3, 0.9, 2.0), nullptr);
    EXPECT_EQ(carrier_acq_create(1u << 30, 0, nullptr, 0, 1, 5, 8000.0, 1000.0, 0.0, 0.0f, 1e-3, 0.9, 2.0), nullptr);
}

TEST(Specmeas, NanInputsAndOversizedRequests)
{
    const float db[] = {0, NAN, 5, 1, 7, 2, NAN, 3, 0};
    vx_peak_t peaks[9];
    EXPECT_EQ(find_peaks_f32(db, 9, UINT64_MAX, peaks, -100.0f), 1u);  // a NaN neighbour disqualifies
    EXPECT_NEAR(peaks[0].level, 7.0f, 0.05f);  // refined above the bin
    EXPECT_EQ(noise_floor_db(db, 9), 3.0);  // sorted: 0 0 1 2 3 5 7 NaN NaN
    const double pw[] = {1, NAN, 1};
    EXPECT_EQ(obw_from_power(pw, 3, 1.0, 0.5), 0.0);
}
