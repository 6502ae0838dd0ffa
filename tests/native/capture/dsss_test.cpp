// DSSS chip generation: the stated spreading and continuous-chip examples.
#include <gtest/gtest.h>

#include <cmath>

#include "wfm_dsss.h"

namespace {

TEST(WfmDsss, SpreadNegatesBySignBit)
{
    const vx_cf32 sym[2] = {{1.0f, 0.0f}, {0.5f, -2.0f}};
    const uint8_t chips[4] = {0, 1, 3, 2};  // only bit 0 counts
    vx_cf32 out[8];
    wfm_dsss_spread(sym, 2, chips, 4, out);
    const float re[8] = {1, -1, -1, 1, 0.5f, -0.5f, -0.5f, 0.5f};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(out[i].re, re[i]);
    EXPECT_FALSE(std::signbit(out[0].im));
    EXPECT_TRUE(std::signbit(out[1].im));  // -0
    EXPECT_TRUE(std::signbit(out[2].im));
    EXPECT_EQ(out[5].im, 2.0f);
}

TEST(WfmDsss, ContinuousChipsWithFractionalBitLength)
{
    const uint8_t code[4] = {0, 0, 0, 0};
    const uint8_t bits[2] = {1, 0};
    uint8_t out[12];
    ASSERT_EQ(wfm_cont_dsss_chips(code, 4, bits, 2, 12, out, 2.5), 12u);
    const uint8_t want[12] = {1, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1, 1};  // bits 0,0,0,1,1, then again
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(out[i], want[i]) << i;
    const uint8_t code2[4] = {1, 0, 1, 1};
    const uint8_t zero[1] = {0};
    ASSERT_EQ(wfm_cont_dsss_chips(code2, 4, zero, 1, 6, out, 3.0), 6u);
    const uint8_t want2[6] = {1, 0, 1, 1, 1, 0};  // the code restarts every 4 chips
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(out[i], want2[i]);
    // Bit boundaries by division: at 1.3 chips per bit, chip 39 starts bit 30 (39 * (1/1.3)
    // is 29.999999999999996 and would start it one chip late).
    const uint8_t alt[2] = {0, 1};
    uint8_t many[40];
    ASSERT_EQ(wfm_cont_dsss_chips(zero, 1, alt, 2, 40, many, 1.3), 40u);
    EXPECT_EQ(many[38], 1);  // bit 29
    EXPECT_EQ(many[39], 0);  // bit 30
    EXPECT_EQ(wfm_cont_dsss_chips(code, 4, bits, 2, 4, out, 0.0), 0u);
    EXPECT_EQ(wfm_cont_dsss_chips(code, 4, bits, 2, 4, out, -1.0), 0u);
    EXPECT_EQ(wfm_cont_dsss_chips(code, 4, bits, 2, 4, out, NAN), 0u);
}

}  // namespace
