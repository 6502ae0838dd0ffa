// Float-to-integer kernels: every variant this machine can run against the scalar
// reference, on blocks whose lengths leave every tail size, with NaN, infinities, signed
// zeros, exact halves and out-of-range values mixed in.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "f32_to_int.h"
#include "f32_to_int_kernel.hpp"

namespace fk = vx::f32_to_int_kernel;

namespace {

std::vector<float> samples(size_t n)
{
    std::mt19937 g(7);
    std::uniform_real_distribution<float> u(-1.3f, 1.3f);
    const float special[] = {NAN, -NAN, INFINITY, -INFINITY, 0.0f, -0.0f, 1.0f, -1.0f,
                             0.5f / 32768, -1.5f / 32768, 0.5f / 128, -2.5f / 128, 1e30f};
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = i % 5 == 0 ? special[(i / 5) % (sizeof special / sizeof *special)] : u(g);
    return x;
}

template <class F> void expect_variants_match(float scale)
{
    using Out = typename F::out;
    const std::vector<float> x = samples(1000);
    for (size_t n : {0, 1, 15, 16, 17, 47, 1000}) {
        std::vector<Out> ref(n), vec(n, Out(0x5A)), wide(n, Out(0x5A));
        uint32_t ref_clip = 0;
        for (size_t i = 0; i < n; ++i)
            ref[i] = fk::element<F>(x[i], scale, ref_clip);
        EXPECT_EQ(fk::convert<F>(x.data(), vec.data(), n, scale), ref_clip) << n;
        EXPECT_EQ(vec, ref) << "portable vectors, n = " << n;
        if constexpr (std::is_same_v<typename F::work, float>) {
            if (std::strcmp(vx_simd_level(), "avx512f") == 0) {
                EXPECT_EQ(fk::avx512<F>(x.data(), wide.data(), n, scale), ref_clip) << n;
                EXPECT_EQ(wide, ref) << "avx512, n = " << n;
            }
        }
    }
    // In range: no flag from any variant.
    const float quiet[20] = {0.25f, -0.25f, 0.0f, -0.0f};
    Out y[20];
    EXPECT_EQ(fk::run<F>(quiet, y, 20, typename F::work(F::hi) / 2), 0u);
}

}  // namespace

TEST(F32ToInt, EveryVariantMatchesTheReference)
{
    expect_variants_match<fk::I8>(128.0f);
    expect_variants_match<fk::I16>(32768.0f);
    expect_variants_match<fk::I32>(2147483648.0);
    expect_variants_match<fk::I16U32>(32768.0f);
    expect_variants_match<fk::I16U64>(32768.0f);
    expect_variants_match<fk::UQ15>(32768.0f);
    expect_variants_match<fk::I16>(3.0f);
}

TEST(F32ToInt, CAbiRefusesAndKeepsTheFlag)
{
    EXPECT_EQ(f32_to_i16_create(0.0f), nullptr);
    EXPECT_EQ(f32_to_i16_create(NAN), nullptr);
    EXPECT_EQ(f32_to_uq15_create(INFINITY), nullptr);
    f32_to_i16 *q = f32_to_i16_create(32768.0f);
    const float x[2] = {2.0f, 0.5f};
    int16_t y[2] = {7, 7};
    f32_to_i16_steps(q, x, y, 0);
    f32_to_i16_steps(q, nullptr, y, 2);
    EXPECT_EQ(y[0], 7);
    EXPECT_EQ(f32_to_i16_get_clipped(q), 0);
    f32_to_i16_steps(q, x, y, 2);
    EXPECT_EQ(y[0], 32767);
    EXPECT_EQ(y[1], 16384);
    EXPECT_EQ(f32_to_i16_get_clipped(q), 1);
    f32_to_i16_steps(q, x + 1, y, 1);
    EXPECT_EQ(f32_to_i16_get_clipped(q), 1);  // sticky
    f32_to_i16_reset(q);
    EXPECT_EQ(f32_to_i16_get_clipped(q), 0);
    f32_to_i16_destroy(q);
    f32_to_i16_destroy(nullptr);
}
