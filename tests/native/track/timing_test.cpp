// Symbol-timing helpers and the symbol synchroniser through the C ABI.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "mpsk_receiver.h"
#include "ratesync.h"
#include "symsync.h"
#include "vx_tlm.h"

// S-curve slopes at zero error in closed form: the DTTL on the triangle is 2·tau, the
// Gardner sum on the triangle is 1.5·tau − 3·tau² for small tau > 0 (the truncated sum
// is odd only up to its edge term, hence the tolerance).
TEST(SymSync, SCurveSlopesOfTheTriangle)
{
    EXPECT_NEAR(symsync_ted_slope(SYMSYNC_TED_DTTL, SYMSYNC_PULSE_TRIANGLE, 0, 0.0), 2.0, 1e-9);
    EXPECT_NEAR(symsync_ted_slope(SYMSYNC_TED_GARDNER, SYMSYNC_PULSE_TRIANGLE, 4, 0.0), 1.5, 1e-3);
    EXPECT_EQ(symsync_s_curve(SYMSYNC_TED_GARDNER, SYMSYNC_PULSE_TRIANGLE, -3, 0.0, 0.2), 0.0);
}

// Raised cosine: an odd S-curve through zero (up to the truncated tails); at beta = 1 the pulse singularity at
// |t| = 1/2 takes the limit value (beta/2)·sin(pi/(2·beta)) = 0.5, so everything is finite.
TEST(SymSync, SCurveOfTheRaisedCosine)
{
    for (double beta : {0.0, 0.35, 0.5, 1.0}) {
        for (double tau : {0.1, 0.25, 0.4}) {
            const double a = symsync_s_curve(SYMSYNC_TED_GARDNER, SYMSYNC_PULSE_RAISED_COSINE, 8, beta, tau);
            const double b = symsync_s_curve(SYMSYNC_TED_GARDNER, SYMSYNC_PULSE_RAISED_COSINE, 8, beta, -tau);
            EXPECT_TRUE(std::isfinite(a));
            EXPECT_NEAR(a, -b, 1e-4);
        }
        EXPECT_GT(symsync_ted_slope(SYMSYNC_TED_GARDNER, SYMSYNC_PULSE_RAISED_COSINE, 8, beta), 0.0);
    }
    EXPECT_NEAR(symsync_s_curve(SYMSYNC_TED_DTTL, SYMSYNC_PULSE_RAISED_COSINE, 0, 1.0, 0.0), 0.0, 1e-12);
}

TEST(SymSync, CreateRefusesAndShortOutputStillRunsTheLoop)
{
    EXPECT_EQ(nullptr, symsync_create(4, 3, 0, 0.01, 0.7));
    EXPECT_EQ(nullptr, symsync_create(4, 2, 2, 0.01, 0.7));
    EXPECT_EQ(nullptr, symsync_create(4, 2, 0, NAN, 0.7));
    symsync *a = symsync_create(4, 2, 0, 0.01, 0.707), *b = symsync_create(4, 2, 0, 0.01, 0.707);
    std::vector<vx_cf32> x(4000), y(4000);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = {(i / 4) % 3 ? 1.0f : -1.0f, 0.0f};
    const uint64_t n = symsync_steps(a, x.data(), x.size(), y.data(), y.size());
    EXPECT_EQ(symsync_steps(b, x.data(), x.size(), y.data(), 10), 10u);
    EXPECT_EQ(n, 999u);
    EXPECT_EQ(symsync_get_rate(a), symsync_get_rate(b));
    EXPECT_EQ(symsync_get_lock_stat(a), symsync_get_lock_stat(b));
    symsync_destroy(a);
    symsync_destroy(b);
    symsync_destroy(nullptr);
}

// A plan ending in a halfband has no control port: nothing to steer, priming of one output.
TEST(RateSyncLoop, BindsOnlyATerminalResampler)
{
    RateConverter *plain = RateConverter_create(1, 0.5);
    ASSERT_NE(plain, nullptr);
    ratesync_loop l;
    ratesync_loop_init(&l, 2, SYMSYNC_TED_GARDNER, 4.0, 0.01, 0.707);
    ratesync_loop_bind_cascade(&l, plain, RC_PULSE_NONE, 8, 0.35);
    EXPECT_EQ(l.stage, nullptr);
    EXPECT_EQ(l.prime, 1u);
    EXPECT_EQ(l.cascade_rate, 0.0);
    EXPECT_EQ(l.ted_gain, 1.0);
    RateConverter_destroy(plain);
}

TEST(RateSync, ShortOutputConsumesEverything)
{
    ratesync *a = ratesync_create(RC_PULSE_IANDD, 8, 4, 64, 0, 8.0, 0.35, 0.01, 0.707);
    ratesync *b = ratesync_create(RC_PULSE_IANDD, 8, 4, 64, 0, 8.0, 0.35, 0.01, 0.707);
    ASSERT_NE(a, nullptr);
    std::vector<vx_cf32> x(8000), y(8000);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = {(i / 8) % 3 ? 0.5f : -0.5f, 0.0f};
    const uint64_t n = ratesync_steps(a, x.data(), x.size(), y.data(), y.size());
    EXPECT_GT(n, 980u);
    EXPECT_EQ(ratesync_steps(b, x.data(), x.size(), y.data(), 3), 3u);
    std::vector<uint8_t> sa(ratesync_state_bytes(a)), sb(ratesync_state_bytes(b));
    ratesync_get_state(a, sa.data());
    ratesync_get_state(b, sb.data());
    EXPECT_EQ(sa, sb);
    ratesync_destroy(a);
    ratesync_destroy(b);
}

// The demapper: Gray labels LSB first at the receiver's angles; NaN decides index 0.
TEST(MpskReceiver, DemapperAndBounds)
{
    mpsk_receiver *rx = mpsk_receiver_create(8, 0, MPSK_RX_PULSE_IANDD, 8, 0, 0, 8.0, 0.35, 0.01, 0, 0.01, 0,
                                             0, 0, 1);
    ASSERT_NE(rx, nullptr);
    for (int q = 0; q < 8; ++q) {
        const double a = 2.0 * M_PI * q / 8.0;
        uint8_t b[3];
        ASSERT_EQ(mpsk_rx_symbol_to_bits(&rx->loops, b, {(float)std::cos(a), (float)std::sin(a)}), 3);
        const int label = q ^ (q >> 1);
        EXPECT_EQ(b[0] | b[1] << 1 | b[2] << 2, label) << q;
    }
    uint8_t b[3];
    mpsk_rx_symbol_to_bits(&rx->loops, b, {NAN, 1.0f});
    EXPECT_EQ(b[0] | b[1] | b[2], 0);
    EXPECT_EQ(mpsk_receiver_bits_max_out(rx, 10), 30u);
    EXPECT_EQ(mpsk_receiver_bits_max_out(rx, UINT64_MAX / 2), UINT64_MAX);
    mpsk_receiver_destroy(rx);
    EXPECT_EQ(nullptr, mpsk_receiver_create_real(4, 8, 0, 8, 0, 0, 16.0, 0.35, 0.01, 0, 0.01, 0, 0.25, 0, 1));
    EXPECT_EQ(nullptr, mpsk_receiver_create_bpsk(0, 8, 0, 1, 1000.0, 100.0, 500.0, 0.35, 0.01, 0.01));
    mpsk_receiver_destroy(nullptr);
}

// Attached objects hold their telemetry context: a context destroyed first stays valid
// (emission into it is dropped) until the last object lets go (ASan checks the frees).
TEST(TimingTelemetry, ObjectsOutliveADestroyedContext)
{
    std::vector<vx_cf32> x(4000);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = {(i / 8) % 3 ? 0.5f : -0.5f, (i / 8) % 5 ? 0.5f : -0.5f};
    std::vector<vx_cf32> y(x.size());
    vx_tlm *ctx = vx_tlm_create(1024);
    ASSERT_NE(ctx, nullptr);
    symsync *s = symsync_create(8, 2, 0, 0.01, 0.707);
    ratesync *r = ratesync_create(RC_PULSE_IANDD, 8, 4, 64, 0, 8.0, 0.35, 0.01, 0.707);
    mpsk_receiver *rx = mpsk_receiver_create(4, 0, 0, 8, 0, 0, 8.0, 0.35, 0.01, 0, 0.01, 0, 0, 0, 1);
    ASSERT_EQ(symsync_set_telemetry(s, ctx, "s", 1), VX_OK);
    ASSERT_EQ(ratesync_set_telemetry(r, ctx, "r", 1), VX_OK);
    ASSERT_EQ(mpsk_receiver_set_telemetry(rx, ctx, "rx", 1), VX_OK);
    // A refused attachment (name too long) keeps the one in place.
    EXPECT_EQ(mpsk_receiver_set_telemetry(rx, ctx, "a-prefix-of-twenty-six-chr", 1), VX_ERR_INVALID);
    vx_tlm_destroy(ctx);
    EXPECT_GT(symsync_steps(s, x.data(), x.size(), y.data(), y.size()), 0u);
    EXPECT_GT(ratesync_steps(r, x.data(), x.size(), y.data(), y.size()), 0u);
    EXPECT_GT(mpsk_receiver_steps(rx, x.data(), x.size(), y.data(), y.size()), 0u);
    symsync_destroy(s);
    ratesync_destroy(r);
    mpsk_receiver_destroy(rx);
}
