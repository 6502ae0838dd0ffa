#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "blob_check.hpp"
#include "dsp_check.hpp"
#include "lo.h"
#include "mix_kernel.hpp"

TEST(Lo, TableAndSamplesFollowTheUnitCircle)
{
    const float *t = lo_sin_table();
    EXPECT_EQ(t[0], 0.0f);
    EXPECT_NEAR(t[16384], 1.0f, 1e-6);
    EXPECT_NEAR(t[49152], -1.0f, 1e-6);
    lo *o = lo_create(0.01);
    std::vector<vx_cf32> y(1000);
    ASSERT_EQ(1000u, lo_steps(o, 1000, y.data(), 1000));
    for (size_t i = 0; i < y.size(); ++i) {
        const double ph = 2 * M_PI * 0.01 * double(i);
        // Table resolution 2^-16 cycle: about 1e-4 in amplitude.
        EXPECT_NEAR(y[i].re, std::cos(ph), 2e-4) << i;
        EXPECT_NEAR(y[i].im, std::sin(ph), 2e-4) << i;
    }
    lo_destroy(o);
}

TEST(Lo, NegativeFrequencyControlAndBlob)
{
    lo *o = lo_create(-0.25);
    EXPECT_EQ(lo_get_phase_inc(o), 0xC0000000u);
    vx_cf32 y[2];
    lo_steps(o, 2, y, 2);
    EXPECT_NEAR(y[1].im, -1.0f, 1e-6); // e^{-jπ/2}
    lo_set_norm_freq(o, 0.0);
    lo_set_phase(o, 0);
    const double ctrl[3] = {0.25, 0.25, 0.0};
    vx_cf32 z[3];
    EXPECT_EQ(3u, lo_steps_ctrl(o, ctrl, 3, z, 3));
    EXPECT_EQ(lo_get_phase(o), 0x80000000u); // control applied for two samples only
    EXPECT_EQ(lo_get_norm_freq(o), 0.0);
    EXPECT_EQ(0u, lo_steps(o, 3, z, 0));
    vxtest::expect_header_rules(o, lo_state_bytes, lo_get_state, lo_set_state);
    lo_destroy(o);
}

// Every mixer variant gives the scalar reference's bits and end phase: lengths around the
// vector widths, wrapping phases and increments, in place and not, odd values among the
// samples.
TEST(MixKernel, VariantsMatchScalarReferenceBitForBit)
{
    namespace mk = vx::mix_kernel;
    const float *table = lo_sin_table();
    std::vector<vx_cf32> x = dsp::noise(1000, 21, 3.0f);
    x[3] = {NAN, -0.0f};
    x[17] = {INFINITY, 1e-40f};
    const uint32_t incs[] = {0u, 1u, 0x1999999Au, 0x80000000u, 0xFFFFFFFFu, 0xE6666666u};
    bool reached = false;
    for (const mk::Variant &v : mk::VARIANTS) {
        reached = reached || std::strcmp(v.level, vx_simd_level()) == 0;
        if (!reached)
            continue; // this machine cannot run it
        for (uint32_t inc : incs)
            for (size_t n : {size_t{1}, size_t{7}, size_t{8}, size_t{15}, size_t{16}, size_t{17}, size_t{1000}}) {
                const uint32_t p = 0xFFFF0000u + static_cast<uint32_t>(n) * 977u;
                std::vector<vx_cf32> want(n), got(n), in_place(x.begin(), x.begin() + n);
                const uint32_t end = mk::reference(table, p, inc, x.data(), n, want.data());
                EXPECT_EQ(v.mix(table, p, inc, x.data(), n, got.data()), end) << v.level;
                EXPECT_EQ(v.mix(table, p, inc, in_place.data(), n, in_place.data()), end) << v.level;
                EXPECT_TRUE(dsp::same_bits(want, got)) << v.level << " n=" << n << " inc=" << inc;
                EXPECT_TRUE(dsp::same_bits(want, in_place)) << v.level << " n=" << n << " in place";
            }
    }
}
