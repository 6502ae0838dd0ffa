// The C ABI of the FFT engines: what Python never reaches (short capacity, NULL input).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fft.h"
#include "fft2d.h"

TEST(Fft, ShortCapacityGetsTheFirstBinsOfTheFullTransform)
{
    for (uint64_t n : {64u, 60u}) {  // single-precision engine and the widened one
        fft *f = fft_create(n, -1, 1);
        ASSERT_NE(f, nullptr);
        std::vector<vx_cf32> x(n), full(n), part(5);
        for (uint64_t i = 0; i < n; ++i)
            x[i] = {static_cast<float>(i % 7), static_cast<float>(i % 3) - 1.0f};
        EXPECT_EQ(fft_execute_cf32(f, x.data(), n, full.data(), n), n);
        EXPECT_EQ(fft_execute_cf32(f, x.data(), n, part.data(), 5), 5u);
        EXPECT_EQ(std::memcmp(part.data(), full.data(), 5 * sizeof(vx_cf32)), 0);
        std::vector<int16_t> iq(2 * n, 0);
        EXPECT_EQ(fft_execute_ci16(f, iq.data(), iq.size(), part.data(), 3), 3u);
        fft_destroy(f);
    }
}

TEST(Fft, NullOrEmptyInputTransformsZeros)
{
    fft *f = fft_create(16, 1, 1);
    std::vector<vx_cf64> y(16, vx_cf64{9, 9});
    EXPECT_EQ(fft_execute_cf64(f, nullptr, 100, y.data(), 16), 16u);
    for (auto v : y)
        EXPECT_EQ(v.re, 0.0);
    EXPECT_EQ(fft_execute_cf64(f, y.data(), 16, nullptr, 16), 0u);
    EXPECT_EQ(fft_execute_cf64(nullptr, y.data(), 16, y.data(), 16), 0u);
    fft_destroy(f);
}

TEST(Fft, RefusesWhatFftwCannotTake)
{
    EXPECT_EQ(fft_create(0, -1, 1), nullptr);
    EXPECT_EQ(fft_create(VX_FFT_MAX_DIM + 1, -1, 1), nullptr);
    EXPECT_EQ(fft2d_create(4, 0, -1, 1), nullptr);
    EXPECT_EQ(fft2d_create(VX_FFT_MAX_DIM, VX_FFT_MAX_DIM, -1, 1), nullptr);  // size limit
    EXPECT_EQ(vx_fft_single_ok(16), 1);
    EXPECT_EQ(vx_fft_single_ok(4800), 1);
    EXPECT_EQ(vx_fft_single_ok(8), 0);
    EXPECT_EQ(vx_fft_single_ok(1000), 0);
    EXPECT_EQ(vx_fft_single_ok(16 * 7), 0);
    fft_destroy(nullptr);
    fft2d_destroy(nullptr);
    vx_fft_destroy_plan(nullptr);
}
