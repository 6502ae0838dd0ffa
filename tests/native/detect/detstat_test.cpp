// Detection statistics through the C ABI: closed forms, documented values, the smallest-count
// contract, and bounded, well-defined results for every awkward input.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "detstat.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

// Relative-or-absolute closeness for probabilities spanning many decades.
::testing::AssertionResult Close(double got, double want, double rel, double abs_tol = 1e-300)
{
    if (std::fabs(got - want) <= std::max(rel * std::fabs(want), abs_tol))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got << ", want " << want;
}

}  // namespace

TEST(MarcumQ, ClosedFormsAndSymmetries)
{
    for (double b : {0.1, 1.0, 3.0, 10.0, 30.0})
        EXPECT_TRUE(Close(marcum_q(1, 0.0, b), std::exp(-b * b / 2), 1e-13));
    // Q_2(0, b) = (1 + b^2/2) exp(-b^2/2).
    for (double b : {0.5, 2.0, 7.0})
        EXPECT_TRUE(Close(marcum_q(2, 0.0, b), (1 + b * b / 2) * std::exp(-b * b / 2), 1e-13));
    for (int M : {1, 3, 16}) {
        EXPECT_EQ(marcum_q(M, 2.5, 0.0), 1.0);
        EXPECT_EQ(marcum_q(M, 2.5, -1.0), 1.0);
        EXPECT_EQ(marcum_q(M, -3.0, 4.0), marcum_q(M, 3.0, 4.0));  // depends on a^2 only
    }
    // Q_1(a, b) + Q_1(b, a) = 1 + exp(-(a^2 + b^2)/2) I_0(ab).
    for (double a : {0.3, 1.0, 4.0, 9.0})
        for (double b : {0.7, 2.0, 5.0, 8.5}) {
            const double want = 1.0 + std::exp(-(a * a + b * b) / 2) * std::cyl_bessel_i(0.0, a * b);
            EXPECT_TRUE(Close(marcum_q(1, a, b) + marcum_q(1, b, a), want, 1e-12)) << a << " " << b;
        }
    // Q_M grows with M and a, falls with b.
    EXPECT_LT(marcum_q(1, 2.0, 3.0), marcum_q(2, 2.0, 3.0));
    EXPECT_LT(marcum_q(2, 2.0, 3.0), marcum_q(2, 2.5, 3.0));
    EXPECT_GT(marcum_q(2, 2.0, 3.0), marcum_q(2, 2.0, 3.5));
}

TEST(MarcumQ, LargeAmplitudesStayBoundedAndGaussian)
{
    // At large amplitudes the envelope is nearly Gaussian about sqrt(a^2 + 2M - 1): one half at the mean.
    for (double a : {2e3, 1e5, 1e150, 1e300}) {
        const double mean = a * std::sqrt(1.0 + (1.0 / a) / a);
        EXPECT_NEAR(marcum_q(1, a, mean), 0.5, 1e-9) << a;
        EXPECT_EQ(marcum_q(1, a, a / 2), 1.0);
        EXPECT_EQ(marcum_q(1, a, 2 * a), 0.0);
    }
}

TEST(MarcumQ, NonFiniteAndOutOfDomain)
{
    EXPECT_TRUE(std::isnan(marcum_q(0, 1.0, 1.0)));
    EXPECT_TRUE(std::isnan(marcum_q(-3, 1.0, 1.0)));
    EXPECT_TRUE(std::isnan(marcum_q(1, NaN, 1.0)));
    EXPECT_TRUE(std::isnan(marcum_q(1, 1.0, NaN)));
    EXPECT_TRUE(std::isnan(marcum_q(1, inf, inf)));
    EXPECT_EQ(marcum_q(1, inf, 5.0), 1.0);
    EXPECT_EQ(marcum_q(1, 5.0, inf), 0.0);
    EXPECT_EQ(marcum_q(1, 5.0, 1e300), 0.0);
    EXPECT_EQ(marcum_q(1, 1e-300, 1e-300), 1.0);
    EXPECT_EQ(marcum_q(INT_MAX, 0.0, 1.0), 1.0);
}

TEST(Thresholds, DocumentedValues)
{
    EXPECT_NEAR(det_threshold(1e-3), std::sqrt(2 * std::log(1000.0)), 1e-15);
    EXPECT_NEAR(det_threshold(1e-3), 3.7169, 1e-4);
    EXPECT_NEAR(det_threshold_power(1e-3), 6.9078, 1e-4);
    EXPECT_EQ(det_threshold(0.0), inf);
    EXPECT_FALSE(std::signbit(det_threshold(1.0)));
    EXPECT_FALSE(std::signbit(det_threshold_power(1.0)));
    EXPECT_TRUE(std::isnan(det_threshold(2.0)));

    EXPECT_EQ(det_threshold_noncoherent(1e-3, 1), det_threshold(1e-3));
    EXPECT_EQ(det_threshold_noncoherent(1e-3, 0), det_threshold(1e-3));
    for (int L : {2, 4, 16, 100})
        for (double pfa : {0.3, 1e-3, 1e-9}) {
            const double eta = det_threshold_noncoherent(pfa, L);
            EXPECT_TRUE(Close(marcum_q(L, 0.0, eta), pfa, 1e-12)) << L << " " << pfa;
            EXPECT_GT(eta, det_threshold(pfa));  // more looks, higher threshold on the sum
        }
    EXPECT_EQ(det_threshold_noncoherent(0.0, 4), inf);
    EXPECT_EQ(det_threshold_noncoherent(1.0, 4), 0.0);
    EXPECT_TRUE(std::isnan(det_threshold_noncoherent(-0.5, 4)));
    EXPECT_TRUE(std::isnan(det_threshold_noncoherent(NaN, 4)));
}

TEST(Thresholds, FRatioClosedFormsAndMedian)
{
    for (int n : {1, 2, 3, 7, 40, 1000})
        EXPECT_NEAR(det_threshold_f(n, 0.5), 1.0, 1e-14) << n;
    for (double pfa : {0.3, 1e-3, 1e-9, 1e-12}) {
        // F(2, 2): P(F > t) = 1/(1 + t); F(1, 1): P(F > t) = (2/pi) asin(1/sqrt(1 + t)).
        EXPECT_TRUE(Close(det_threshold_f(2, pfa), 1.0 / pfa - 1.0, 1e-12));
        const double s = std::sin(M_PI / 2 * pfa);
        EXPECT_TRUE(Close(det_threshold_f(1, pfa), 1.0 / (s * s) - 1.0, 1e-12));
    }
    EXPECT_EQ(det_threshold_f(0, 0.01), 0.0);
    EXPECT_EQ(det_threshold_f(-4, 0.01), 0.0);
    EXPECT_EQ(det_threshold_f(4, 0.0), 0.0);
    EXPECT_EQ(det_threshold_f(4, 1.0), 0.0);
    EXPECT_EQ(det_threshold_f(4, NaN), 0.0);
}

TEST(Gaussian, QInverseAndSizing)
{
    EXPECT_EQ(det_q_inv(0.5), 0.0);
    EXPECT_NEAR(det_q_inv(0.025), 1.959963984540054, 1e-14);
    for (double p : {0.0, 1.0, -1.0, 2.0, NaN})
        EXPECT_EQ(det_q_inv(p), 0.0);
    for (double p : {1e-300, 1e-100, 1e-20, 1e-6, 0.01, 0.3}) {
        const double x = det_q_inv(p);
        EXPECT_TRUE(Close(0.5 * std::erfc(x / std::sqrt(2.0)), p, 1e-13)) << p;
    }
    // Above 1/2 the nearer tail 1 - p (exact there) is solved: Q^-1(p) = -Q^-1(1 - p).
    for (double p : {0.5000001, 0.7, 0.99, 1 - 1e-12, 1 - 1e-16})
        EXPECT_EQ(det_q_inv(p), -det_q_inv(1 - p)) << p;

    EXPECT_EQ(det_dwell_gauss(0.5, 1.0, 0.9, 1e-3), 77);
    EXPECT_EQ(det_dwell_gauss(1.0, 1.0, 0.1, 0.2), -1);  // pd <= pfa
    EXPECT_EQ(det_dwell_gauss(1.0, 1.0, 0.5, 0.5), -1);
    EXPECT_EQ(det_dwell_gauss(0.0, 1.0, 0.9, 0.1), -1);
    EXPECT_EQ(det_dwell_gauss(1.0, -1.0, 0.9, 0.1), -1);
    EXPECT_EQ(det_dwell_gauss(1e-300, 1.0, 0.9, 0.1), INT_MAX);  // capped
    EXPECT_EQ(det_dwell_gauss(1e300, 1.0, 0.9, 0.1), 1);
    EXPECT_EQ(det_dwell_gauss(inf, inf, 0.9, 0.1), -1);  // inf*0

    const double qf = det_q_inv(1e-3), qd = det_q_inv(0.9);
    EXPECT_DOUBLE_EQ(det_threshold_gauss(2.0, 0.9, 1e-3), 2.0 * qf / (qf - qd));
    EXPECT_EQ(det_threshold_gauss(0.0, 0.9, 1e-3), 0.0);
    EXPECT_EQ(det_threshold_gauss(2.0, 0.1, 0.2), 0.0);
    EXPECT_EQ(det_threshold_gauss(2.0, 1.0, 0.2), 0.0);
    EXPECT_EQ(det_threshold_gauss(NaN, 0.9, 0.2), 0.0);
}

TEST(LockVerification, DocumentedValuesAndSaturation)
{
    EXPECT_EQ(det_ema_alpha(0, 0), 1.0);
    EXPECT_DOUBLE_EQ(det_ema_alpha(0, 10), 2.0 / 11.0);
    EXPECT_EQ(det_ema_alpha(12, 3), 1.0);
    EXPECT_EQ(det_ema_alpha(NaN, 3), 1.0);
    EXPECT_NEAR(det_ema_alpha(3000, 3100), 2e-10, 1e-15);  // no overflow of 10^(dB/10)

    EXPECT_EQ(det_verify_count(1e-3, 1e-6), 2);
    EXPECT_EQ(det_verify_count(0.1, 1e-3), 3);
    EXPECT_EQ(det_verify_count(0.01, 1e-6), 3);
    EXPECT_EQ(det_verify_count(0.0, 1e-6), 1);
    EXPECT_EQ(det_verify_count(1e-3, 0.01), 1);
    for (double p : {1.0, 1.5, inf})
        EXPECT_EQ(det_verify_count(p, 1e-3), INT_MAX);
    for (double budget : {0.0, -1.0, NaN, -inf})
        EXPECT_EQ(det_verify_count(0.5, budget), INT_MAX);
    EXPECT_EQ(det_verify_count(NaN, 1e-3), INT_MAX);
    EXPECT_EQ(det_verify_count(1 - 1e-15, 1e-300), INT_MAX);  // would exceed the int range

    EXPECT_EQ(det_verify_delay(3, 1.0), 3.0);
    EXPECT_DOUBLE_EQ(det_verify_delay(2, 0.5), 6.0);
    EXPECT_DOUBLE_EQ(det_verify_delay(0, 0.5), 2.0);  // n below 1 counts as 1
    EXPECT_EQ(det_verify_delay(2, 0.0), inf);
    EXPECT_EQ(det_verify_delay(2, NaN), inf);
    EXPECT_EQ(det_verify_delay(INT_MAX, 0.5), inf);
}

TEST(Counts, SmallestMeetingTargetAndOneBelowFails)
{
    for (double snr : {0.1, 0.3, 1.0})
        for (double pd : {0.5, 0.9, 0.999}) {
            const double eta = det_threshold(1e-6);
            const int n = det_dwell(100000, snr, pd, 1e-6);
            ASSERT_GT(n, 0);
            EXPECT_GE(det_pd(n, snr, eta), pd);
            if (n > 1)
                EXPECT_LT(det_pd(n - 1, snr, eta), pd);
            const int np = det_dwell_power(100000, snr * snr, pd, 1e-6);
            EXPECT_NEAR(np, n, 1);  // same statistic, power units
        }
    for (auto [snr, N] : {std::pair{0.1, 64}, {0.2, 16}, {0.2, 64}}) {
        const int L = det_n_noncoh(N, 1000, snr, 0.9, 1e-6);
        ASSERT_GT(L, 0);
        EXPECT_GE(det_pd_noncoherent(N, L, snr, det_threshold_noncoherent(1e-6, L)), 0.9);
        if (L > 1)
            EXPECT_LT(det_pd_noncoherent(N, L - 1, snr, det_threshold_noncoherent(1e-6, L - 1)), 0.9);
    }
    EXPECT_EQ(det_n_noncoh(64, 100, 5.0, 0.9, 1e-3), 1);  // one look suffices
    EXPECT_EQ(det_n_noncoh(64, 2, 0.01, 0.9, 1e-6), -1);  // even max looks fall short
    EXPECT_EQ(det_n_noncoh(64, 0, 1.0, 0.9, 1e-6), -1);
    EXPECT_EQ(det_dwell(10, 0.1, 0.9, 1e-6), -1);
    EXPECT_EQ(det_dwell(0, 1.0, 0.9, 1e-6), -1);
    EXPECT_EQ(det_dwell(50, 1.0, NaN, 1e-6), -1);
}

TEST(Snr, ReachesTargetAndEndsOnUnreachableTargets)
{
    for (int n : {1, 10, 1000})
        for (double pd : {0.1, 0.5, 0.9}) {
            const double s = det_snr(n, pd, 1e-4);
            EXPECT_TRUE(Close(det_pd(n, s, det_threshold(1e-4)), pd, 1e-12));
            EXPECT_DOUBLE_EQ(det_snr_power(n, pd, 1e-4), s * s);
        }
    EXPECT_EQ(det_snr(10, 1.0, 1e-3), inf);
    EXPECT_EQ(det_snr(10, 2.0, 1e-3), inf);
    EXPECT_EQ(det_snr(10, 0.9, 0.0), inf);
    EXPECT_EQ(det_snr(10, inf, 1e-3), inf);
    EXPECT_LT(det_snr(10, 1e-4, 1e-3), 1e-15);  // already met without signal
    EXPECT_TRUE(std::isnan(det_snr(10, NaN, 1e-3)));
    EXPECT_TRUE(std::isnan(det_snr(10, 0.9, -1.0)));
    EXPECT_TRUE(std::isnan(det_snr(0, 0.9, 1e-3)));
}

// Every function, every awkward value in every argument: each call returns (bounded work),
// counts stay in their documented sets and nothing trips the sanitizers.
TEST(AwkwardInputs, EveryFunctionReturnsADefinedValue)
{
    const std::vector<double> d = {0.0, 1.0, -1.0, 1e-300, 1e300, NaN, inf, -inf};
    const std::vector<int> k = {0, 1, -1, 2};
    auto count_ok = [](int c) { return c == -1 || c >= 1; };
    for (double x : d) {
        (void)det_threshold(x), (void)det_threshold_power(x), (void)det_q_inv(x), (void)vx_lgamma(x);
        for (double y : d) {
            (void)det_ema_alpha(x, y);
            EXPECT_GE(det_verify_count(x, y), 1);
            for (double z : d) {
                (void)det_threshold_gauss(x, y, z);
                for (double w : d)
                    EXPECT_TRUE(count_ok(det_dwell_gauss(x, y, z, w)));
            }
        }
        for (int i : k) {
            (void)det_threshold_noncoherent(x, i), (void)det_threshold_f(i, x);
            (void)det_verify_delay(i, x);
            for (double y : d) {
                (void)det_snr(i, x, y), (void)det_snr_power(i, x, y);
                for (double z : d) {
                    (void)marcum_q(i, x, y), (void)det_pd(i, x, y), (void)det_pd_power(i, x, y);
                    EXPECT_TRUE(count_ok(det_dwell(i, x, y, z)));
                    EXPECT_TRUE(count_ok(det_dwell_power(i, x, y, z)));
                    for (int j : k) {
                        (void)det_pd_noncoherent(i, j, x, y);
                        for (double w : d)
                            EXPECT_TRUE(count_ok(det_n_noncoh(i, j, x, y, w)));
                    }
                }
            }
        }
    }
}
