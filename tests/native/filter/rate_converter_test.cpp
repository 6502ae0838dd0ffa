// Rate converter planning, matched banks, refusals and blobs through the C ABI.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "blob_check.hpp"
#include "rate_converter.h"

namespace {

std::string labels(const RateConverter *rc)
{
    std::string s;
    for (int i = 0; i < RateConverter_num_stages(rc); ++i)
        s += (i ? " + " : "") + std::string(RateConverter_stages_value(rc, i));
    return s;
}

std::string plan(double rate, int compensate = 0)
{
    RateConverter *rc = RateConverter_create(compensate, rate);
    if (!rc)
        return "NULL";
    std::string s = labels(rc);
    RateConverter_destroy(rc);
    return s;
}

std::vector<vx_cf32> tone(size_t n, double f)
{
    std::vector<vx_cf32> x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = {float(std::cos(2 * M_PI * f * i)), float(std::sin(2 * M_PI * f * i))};
    return x;
}

}  // namespace

TEST(RateConverter, PlansTheCheapestCascade)
{
    EXPECT_EQ(plan(0.25), "HalfbandDecimator + HalfbandDecimator");
    EXPECT_EQ(plan(0.5), "HalfbandDecimator");
    EXPECT_EQ(plan(0.125), "CIC(8)");
    EXPECT_EQ(plan(0.125, 1), "CIC(8)+FIR");
    EXPECT_EQ(plan(1.0 / 4096), "CIC(2048) + Resampler(0.5)");
    EXPECT_EQ(plan(0.1), "CIC(8) + Resampler(0.8)");
    EXPECT_EQ(plan(0.3), "Resampler(0.3)");
    EXPECT_EQ(plan(1.5), "Resampler(1.5)");
    EXPECT_EQ(plan(65536.0), "Resampler(65536)");
    EXPECT_EQ(plan(1.0 / 12), "CIC(16) + Resampler(1.33333)");
    // Rates that cannot be planned: not positive, not finite, or a resampler step of 0.
    for (double bad : {0.0, -1.0, double(NAN), double(INFINITY), 1e10, 65536.5, 1e-20})
        EXPECT_EQ(plan(bad), "NULL") << bad;
}

TEST(RateConverter, MatchedPlansAndRefusals)
{
    RateConverter *rc = RateConverter_create_matched(1, RC_PULSE_RRC, 8, 64, 0.5, 0.35, 2.0);
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(labels(rc), "HalfbandDecimator + Resampler(1,rrc)");
    EXPECT_EQ(RateConverter_num_bank_shape(rc), 2);
    EXPECT_EQ(RateConverter_bank_shape_value(rc, 0), 64u);
    EXPECT_DOUBLE_EQ(RateConverter_get_bank_sps(rc), 2.0);
    RateConverter_destroy(rc);

    rc = RateConverter_create_matched(1, RC_PULSE_RRC, 8, 64, 1.0 / 16, 0.35, 2.0);
    EXPECT_EQ(labels(rc), "CIC(16) + Resampler(1,rrc)"); // compensator folded into the bank
    RateConverter_destroy(rc);

    EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_RRC, 8, 1000, 0.5, 0.35, 2.0));
    EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_NONE, 8, 64, 0.5, 0.35, 2.0));
    EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_RRC, 0, 64, 0.5, 0.35, 2.0));
    EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_RRC, 8, 64, 0.5, 1.5, 2.0));
    EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_RRC, 8, uint64_t(1) << 61, 0.5, 0.35, 2.0));
    EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_RRC, ~uint64_t(0), 64, 0.5, 0.35, 2.0));
    EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_RRC, 8, 64, 0.5, 0.35, INFINITY));
    EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_RRC, 8, 64, NAN, 0.35, 2.0));
    // Every parameter in range, but 65536 arms of 2050 taps: a bank of half a gigabyte.
    EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_RRC, 64, 65536, 1.0, 0.35, 16.0));

    RateConverter *plain = RateConverter_create(0, 0.5);
    EXPECT_EQ(VX_ERR_INVALID, RateConverter_enable_agc(plain, 0.01, 0.1));
    RateConverter_destroy(plain);
}

TEST(RateConverter, IanddAtUnitRatePassesAConstant)
{
    RateConverter *rc = RateConverter_create_matched(0, RC_PULSE_IANDD, 1, 64, 1.0, 0.0, 4.0);
    ASSERT_NE(rc, nullptr);
    std::vector<vx_cf32> x(200, vx_cf32{0.75f, -0.5f}), y(400);
    const uint64_t n = RateConverter_execute(rc, x.data(), x.size(), y.data(), y.size());
    ASSERT_GT(n, 100u);
    EXPECT_NEAR(y[n - 1].re, 0.75f, 1e-5);
    EXPECT_NEAR(y[n - 1].im, -0.5f, 1e-5);
    RateConverter_destroy(rc);
}

TEST(RateConverter, ShortOutputIsRefusedNotTruncated)
{
    RateConverter *rc = RateConverter_create(0, 2.5);
    auto x = tone(1000, 0.01);
    std::vector<vx_cf32> y(4000);
    const uint64_t need = RateConverter_execute_bound(rc, x.size());
    EXPECT_GE(need, 2500u);
    std::vector<uint8_t> before(RateConverter_state_bytes(rc));
    RateConverter_get_state(rc, before.data());
    EXPECT_EQ(0u, RateConverter_execute(rc, x.data(), x.size(), y.data(), need - 1));
    std::vector<uint8_t> after(before.size());
    RateConverter_get_state(rc, after.data());
    EXPECT_EQ(before, after);
    const uint64_t n = RateConverter_execute(rc, x.data(), x.size(), y.data(), need);
    EXPECT_NEAR(double(n), 2500.0, 2.0);
    RateConverter_destroy(rc);

    // execute_ctrl on a plan with nothing to steer (two halfbands) has no owed outputs to
    // defer into, so a short max_out is refused as well.
    rc = RateConverter_create(0, 0.25);
    std::vector<uint8_t> fresh(RateConverter_state_bytes(rc)), now(fresh.size());
    RateConverter_get_state(rc, fresh.data());
    EXPECT_EQ(0u, RateConverter_execute_ctrl(rc, x.data(), 1000, y.data(), 100, 0.0));
    RateConverter_get_state(rc, now.data());
    EXPECT_EQ(fresh, now);
    EXPECT_EQ(250u, RateConverter_execute_ctrl(rc, x.data(), 1000, y.data(), 250, 0.0));
    RateConverter_destroy(rc);

    // A matched converter's execute refuses too, rather than deferring outputs (which
    // would shift every later one by the inputs stored ahead).
    rc = RateConverter_create_matched(0, RC_PULSE_RRC, 4, 64, 0.3, 0.35, 4.0);
    const uint64_t bound = RateConverter_execute_bound(rc, 1000);
    EXPECT_EQ(0u, RateConverter_execute(rc, x.data(), 1000, y.data(), bound - 1));
    EXPECT_LE(RateConverter_execute(rc, x.data(), 1000, y.data(), bound), bound);
    RateConverter_destroy(rc);
}

TEST(RateConverter, SetRateSwapsOnlyOnSuccess)
{
    RateConverter *rc = RateConverter_create(0, 0.25);
    EXPECT_EQ(VX_ERR_INVALID, RateConverter_set_rate(rc, -1.0));
    EXPECT_EQ(VX_ERR_INVALID, RateConverter_set_rate(rc, NAN));
    EXPECT_EQ(labels(rc), "HalfbandDecimator + HalfbandDecimator");
    EXPECT_EQ(VX_OK, RateConverter_set_rate(rc, 0.1));
    EXPECT_EQ(labels(rc), "CIC(8) + Resampler(0.8)");
    EXPECT_DOUBLE_EQ(RateConverter_get_rate(rc), 0.1);
    RateConverter_destroy(rc);
}

TEST(RateConverter, SplitsBlobsAndAtomicRestore)
{
    auto x = tone(5000, 0.013);
    for (double rate : {0.25, 0.1, 1.0 / 12, 2.5}) {
        vxtest::expect_split_invariant<RateConverter, vx_cf32>(
            [rate] { return RateConverter_create(1, rate); }, RateConverter_destroy,
            [&](RateConverter *rc, size_t first, size_t n, std::vector<vx_cf32> &out) {
                const size_t at = out.size();
                out.resize(at + RateConverter_execute_bound(rc, n));
                out.resize(at + RateConverter_execute(rc, x.data() + first, n, out.data() + at,
                                                       out.size() - at));
            },
            x.size(), {1, 2, 999, 1000, 4097});
    }
    // A matched converter runs its control path; its bound must cover what that emits,
    // even one input at a time.
    for (double rate : {0.3, 2.5}) {
        vxtest::expect_split_invariant<RateConverter, vx_cf32>(
            [rate] { return RateConverter_create_matched(0, RC_PULSE_RRC, 4, 64, rate, 0.35, 4.0); },
            RateConverter_destroy,
            [&](RateConverter *rc, size_t first, size_t n, std::vector<vx_cf32> &out) {
                const size_t at = out.size();
                out.resize(at + RateConverter_execute_bound(rc, n));
                out.resize(at + RateConverter_execute(rc, x.data() + first, n, out.data() + at,
                                                       out.size() - at));
            },
            x.size(), {1, 2, 999});
    }
    RateConverter *rc = RateConverter_create(1, 0.1);
    std::vector<vx_cf32> y(6000);
    RateConverter_execute(rc, x.data(), 777, y.data(), y.size());
    vxtest::expect_header_rules(rc, RateConverter_state_bytes, RateConverter_get_state,
                                RateConverter_set_state);
    // A good first stage and a corrupt second one: nothing may change.
    std::vector<uint8_t> good(RateConverter_state_bytes(rc)), bad;
    RateConverter_get_state(rc, good.data());
    RateConverter *other = RateConverter_create(1, 0.1);
    std::vector<uint8_t> fresh(good.size());
    RateConverter_get_state(other, fresh.data());
    bad = good;
    const size_t rsmp = 16 + 149 + 64; // CIC_ + FIR_ (7 taps) precede the resampler blob
    ASSERT_EQ(0, std::memcmp(&bad[rsmp], "RSMP", 4));
    bad[rsmp] ^= 1;
    EXPECT_EQ(VX_ERR_INVALID, RateConverter_set_state(other, bad.data()));
    std::vector<uint8_t> now(good.size());
    RateConverter_get_state(other, now.data());
    EXPECT_EQ(now, fresh);
    RateConverter_destroy(other);
    RateConverter_destroy(rc);
}

TEST(RateConverter, AgcAheadOfTheMatchedStageReportsItsGain)
{
    RateConverter *rc = RateConverter_create_matched(0, RC_PULSE_RRC, 4, 32, 0.5, 0.35, 2.0);
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(VX_ERR_INVALID, RateConverter_enable_agc(rc, 0.0, 0.5));
    EXPECT_EQ(VX_ERR_INVALID, RateConverter_enable_agc(rc, 0.01, 1.5));
    ASSERT_EQ(VX_OK, RateConverter_enable_agc(rc, 0.05, 0.1));
    EXPECT_EQ(RateConverter_agc_gain_db(rc), 0.0);
    std::vector<vx_cf32> x(20000, vx_cf32{4.0f, 0.0f}), y(20000);
    RateConverter_execute(rc, x.data(), x.size(), y.data(), y.size());
    // A loud constant input is turned down towards the bank's reference level.
    const double ref = RateConverter_agc_ref_db(rc);
    EXPECT_LT(RateConverter_agc_gain_db(rc), -5.0);
    EXPECT_NEAR(RateConverter_agc_gain_db(rc), ref - 10 * std::log10(16.0), 1.0);
    // The AGC's blob rides at the end of the converter's.
    std::vector<uint8_t> blob(RateConverter_state_bytes(rc));
    RateConverter_get_state(rc, blob.data());
    EXPECT_EQ(0, std::memcmp(&blob[blob.size() - 120], "AGC ", 4));
    RateConverter_destroy(rc);
}

// Found by fuzz_create: 1/rate overflowed to infinity and reached the CIC ratio's integer
// cast (undefined behaviour, reported by UBSan in `make sanitize`).
TEST(RateConverter, DenormalRatesAreRefused)
{
    for (double r : {1e-310, 4.9e-324}) {
        EXPECT_EQ(nullptr, RateConverter_create(0, r));
        EXPECT_EQ(nullptr, RateConverter_create_matched(1, RC_PULSE_RRC, 8, 64, r, 0.35, 2.0));
    }
}
