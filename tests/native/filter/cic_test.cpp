// CIC decimator against exact integer arithmetic, and its maximally flat compensator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "blob_check.hpp"
#include "cic.h"
#include "cic_kernel.hpp"
#include "ciccomp.h"
#include "dsp_check.hpp"

namespace {

std::vector<vx_cf32> run(cic *c, const std::vector<vx_cf32> &x, const std::vector<size_t> &blocks)
{
    return dsp::feed_blocks(
        x, blocks,
        [c](const vx_cf32 *in, size_t n, vx_cf32 *out, size_t cap) {
            return cic_decimate(c, in, n, out, cap);
        },
        [](size_t n) { return n; });
}

// The same filter by definition: four length-r moving sums of the codes in 128-bit
// integers (no wrap anywhere), sampled after every r-th input, divided by r^4 (floor).
std::vector<float> reference(const std::vector<float> &v, uint32_t r)
{
    std::vector<__int128> s(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        const float c = std::fmin(std::fmax(v[i], -2.0f), 32767.0f / 16384.0f);
        s[i] = static_cast<int>(std::trunc(c * 16384.0f)) + 32768;
    }
    for (int stage = 0; stage < 4; ++stage) {
        std::vector<__int128> m(v.size());
        __int128 run_sum = 0;
        for (size_t i = 0; i < v.size(); ++i) {
            run_sum += s[i] - (i >= r ? s[i - r] : 0);
            m[i] = run_sum;
        }
        s.swap(m);
    }
    const __int128 r4 = static_cast<__int128>(r) * r * r * r;
    std::vector<float> out;
    for (size_t i = r - 1; i < v.size(); i += r)
        out.push_back(static_cast<float>(static_cast<long>(s[i] / r4) - 32768) / 16384.0f);
    return out;
}

double droop(double w, double r) { return std::pow(std::sin(w / 2) / (r * std::sin(w / (2 * r))), 4); }

} // namespace

TEST(Cic, AcceptsExactlyThePowersOfTwoTo2048)
{
    for (uint32_t r = 0; r <= 4096; ++r) {
        cic *c = cic_create(r);
        const bool pow2 = r >= 2 && r <= 2048 && (r & (r - 1)) == 0;
        EXPECT_EQ(c != nullptr, pow2) << r;
        if (c) {
            EXPECT_EQ(cic_get_ratio(c), r);
            EXPECT_EQ(cic_dc_gain(c), 1.0);
        }
        cic_destroy(c);
    }
    cic *c = cic_create(8);
    EXPECT_EQ(VX_ERR_INVALID, cic_reconfigure(c, 6));
    EXPECT_EQ(cic_get_ratio(c), 8u);
    EXPECT_EQ(VX_OK, cic_reconfigure(c, 2048));
    EXPECT_EQ(cic_get_ratio(c), 2048u);
    EXPECT_EQ(cic_decimate_max_out(c), 0u);
    cic_destroy(c);
    cic_destroy(nullptr);
}

TEST(Cic, ClippingIsStickyUntilReset)
{
    struct Case {
        float re, im;
        int clipped;
    };
    for (const Case k : {Case{2.0f, 0, 1}, Case{0, -2.5f, 1}, Case{1.99f, -1.99f, 0},
                         Case{-2.0f, 1.9999f, 0}, Case{NAN, 0, 1}, Case{0, INFINITY, 1}}) {
        cic *c = cic_create(4);
        const vx_cf32 x[3] = {{0, 0}, {k.re, k.im}, {0, 0}};
        vx_cf32 y[3];
        cic_decimate(c, x, 3, y, 3);
        EXPECT_EQ(cic_get_clipped(c), k.clipped) << k.re << " " << k.im;
        cic_destroy(c);
    }
}

TEST(Cic, ConstantSettlesExactlyAndLargeRatiosStayExact)
{
    for (uint32_t r : {2u, 8u, 64u, 2048u}) {
        cic *c = cic_create(r);
        const auto y = run(c, std::vector<vx_cf32>(8 * r, vx_cf32{1.0f, -0.5f}), {8 * r});
        ASSERT_EQ(y.size(), 8u);
        EXPECT_EQ(y[7].re, 1.0f) << r;
        EXPECT_EQ(y[7].im, -0.5f) << r;
        EXPECT_EQ(cic_get_clipped(c), 0);
        cic_destroy(c);
    }
    // Full-scale noise at the largest ratio: 60 bits in use, still bit-exact.
    for (uint32_t r : {2048u, 16u}) {
        const auto x = dsp::noise(r * 24 + 5, r, 1.2f);
        std::vector<float> re(x.size()), im(x.size());
        for (size_t i = 0; i < x.size(); ++i)
            re[i] = x[i].re, im[i] = x[i].im;
        cic *c = cic_create(r);
        const auto y = run(c, x, dsp::random_blocks(x.size(), r, 3 * r));
        const auto want_re = reference(re, r), want_im = reference(im, r);
        ASSERT_EQ(y.size(), want_re.size());
        for (size_t i = 0; i < y.size(); ++i) {
            EXPECT_EQ(y[i].re, want_re[i]) << "r " << r << " output " << i;
            EXPECT_EQ(y[i].im, want_im[i]) << "r " << r << " output " << i;
        }
        EXPECT_EQ(cic_get_clipped(c), 1); // 1.2σ noise passes ±2 somewhere
        cic_reset(c);
        EXPECT_EQ(cic_get_clipped(c), 0);
        cic_destroy(c);
    }
}

TEST(Cic, SplitsShortOutputAndBlob)
{
    const auto x = dsp::noise(1000, 4, 0.5f);
    vxtest::expect_split_invariant<cic, vx_cf32>(
        [] { return cic_create(16); }, cic_destroy,
        [&](cic *c, size_t first, size_t n, std::vector<vx_cf32> &out) {
            const size_t at = out.size();
            out.resize(at + n);
            out.resize(at + cic_decimate(c, x.data() + first, n, out.data() + at, n));
        },
        x.size(), {1, 15, 16, 17, 500});

    // Outputs past max_out are dropped, never the inputs.
    cic *a = cic_create(16), *b = cic_create(16);
    std::vector<vx_cf32> ya(100), yb(100);
    ASSERT_EQ(62u, cic_decimate(a, x.data(), 1000, ya.data(), 100));
    ASSERT_EQ(3u, cic_decimate(b, x.data(), 500, yb.data(), 3));
    ASSERT_EQ(31u, cic_decimate(b, x.data() + 500, 500, yb.data() + 3, 100));
    EXPECT_EQ(0, std::memcmp(ya.data() + 31, yb.data() + 3, 31 * sizeof(vx_cf32)));

    vxtest::expect_header_rules(a, cic_state_bytes, cic_get_state, cic_set_state);
    cic_decimate(a, x.data(), 7, ya.data(), 100); // phase 7 of 16
    std::vector<uint8_t> blob(cic_state_bytes(a));
    ASSERT_EQ(blob.size(), 149u);
    cic_get_state(a, blob.data());
    ASSERT_EQ(VX_OK, cic_set_state(b, blob.data()));
    ASSERT_EQ(cic_decimate(a, x.data(), 900, ya.data(), 100),
              cic_decimate(b, x.data(), 900, yb.data(), 100));
    EXPECT_EQ(0, std::memcmp(ya.data(), yb.data(), 56 * sizeof(vx_cf32)));

    std::vector<uint8_t> bad = blob;
    const uint32_t phase = 16;
    std::memcpy(&bad[144], &phase, 4);
    EXPECT_EQ(VX_ERR_INVALID, cic_set_state(b, bad.data())); // phase must be below r
    bad = blob;
    bad[148] = 2;
    EXPECT_EQ(VX_ERR_INVALID, cic_set_state(b, bad.data()));
    cic_destroy(a);
    cic_destroy(b);
}

TEST(CicComp, SevenTapsAreSymmetricWithUnitSumAndFlattenTheDroop)
{
    for (double r : {8.0, 64.0, 512.0}) {
        double c[7];
        ciccompmf(c, 4, r, 7);
        double sum = 0;
        for (int k = 0; k < 7; ++k) {
            EXPECT_EQ(c[k], c[6 - k]);
            sum += c[k];
        }
        EXPECT_NEAR(sum, 1.0, 1e-12);
        // Lower 20% of the output band: compensated within ±0.1 dB, raw droop beyond it.
        double worst = 0, raw = 0;
        for (int i = 0; i <= 400; ++i) {
            const double w = 0.2 * dsp::kPi * i / 400;
            double cw = c[3];
            for (int k = 1; k <= 3; ++k)
                cw += 2 * c[3 + k] * std::cos(k * w);
            const double h = i ? droop(w, r) : 1.0;
            worst = std::max(worst, std::fabs(20 * std::log10(cw * h)));
            raw = std::max(raw, std::fabs(20 * std::log10(h)));
        }
        EXPECT_LT(worst, 0.1) << r;
        EXPECT_GT(raw, 0.5) << r;
    }
}

TEST(CicComp, EvenLengthsLimitsAndBadArguments)
{
    double c[21];
    ciccompmf(c, 4, 16, 6); // half-integer offsets, DC row included
    double sum = 0;
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(c[k], c[5 - k]);
        sum += c[k];
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
    ciccompmf(c, 4, 16, 1);
    EXPECT_EQ(c[0], 1.0);
    for (int count : {20, 21}) {
        std::fill(c, c + 21, 5.0);
        ciccompmf(c, 4, 16, count);
        for (int k = 0; k < count; ++k)
            EXPECT_EQ(c[k], 0.0) << count;
    }
    std::fill(c, c + 21, 5.0);
    ciccompmf(c, 4, NAN, 7);
    EXPECT_EQ(c[3], 0.0);
    ciccompmf(c, 4, 16, 19); // the largest system solves
    EXPECT_TRUE(std::isfinite(c[9]));
    ciccompmf(nullptr, 4, 16, 7);

    double a[9] = {2, 1, 0, 1, 3, 1, 0, 1, 4}, b[3] = {3, 5, 5};
    ASSERT_EQ(VX_OK, ciccomp_solve(a, b, 3));
    for (double v : b)
        EXPECT_NEAR(v, 1.0, 1e-12);
    double s[4] = {1, 2, 2, 4}, t[2] = {1, 1};
    EXPECT_EQ(VX_ERR_INVALID, ciccomp_solve(s, t, 2)); // singular
    EXPECT_EQ(VX_ERR_INVALID, ciccomp_solve(a, b, 10));
    EXPECT_EQ(VX_ERR_INVALID, ciccomp_solve(a, b, 0));
}

// Every variant's quantiser and integrators leave the registers and the clip flag exactly
// as the scalar reference: random starting registers (wrap included), runs of every kind
// of length, and inputs at and beyond full scale, NaN and infinities among them.
TEST(CicKernel, VariantsMatchScalarReferenceBitForBit)
{
    namespace ck = vx::cic_kernel;
    constexpr uint64_t kMax = CIC_MAX_RATIO;
    std::mt19937_64 rng(11);
    std::vector<vx_cf32> x = dsp::noise(kMax, 12, 1.2f);
    const float edges[] = {2.0f, -2.0f, 32767.0f / 16384.0f, -2.5f, NAN, INFINITY, -INFINITY,
                           1.99993896f, -0.0f, 1e-40f};
    for (size_t k = 0; k < std::size(edges); ++k)
        x[37 * k + 5].re = x[53 * k + 2].im = edges[k];
    bool reached = false;
    for (const ck::Variant &v : ck::VARIANTS) {
        reached = reached || std::strcmp(v.level, vx_simd_level()) == 0;
        if (!reached)
            continue; // this machine cannot run it
        for (uint64_t m : {uint64_t{1}, uint64_t{3}, uint64_t{4}, uint64_t{7}, uint64_t{64},
                           uint64_t{255}, uint64_t{257}, uint64_t{1000}, kMax}) {
            ck::Lane want[2], got[2];
            for (ck::Lane &l : want)
                for (uint64_t &r : l.integ)
                    r = rng();
            std::memcpy(got, want, sizeof want);
            uint32_t clip_want = 0, clip_got = 0;
            const vx_cf32 *from = x.data() + (kMax - m);
            ck::reference(want, from, m, &clip_want);
            uint64_t code[2 * ck::kCodes];
            for (uint64_t at = 0; at < m; at += ck::kCodes) {
                const uint64_t n = std::min(ck::kCodes, m - at);
                v.quantise(from + at, n, code, &clip_got);
                v.integrate(got, code, n);
            }
            EXPECT_EQ(0, std::memcmp(want, got, sizeof want)) << v.level << " m=" << m;
            EXPECT_EQ(clip_want, clip_got) << v.level << " m=" << m;
        }
    }
}
