// Halfband decimators: the filter they compute, block splits, blobs and bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "blob_check.hpp"
#include "dsp_check.hpp"
#include "hbdecim.h"

namespace {

// The defining sum, written out plainly: pairs of taps around the centre, acc from 0 in
// ascending k, then the centre tap; inputs before the first one are zero.
std::vector<vx_cf32> reference(const std::vector<vx_cf32> &x, const float *t, long n)
{
    const long h = n / 2;
    auto at = [&](long i) { return i < 0 ? vx_cf32{0, 0} : x[static_cast<size_t>(i)]; };
    std::vector<vx_cf32> y;
    for (long m = 0; 2 * m + 1 < static_cast<long>(x.size()); ++m) {
        float re = 0, im = 0;
        for (long k = 0; k < h; ++k) {
            const long i1 = (n & 1) ? 2 * m - 1 - 2 * k : 2 * m - 2 * k;
            const long i2 = (n & 1) ? 2 * m + 1 - 2 * (n - 1 - k) : 2 * m - 2 * (n - 1 - k);
            const float c = t[k] * 0.5f;
            re += c * (at(i1).re + at(i2).re);
            im += c * (at(i1).im + at(i2).im);
        }
        const vx_cf32 mid = at((n & 1) ? 2 * m - 2 * h : 2 * m + 1 - 2 * h);
        y.push_back({re + 0.5f * mid.re, im + 0.5f * mid.im});
    }
    return y;
}

std::vector<vx_cf32> run(hbdecim *h, const std::vector<vx_cf32> &x,
                         const std::vector<size_t> &blocks)
{
    return dsp::feed_blocks(
        x, blocks,
        [h](const vx_cf32 *in, size_t n, vx_cf32 *out, size_t cap) {
            return hbdecim_execute(h, in, n, out, cap);
        },
        [h](size_t n) { return hbdecim_execute_max_out(h, n); });
}

std::vector<vx_cf32> run_r2c(hbdecim_r2c *h, const std::vector<float> &x,
                             const std::vector<size_t> &blocks)
{
    return dsp::feed_blocks(
        x, blocks,
        [h](const float *in, size_t n, vx_cf32 *out, size_t cap) {
            return hbdecim_r2c_execute(h, in, n, out, cap);
        },
        [h](size_t n) { return hbdecim_r2c_execute_max_out(h, n); });
}

} // namespace

TEST(Hbdecim, SettlesToItsDcGain)
{
    double sum = 0;
    for (unsigned k = 0; k < 18; ++k) {
        EXPECT_EQ(VX_HB_FIR[k], VX_HB_FIR[17 - k]);
        sum += VX_HB_FIR[k];
    }
    EXPECT_NEAR(sum, 1.00056, 5e-6);
    EXPECT_EQ(VX_HB_FIR[18], 0.0f);
    hbdecim *h = hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR);
    ASSERT_NE(h, nullptr);
    EXPECT_NEAR(hbdecim_dc_gain(h), 1.00028, 5e-6);
    EXPECT_EQ(hbdecim_get_rate(h), 0.5);
    EXPECT_EQ(hbdecim_get_num_taps(h), 19u);
    const std::vector<vx_cf32> ones(200, vx_cf32{1.0f, -1.0f});
    const auto y = run(h, ones, {200});
    ASSERT_EQ(y.size(), 100u);
    EXPECT_EQ(y[0].re, 0.0f); // the first output precedes its own pair
    for (size_t m = 20; m < y.size(); ++m) {
        EXPECT_NEAR(y[m].re, 1.00028, 5e-6);
        EXPECT_NEAR(y[m].im, -1.00028, 5e-6);
    }
    hbdecim_destroy(h);
}

TEST(Hbdecim, MatchesTheDefiningSumForAnySplitAndTableLength)
{
    const auto x = dsp::noise(3001, 7);
    std::vector<float> table(40);
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = 0.01f * static_cast<float>(i + 1);
    struct Case {
        const float *t;
        long n;
    };
    for (const Case c : {Case{VX_HB_FIR, 19}, Case{table.data(), 8}, Case{table.data(), 1},
                         Case{table.data(), 2}, Case{table.data(), 33}}) {
        const auto want = reference(x, c.t, c.n);
        for (unsigned seed : {1u, 2u, 3u}) {
            hbdecim *h = hbdecim_create(static_cast<uint64_t>(c.n), c.t);
            ASSERT_NE(h, nullptr);
            // Blocks up to 1200 samples cross the internal chunking; odd blocks hold a sample.
            const auto got = run(h, x, dsp::random_blocks(x.size(), seed, seed == 1 ? 1200 : 9));
            EXPECT_TRUE(dsp::same_bits(got, want)) << "n = " << c.n << ", seed " << seed;
            hbdecim_destroy(h);
        }
    }
}

TEST(Hbdecim, OddSplitEqualsOneCallBitForBit)
{
    const auto x = dsp::noise(1001, 3);
    vxtest::expect_split_invariant<hbdecim, vx_cf32>(
        [] { return hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR); }, hbdecim_destroy,
        [&](hbdecim *h, size_t first, size_t n, std::vector<vx_cf32> &out) {
            const size_t at = out.size();
            out.resize(at + n);
            out.resize(at + hbdecim_execute(h, x.data() + first, n, out.data() + at, n));
        },
        x.size(), {1, 4, 513, 520, 999});
}

TEST(Hbdecim, ShortMaxOutStillConsumesEveryInput)
{
    const auto x = dsp::noise(600, 5);
    hbdecim *whole = hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR);
    hbdecim *part = hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR);
    std::vector<vx_cf32> a(300), b(300);
    ASSERT_EQ(300u, hbdecim_execute(whole, x.data(), 600, a.data(), 300));
    // 401 inputs complete 200 outputs; only 7 fit, the rest are skipped but the delay line
    // and the held sample move on, so the next call continues the stream seamlessly.
    EXPECT_EQ(7u, hbdecim_execute(part, x.data(), 401, b.data(), 7));
    EXPECT_EQ(0u, hbdecim_execute(part, x.data(), 0, b.data(), 7));
    EXPECT_EQ(100u, hbdecim_execute(part, x.data() + 401, 199, b.data() + 7, 100));
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), 7 * sizeof(vx_cf32)));
    EXPECT_EQ(0, std::memcmp(a.data() + 200, b.data() + 7, 100 * sizeof(vx_cf32)));
    EXPECT_EQ(0u, hbdecim_execute(part, nullptr, 10, b.data(), 10));
    hbdecim_destroy(whole);
    hbdecim_destroy(part);

    // The real-input form also keeps its output sign sequence through skipped outputs.
    std::vector<float> xr(600);
    for (size_t i = 0; i < xr.size(); ++i)
        xr[i] = x[i].im;
    hbdecim_r2c *rw = hbdecim_r2c_create(VX_HB_FIR_LEN, VX_HB_FIR);
    hbdecim_r2c *rp = hbdecim_r2c_create(VX_HB_FIR_LEN, VX_HB_FIR);
    ASSERT_EQ(300u, hbdecim_r2c_execute(rw, xr.data(), 600, a.data(), 300));
    EXPECT_EQ(3u, hbdecim_r2c_execute(rp, xr.data(), 403, b.data(), 3));
    EXPECT_EQ(99u, hbdecim_r2c_execute(rp, xr.data() + 403, 197, b.data() + 3, 100));
    EXPECT_EQ(0, std::memcmp(a.data() + 201, b.data() + 3, 99 * sizeof(vx_cf32)));
    hbdecim_r2c_destroy(rw);
    hbdecim_r2c_destroy(rp);
}

TEST(Hbdecim, BlobRoundTripRotationAndHostileFields)
{
    const auto x = dsp::noise(400, 11);
    hbdecim *a = hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR);
    std::vector<vx_cf32> y(400);
    hbdecim_execute(a, x.data(), 201, y.data(), 400); // leaves a held sample
    ASSERT_EQ(hbdecim_state_bytes(a), 1068u);
    std::vector<uint8_t> blob(hbdecim_state_bytes(a));
    hbdecim_get_state(a, blob.data());
    vxtest::expect_header_rules(a, hbdecim_state_bytes, hbdecim_get_state, hbdecim_set_state);

    // The rings are read from any write position: rotate both by 5 slots.
    std::vector<uint8_t> rotated = blob;
    const uint64_t pos = 5, size = 32;
    for (int ring = 0; ring < 2; ++ring) {
        const size_t base = 44 + ring * 16 * size;
        for (uint64_t j = 0; j < size; ++j)
            for (uint64_t copy : {uint64_t{0}, size})
                std::memcpy(&rotated[base + 8 * ((pos + j) % size + copy)], &blob[base + 8 * j], 8);
    }
    std::memcpy(&rotated[16], &pos, 8);
    std::memcpy(&rotated[24], &pos, 8);

    std::vector<vx_cf32> ya(200), yb(200);
    const size_t na = hbdecim_execute(a, x.data() + 201, 199, ya.data(), 200);
    for (const auto *b : {&blob, &rotated}) {
        hbdecim *c = hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR);
        ASSERT_EQ(VX_OK, hbdecim_set_state(c, b->data()));
        ASSERT_EQ(na, hbdecim_execute(c, x.data() + 201, 199, yb.data(), 200));
        EXPECT_EQ(0, std::memcmp(ya.data(), yb.data(), na * sizeof(vx_cf32)));
        hbdecim_destroy(c);
    }

    auto patched = [&](size_t off, uint64_t v, size_t width) {
        std::vector<uint8_t> b = blob;
        std::memcpy(&b[off], &v, width);
        return hbdecim_set_state(a, b.data());
    };
    std::vector<uint8_t> before(blob.size());
    hbdecim_get_state(a, before.data());
    EXPECT_EQ(VX_ERR_INVALID, patched(16, 32, 8)); // pos_a = size
    EXPECT_EQ(VX_ERR_INVALID, patched(24, ~0ull, 8));
    EXPECT_EQ(VX_ERR_INVALID, patched(32, 2, 4)); // pending not a flag
    std::vector<uint8_t> after(blob.size());
    hbdecim_get_state(a, after.data());
    EXPECT_EQ(before, after);
    hbdecim_destroy(a);
}

TEST(Hbdecim, CreateRefusesBadTables)
{
    EXPECT_EQ(nullptr, hbdecim_create(0, VX_HB_FIR));
    EXPECT_EQ(nullptr, hbdecim_create(19, nullptr));
    EXPECT_EQ(nullptr, hbdecim_create(HBDECIM_MAX_TAPS + 1, VX_HB_FIR));
    EXPECT_EQ(nullptr, hbdecim_create(~0ull, VX_HB_FIR));
    EXPECT_EQ(nullptr, hbdecim_r2c_create(0, VX_HB_FIR));
    EXPECT_EQ(nullptr, hbdecim_r2c_create(19, nullptr));
    hbdecim_destroy(nullptr);
    hbdecim_r2c_destroy(nullptr);
}

TEST(HbdecimR2c, IsTwiceTheComplexHalfbandOfTheShiftedInput)
{
    std::vector<float> table(40);
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = 0.02f * static_cast<float>(i % 7) - 0.05f;
    const auto noise = dsp::noise(2001, 9);
    std::vector<float> x(noise.size());
    std::vector<vx_cf32> shifted(x.size());
    for (size_t k = 0; k < x.size(); ++k) {
        const float v = x[k] = noise[k].re;
        const vx_cf32 by_k[4] = {{v, 0}, {0, -v}, {-v, 0}, {0, v}}; // v·(−j)^k
        shifted[k] = by_k[k % 4];
    }
    struct Case {
        const float *t;
        uint64_t n;
    };
    for (const Case c : {Case{VX_HB_FIR, 19}, Case{table.data(), 17}, Case{table.data(), 12},
                         Case{table.data(), 10}}) {
        hbdecim *cx = hbdecim_create(c.n, c.t);
        hbdecim_r2c *rx = hbdecim_r2c_create(c.n, c.t);
        const auto want = run(cx, shifted, {shifted.size()});
        const auto got = run_r2c(rx, x, dsp::random_blocks(x.size(), c.n, 700));
        ASSERT_EQ(got.size(), want.size());
        size_t bad = 0;
        for (size_t m = 0; m < got.size(); ++m) // == : the shift may leave a −0 for a +0
            bad += got[m].re != 2 * want[m].re || got[m].im != 2 * want[m].im;
        EXPECT_EQ(bad, 0u) << "n = " << c.n;
        hbdecim_destroy(cx);
        hbdecim_r2c_destroy(rx);
    }
}

TEST(HbdecimR2c, MapsARealToneTo2fMinusHalf)
{
    // Reference in double: shift by (−j)^k, the 35-tap halfband, keep every second, × 2.
    const size_t n = 8192;
    const double amp = 0.7, f = 0.1;
    std::vector<float> x(n);
    for (size_t k = 0; k < n; ++k)
        x[k] = static_cast<float>(amp * std::cos(2 * dsp::kPi * f * static_cast<double>(k) + 0.3));
    double g[35] = {0};
    for (int i = 0; i < 35; i += 2)
        g[i] = VX_HB_FIR[i / 2] / 2.0;
    g[17] = 0.5;
    hbdecim_r2c *h = hbdecim_r2c_create(VX_HB_FIR_LEN, VX_HB_FIR);
    EXPECT_NEAR(hbdecim_r2c_dc_gain(h), 1.00028, 5e-6);
    const auto y = run_r2c(h, x, {3, 4000, n - 4003});
    ASSERT_EQ(y.size(), n / 2);
    double worst = 0;
    for (size_t m = 0; m < y.size(); ++m) {
        dsp::cd acc = 0;
        for (long i = 0; i < 35; ++i) {
            const long k = 2 * static_cast<long>(m) - 1 - i;
            if (k >= 0)
                acc += g[i] * static_cast<double>(x[k]) * std::pow(dsp::cd(0, -1), k % 4);
        }
        worst = std::max(worst, std::abs(dsp::cd(y[m].re, y[m].im) - 2.0 * acc));
    }
    EXPECT_LT(worst, 2e-6);

    const dsp::Spectrum s(y, 64, 2048);
    const double f_out = 2 * f - 0.5;
    EXPECT_NEAR(s.amplitude(f_out), amp * 1.00028, 2e-4);
    EXPECT_LT(s.amplitude(-f_out), 1e-3 * amp); // the real tone's other line is filtered out
    hbdecim_r2c_destroy(h);
}

TEST(HbdecimR2c, BlobAndHostileFields)
{
    std::vector<float> x(301);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = std::sin(0.37f * static_cast<float>(i));
    hbdecim_r2c *a = hbdecim_r2c_create(VX_HB_FIR_LEN, VX_HB_FIR);
    std::vector<vx_cf32> y(200), z(200);
    hbdecim_r2c_execute(a, x.data(), 151, y.data(), 200); // odd output count, held sample
    ASSERT_EQ(hbdecim_r2c_state_bytes(a), 556u);
    vxtest::expect_header_rules(a, hbdecim_r2c_state_bytes, hbdecim_r2c_get_state,
                                hbdecim_r2c_set_state);
    std::vector<uint8_t> blob(556);
    hbdecim_r2c_get_state(a, blob.data());
    hbdecim_r2c *b = hbdecim_r2c_create(VX_HB_FIR_LEN, VX_HB_FIR);
    ASSERT_EQ(VX_OK, hbdecim_r2c_set_state(b, blob.data()));
    const size_t n = hbdecim_r2c_execute(a, x.data() + 151, 150, y.data(), 200);
    ASSERT_EQ(n, hbdecim_r2c_execute(b, x.data() + 151, 150, z.data(), 200));
    EXPECT_EQ(0, std::memcmp(y.data(), z.data(), n * sizeof(vx_cf32)));

    for (auto [off, v] : {std::pair<size_t, uint32_t>{16, 32}, {24, 40}, {32, 2}, {40, 2}}) {
        std::vector<uint8_t> bad = blob;
        std::memcpy(&bad[off], &v, 4);
        EXPECT_EQ(VX_ERR_INVALID, hbdecim_r2c_set_state(b, bad.data())) << "offset " << off;
    }
    hbdecim_r2c_destroy(a);
    hbdecim_r2c_destroy(b);
}
