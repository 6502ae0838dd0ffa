// Windows, Kaiser rules and the lowpass designer through the C ABI.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "window.h"

namespace {

std::vector<float> make(void (*fill)(float *, uint64_t), uint64_t n)
{
    std::vector<float> w(n);
    fill(w.data(), n);
    return w;
}

void expect_near_all(const std::vector<float> &got, const std::vector<double> &want, double tol)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], tol) << "at " << i;
}

}  // namespace

TEST(Window, ReferenceValuesOfLengthEight)
{
    std::vector<float> k(8);
    kaiser_window(k.data(), 8, 6.0f);
    expect_near_all(k, {0.0149, 0.1998, 0.5913, 0.9454, 0.9454, 0.5913, 0.1998, 0.0149}, 5e-5);
    expect_near_all(make(hann_window, 8),
                    {0.0, 0.1883, 0.6113, 0.9505, 0.9505, 0.6113, 0.1883, 0.0}, 5e-5);
    expect_near_all(make(blackman_harris_window, 8),
                    {0.0001, 0.0334, 0.3328, 0.8894, 0.8894, 0.3328, 0.0334, 0.0001}, 5e-5);
    EXPECT_NEAR(kaiser_enbw(make(hann_window, 8).data(), 8), 1.7143, 5e-5);
}

TEST(Window, LengthOneIsOneAndLengthZeroWritesNothing)
{
    float w = 7.0f;
    kaiser_window(&w, 1, 8.0f);
    EXPECT_EQ(w, 1.0f);
    w = 7.0f;
    hann_window(&w, 1);
    EXPECT_EQ(w, 1.0f);
    w = 7.0f;
    blackman_harris_window(&w, 1);
    EXPECT_EQ(w, 1.0f);
    w = 7.0f;
    kaiser_window(&w, 0, 8.0f);
    hann_window(&w, 0);
    blackman_harris_window(&w, 0);
    EXPECT_EQ(w, 7.0f);
}

// Against the closed forms in double (the Kaiser one through libstdc++'s own I0), at
// float precision, for odd, even and long lengths.
TEST(Window, AgreesWithClosedFormsToFloatPrecision)
{
    const double pi = 3.14159265358979323846;
    for (uint64_t n : {2u, 3u, 16u, 33u, 256u, 1001u}) {
        for (float beta : {0.0f, 2.5f, 8.6f, 14.0f}) {
            std::vector<float> w(n);
            kaiser_window(w.data(), n, beta);
            for (uint64_t j = 0; j < n; ++j) {
                const double r = 2.0 * j / (n - 1) - 1.0;
                const double want = std::cyl_bessel_i(0.0, beta * std::sqrt(std::max(0.0, 1 - r * r))) /
                                    std::cyl_bessel_i(0.0, static_cast<double>(beta));
                ASSERT_NEAR(w[j], want, 4e-7 * std::max(1.0, want)) << n << " " << beta << " " << j;
            }
        }
        const std::vector<float> h = make(hann_window, n), b = make(blackman_harris_window, n);
        for (uint64_t i = 0; i < n; ++i) {
            const double x = 2 * pi * i / (n - 1);
            ASSERT_NEAR(h[i], 0.5 - 0.5 * std::cos(x), 2e-7) << n << " " << i;
            ASSERT_NEAR(b[i], 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) -
                                  0.01168 * std::cos(3 * x), 2e-7) << n << " " << i;
        }
    }
}

TEST(Window, EnbwOfRectangleIsOneAndUndefinedSumsGiveZero)
{
    std::vector<float> w(37, 1.0f);
    EXPECT_FLOAT_EQ(kaiser_enbw(w.data(), w.size()), 1.0f);
    EXPECT_EQ(kaiser_enbw(w.data(), 0), 0.0f);
    EXPECT_EQ(kaiser_enbw(nullptr, 5), 0.0f);
    std::vector<float> zeros(9, 0.0f);
    EXPECT_EQ(kaiser_enbw(zeros.data(), zeros.size()), 0.0f);
    const float opposite[2] = {1.0f, -1.0f};
    EXPECT_EQ(kaiser_enbw(opposite, 2), 0.0f);
}

TEST(Window, KaiserBetaBranches)
{
    EXPECT_EQ(kaiser_beta(20.9), 0.0);
    EXPECT_EQ(kaiser_beta(21.0), 0.0);
    EXPECT_DOUBLE_EQ(kaiser_beta(50.0), 0.5842 * std::pow(29.0, 0.4) + 0.07886 * 29.0);
    EXPECT_DOUBLE_EQ(kaiser_beta(50.0001), 0.1102 * (50.0001 - 8.7));
    EXPECT_NEAR(kaiser_beta_for_sidelobe(90.0), 11.9778, 5e-5);
    EXPECT_EQ(kaiser_beta_for_sidelobe(10.0), 0.0);
    EXPECT_EQ(kaiser_beta_for_sidelobe(13.26), 0.0);
    EXPECT_DOUBLE_EQ(kaiser_beta_for_sidelobe(60.0), 0.76609 * std::pow(46.74, 0.4) + 0.09834 * 46.74);
}

TEST(Window, KaiserNumTapsEstimateAndRefusals)
{
    EXPECT_EQ(kaiser_num_taps(1, 60, 0.2, 0.3), 38);
    EXPECT_EQ(kaiser_num_taps(0, 60, 0.2, 0.3), 0);
    EXPECT_EQ(kaiser_num_taps(-3, 60, 0.2, 0.3), 0);
    // 32 phases: total 52·0.0696521/0.1·32 + 1 = 1160.1 -> 1160 -> 1161 -> 1161/32 + 1 = 37.
    EXPECT_EQ(kaiser_num_taps(32, 60, 0.2, 0.3), 37);
    EXPECT_EQ(kaiser_num_taps(1, 8.0, 0.1, 0.2), 2);  // the smallest estimate: 1 -> 1/1 + 1
    // Meaningless estimates are refused, never truncated into a size.
    EXPECT_EQ(kaiser_num_taps(1, 60, 0.3, 0.3), 0);
    EXPECT_EQ(kaiser_num_taps(1, 60, 0.3, 0.2), 0);
    EXPECT_EQ(kaiser_num_taps(1, 7.9, 0.1, 0.2), 0);
    EXPECT_EQ(kaiser_num_taps(1, NAN, 0.1, 0.2), 0);
    EXPECT_EQ(kaiser_num_taps(1, 60, -INFINITY, 0.2), 0);
    EXPECT_EQ(kaiser_num_taps(1, 60, 0.1, NAN), 0);
    EXPECT_EQ(kaiser_num_taps(1, 1e300, 0.1, 0.2), 0);
    EXPECT_EQ(kaiser_num_taps(1, 60, 0.1, 0.1 + 1e-300), 0);
    EXPECT_EQ(kaiser_num_taps(1 << 30, 60, 0.1, 0.2), 0);
    EXPECT_GT(kaiser_num_taps(1, 60, 0.1, 0.1 + 3.7e-6), 0);  // just below the cap
}

TEST(Window, DesignLowpassDefaultsAndRefusals)
{
    ASSERT_EQ(design_lowpass_num_taps(0.4, 0.6, 60.0), 39u);
    std::vector<float> h(39);
    ASSERT_EQ(design_lowpass(h.data(), 0.4, 0.6, 60.0), VX_OK);
    EXPECT_EQ(h[19], 0.5f);  // 2·fc with fc = 0.25
    double sum = 0;
    for (int i = 0; i < 39; ++i) {
        EXPECT_EQ(h[i], h[38 - i]);
        sum += h[i];
    }
    EXPECT_NEAR(sum, 1.0, 0.01);

    float untouched = 3.0f;
    EXPECT_EQ(design_lowpass(&untouched, 0.6, 0.4, 60.0), VX_ERR_INVALID);
    EXPECT_EQ(design_lowpass(&untouched, 0.4, 0.6, 5.0), VX_ERR_INVALID);
    EXPECT_EQ(design_lowpass(&untouched, NAN, 0.6, 60.0), VX_ERR_INVALID);
    EXPECT_EQ(design_lowpass(&untouched, 0.4, 0.4 + 1e-12, 60.0), VX_ERR_INVALID);
    EXPECT_EQ(design_lowpass(nullptr, 0.4, 0.6, 60.0), VX_ERR_INVALID);
    EXPECT_EQ(untouched, 3.0f);
    EXPECT_EQ(design_lowpass_num_taps(0.4, 0.4, 60.0), 0u);
}
