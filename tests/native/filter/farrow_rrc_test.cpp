// Farrow interpolator and the RRC tap and bank builders.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "blob_check.hpp"
#include "dsp_check.hpp"
#include "farrow.h"
#include "rrc.h"

TEST(Farrow, EndPointsAreTheDelayedInputAndPolynomialsAreExact)
{
    const auto x = dsp::noise(50, 1);
    for (uint32_t order : {0u, 1u, 2u}) {
        for (float mu : {0.0f, 1.0f}) {
            farrow *f = farrow_create(order);
            std::vector<vx_cf32> y(x.size());
            ASSERT_EQ(x.size(), farrow_delay(f, x.data(), x.size(), y.data(), y.size(), mu));
            const size_t delay = mu == 0.0f ? 2 : 1;
            for (size_t i = delay; i < x.size(); ++i) {
                if (mu == 0.0f) { // h1 exactly
                    EXPECT_EQ(y[i].re, x[i - delay].re);
                    EXPECT_EQ(y[i].im, x[i - delay].im);
                } else {
                    EXPECT_NEAR(y[i].re, x[i - delay].re, 1e-5);
                    EXPECT_NEAR(y[i].im, x[i - delay].im, 1e-5);
                }
            }
            farrow_destroy(f);
        }
    }
    // Linear and parabolic (the alpha = 0.5 Farrow form) reproduce straight lines, the
    // cubic Lagrange form reproduces cubics.
    for (uint32_t order : {0u, 1u, 2u}) {
        const int degree = order == FARROW_CUBIC ? 3 : 1;
        auto p = [&](double t) { return std::pow(0.1 * t, degree) - 0.3 * t; };
        std::vector<vx_cf32> in(12);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = {static_cast<float>(p(static_cast<double>(i))), 0.0f};
        farrow *f = farrow_create(order);
        std::vector<vx_cf32> y(in.size());
        farrow_delay(f, in.data(), in.size(), y.data(), y.size(), 0.3f);
        for (size_t i = 4; i < in.size(); ++i)
            EXPECT_NEAR(y[i].re, p(static_cast<double>(i) - 2 + 0.3), 2e-5) << order << " " << i;
        farrow_destroy(f);
    }
    EXPECT_EQ(farrow_get_group_delay(nullptr), 2.0);
}

TEST(Farrow, ShortRoomBlobAndOrders)
{
    const auto x = dsp::noise(20, 2);
    farrow *a = farrow_create(FARROW_CUBIC), *b = farrow_create(FARROW_CUBIC);
    std::vector<vx_cf32> ya(20), yb(20);
    // Only three outputs fit, but all ten inputs enter the history.
    EXPECT_EQ(3u, farrow_delay(a, x.data(), 10, ya.data(), 3, 0.4f));
    farrow_delay(b, x.data(), 10, yb.data(), 10, 0.4f);
    EXPECT_EQ(0, std::memcmp(a, b, sizeof(farrow)));
    EXPECT_EQ(farrow_delay_max_out(a), 0u);

    ASSERT_EQ(farrow_state_bytes(a), 52u);
    vxtest::expect_header_rules(a, farrow_state_bytes, farrow_get_state, farrow_set_state);
    std::vector<uint8_t> blob(52);
    farrow_get_state(a, blob.data());
    farrow *c = farrow_create(FARROW_LINEAR);
    ASSERT_EQ(VX_OK, farrow_set_state(c, blob.data()));
    EXPECT_EQ(c->order, FARROW_CUBIC); // the order travels with the blob
    farrow_delay(a, x.data() + 10, 10, ya.data(), 10, 0.7f);
    farrow_delay(c, x.data() + 10, 10, yb.data(), 10, 0.7f);
    EXPECT_EQ(0, std::memcmp(ya.data(), yb.data(), 10 * sizeof(vx_cf32)));
    blob[48] = 3;
    EXPECT_EQ(VX_ERR_INVALID, farrow_set_state(c, blob.data()));

    EXPECT_EQ(nullptr, farrow_create(3));
    farrow d = {};
    d.order = 1;
    EXPECT_EQ(VX_ERR_INVALID, farrow_init(&d, 7));
    EXPECT_EQ(d.order, 1u);
    farrow_reset(a);
    EXPECT_EQ(a->h[3].re, 0.0f);
    farrow_destroy(a);
    farrow_destroy(b);
    farrow_destroy(c);
    farrow_destroy(nullptr);
}

TEST(Rrc, TapsHaveUnitEnergySymmetryAndNyquistZeros)
{
    std::vector<float> h(65);
    ASSERT_EQ(VX_OK, wfm_rrc_taps(4, 8, h.data(), 0.35));
    double energy = 0;
    for (size_t i = 0; i < h.size(); ++i) {
        energy += static_cast<double>(h[i]) * h[i];
        EXPECT_EQ(h[i], h[64 - i]);
    }
    EXPECT_NEAR(energy, 1.0, 1e-6);
    // Matched with itself it is a raised cosine: zero at every other symbol instant.
    for (int k = 1; k <= 6; ++k) {
        double s = 0;
        for (int i = 0; i < 65; ++i)
            if (i + 4 * k < 65)
                s += static_cast<double>(h[i]) * h[i + 4 * k];
        EXPECT_LT(std::fabs(s), 3e-3) << k;
    }
    // beta = 0.25, sps = 4 lands on |t| = 1/(4·beta): the limit value, continuous.
    std::vector<float> g(33);
    ASSERT_EQ(VX_OK, wfm_rrc_taps(4, 4, g.data(), 0.25));
    const double side = wfm_rrc_pulse(1.0, 0.25);
    EXPECT_NEAR(side, wfm_rrc_pulse(1.0 + 1e-6, 0.25), 1e-5);
    EXPECT_NEAR(g[20] / g[16], side / wfm_rrc_pulse(0.0, 0.25), 1e-6);
    EXPECT_NEAR(wfm_rrc_pulse(0.0, 0.35), 1 + 0.35 * (4 / dsp::kPi - 1), 1e-15);

    for (double bad : {-0.1, 1.5, double(NAN)})
        EXPECT_EQ(VX_ERR_INVALID, wfm_rrc_taps(4, 8, h.data(), bad));
    EXPECT_EQ(VX_ERR_INVALID, wfm_rrc_taps(0, 8, h.data(), 0.35));
    EXPECT_EQ(VX_ERR_INVALID, wfm_rrc_taps(4, ~0ull / 2, h.data(), 0.35));
}

TEST(Rrc, PolyphaseBanks)
{
    const float src[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    float bank[12];
    ASSERT_EQ(VX_OK, wfm_polyphase_bank(src, 10, 3, 4, bank));
    const float want[12] = {0, 3, 6, 9, 1, 4, 7, 0, 2, 5, 8, 0};
    EXPECT_EQ(0, std::memcmp(bank, want, sizeof bank));
    EXPECT_EQ(VX_ERR_INVALID, wfm_polyphase_bank(src, 10, 0, 4, bank));
    EXPECT_EQ(VX_ERR_INVALID, wfm_polyphase_bank(nullptr, 10, 3, 4, bank));
    EXPECT_EQ(VX_ERR_INVALID, wfm_polyphase_bank(src, 10, ~0ull, 4, bank));

    std::vector<float> taps(17), arms(4 * 5, -1.0f);
    wfm_rrc_taps(4, 2, taps.data(), 0.5);
    ASSERT_EQ(VX_OK, wfm_rrc_polyphase_bank(4, 2, arms.data(), 0.5));
    for (size_t p = 0; p < 4; ++p)
        for (size_t k = 0; k < 5; ++k) {
            const size_t at = p + 4 * k;
            EXPECT_FLOAT_EQ(arms[p * 5 + k], at < 17 ? 2.0f * taps[at] : 0.0f) << p << "," << k;
        }
    std::vector<float> untouched(arms);
    EXPECT_EQ(VX_ERR_INVALID, wfm_rrc_polyphase_bank(4, 2, arms.data(), 2.0));
    EXPECT_EQ(arms, untouched);
}
