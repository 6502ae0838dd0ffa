#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>

#include "vx_base.h"

TEST(StateHeader, WritesTheDocumentedBytes)
{
    uint8_t b[16];
    vx_state_write_header(b, VX_MAGIC_DELAY, VX_VERSION_DELAY, 152);
    const uint8_t want[16] = {0x44, 0x4C, 0x41, 0x59, 1, 0, 1, 0, 0x98, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(b, want, 16));
    EXPECT_EQ(VX_OK, vx_state_check_header(b, VX_MAGIC_DELAY, 1, 152));
    EXPECT_EQ(VX_ERR_INVALID, vx_state_check_header(b, VX_MAGIC_DELAY, 2, 152));
    EXPECT_EQ(VX_ERR_INVALID, vx_state_check_header(b, VX_MAGIC_DELAY, 1, 153));
    EXPECT_EQ(VX_ERR_INVALID, vx_state_check_header(nullptr, VX_MAGIC_DELAY, 1, 152));
    // Only the low 32 bits of the size take part.
    EXPECT_EQ(VX_OK, vx_state_check_header(b, VX_MAGIC_DELAY, 1, 152 + (uint64_t(1) << 32)));
}

TEST(StateHeader, MagicTableIsDistinctAndMatchesItsCharacters)
{
    std::set<uint32_t> seen;
#define X(name, a, b, c, d, ver)                                            \
    EXPECT_TRUE(seen.insert(VX_MAGIC_##name).second) << #name;              \
    EXPECT_EQ(uint32_t(VX_MAGIC_##name), uint32_t(a) | uint32_t(b) << 8 |   \
                                             uint32_t(c) << 16 | uint32_t(d) << 24);
    VX_BLOB_TABLE(X)
#undef X
    EXPECT_EQ(uint32_t(VX_MAGIC_LOOP_FILTER), 0x4C46504Cu);
    EXPECT_EQ(uint32_t(VX_MAGIC_DLL), 0x204C4C44u);
    EXPECT_EQ(VX_VERSION_DLL, 13);
    EXPECT_EQ(seen.size(), 46u);
}

TEST(Sizes, CheckedMultiplyRefusesOverflowAndAbsurdSizes)
{
    uint64_t r = 0;
    EXPECT_TRUE(vx_size_mul(1000, 8, &r));
    EXPECT_EQ(r, 8000u);
    EXPECT_FALSE(vx_size_mul(uint64_t(1) << 33, uint64_t(1) << 31, &r));
    EXPECT_FALSE(vx_size_mul(~uint64_t(0), 2, &r));
    EXPECT_EQ(nullptr, vx_calloc(~uint64_t(0) / 4, 8));
    void *p = vx_calloc(0, 8); // a zero-length request still gives a valid pointer
    EXPECT_NE(nullptr, p);
    vx_free(p);
    EXPECT_EQ(vx_capacity_need(10, 0), 10u);
    EXPECT_EQ(vx_capacity_need(10, 64), 64u);
}

TEST(Conversions, NonFiniteValuesHaveDefinedResults)
{
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(vx_double_to_i64(NAN, -5, 5, 7), 7);
    EXPECT_EQ(vx_double_to_i64(inf, -5, 5, 0), 5);
    EXPECT_EQ(vx_double_to_i64(-inf, -5, 5, 0), -5);
    EXPECT_EQ(vx_double_to_i64(3.9, -5, 5, 0), 3);
    EXPECT_EQ(vx_phase_inc(NAN), 0u);
    EXPECT_EQ(vx_phase_inc(inf), 0u);
    EXPECT_EQ(vx_phase_inc(-0.25), 0xC0000000u);
    EXPECT_EQ(vx_phase_inc(1.0), 0u);
    EXPECT_EQ(vx_phase_inc(0.5), 0x80000000u);
    EXPECT_EQ(vx_phase_inc(-1e-300), 0xFFFFFFFFu); // fractional part rounds to 1
    EXPECT_TRUE(vx_finite(1e308));
    EXPECT_FALSE(vx_finite(NAN));
}
