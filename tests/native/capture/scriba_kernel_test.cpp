// Every capture quantiser variant this machine runs against the scalar reference, bit for
// bit: codes, clip count and peak.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "scriba_kernel.hpp"

namespace {

namespace sk = vx::scriba_kernel;

// Gaussian components at a level that clips some, with the edge values spread through.
std::vector<float> inputs(size_t n)
{
    std::mt19937_64 rng(5);
    std::normal_distribution<float> d(0.0f, 0.6f);
    std::vector<float> x(n);
    for (float &v : x)
        v = d(rng);
    const float edges[] = {NAN, -NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 1.0f, -1.0f, 32767.0f / 32768.0f,
                           -0.0f, 0.5f / 32768, -0.5f / 32768, 1.5f / 32768, -2.5f / 32768, 127.5f / 128,
                           -128.5f / 128, 0.5f / 128, -0.5f / 128, 1e-40f, 3.4e38f, 32766.5f / 32768};
    for (size_t k = 0; k < std::size(edges); ++k)
        x[(97 * k + 3) % n] = edges[k];
    return x;
}

template <class T> void check(sk::kernel_fn<T> fn, const char *level)
{
    const std::vector<float> x = inputs(4099);
    for (float gain : {1.0f, 0.7071f, 3.0f})
        for (size_t off : {0, 1, 3})
            for (uint64_t m : {0, 1, 7, 15, 16, 31, 33, 64, 129, 4096}) {
                std::vector<T> want(m + 8, 0x55), got(m + 8, 0x55);  // oversized: nothing written past m
                float peak_want = 0.25f, peak_got = 0.25f;
                const uint64_t c_want = sk::reference<T>(x.data() + off, m, gain, want.data(), &peak_want);
                const uint64_t c_got = fn(x.data() + off, m, gain, got.data(), &peak_got);
                EXPECT_EQ(want, got) << level << " m=" << m << " gain=" << gain << " off=" << off;
                EXPECT_EQ(c_want, c_got) << level << " m=" << m;
                EXPECT_EQ(0, std::memcmp(&peak_want, &peak_got, sizeof(float))) << level << " m=" << m;
            }
}

TEST(ScribaKernel, EveryVariantMatchesTheReference)
{
    bool reached = false;
    for (const sk::Variant &v : sk::VARIANTS) {
        reached = reached || std::strcmp(v.level, vx_simd_level()) == 0;
        if (!reached)
            continue;  // this machine cannot run it
        check<int16_t>(v.i16, v.level);
        check<int8_t>(v.i8, v.level);
    }
    EXPECT_TRUE(reached);
}

TEST(ScribaKernel, ReferenceRoundsHalvesAwayAndCountsClips)
{
    const float x[] = {0.5f / 32768, -0.5f / 32768, 1.5f / 32768, -1.0f, 1.0f, NAN, -2.0f, 0.49999997f / 32768};
    int16_t q[8];
    float peak = 0;
    EXPECT_EQ(sk::reference<int16_t>(x, 8, 1.0f, q, &peak), 3u);  // 1.0, NaN, -2.0
    const int16_t want[8] = {1, -1, 2, -32768, 32767, 0, -32768, 0};
    EXPECT_EQ(0, std::memcmp(q, want, sizeof q));
    EXPECT_EQ(peak, 2.0f);
}

}  // namespace
