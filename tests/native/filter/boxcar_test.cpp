// Moving average through the C ABI: embedding, ramp-in and blob validation.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "blob_check.hpp"
#include "boxcar.h"

TEST(Boxcar, InitCoercesLengthAndRampsIn)
{
    boxcar b;
    boxcar_init(&b, 0, 1.0);
    EXPECT_EQ(b.len, 1u);
    boxcar_init(&b, 1000, 1.0);
    EXPECT_EQ(b.len, 64u);
    boxcar_init(&b, 3, 1.0);
    const vx_cf32 x[4] = {{1, 2}, {1, 2}, {1, 2}, {1, 2}};
    vx_cf32 y[4];
    boxcar_steps(&b, x, y, 4);
    EXPECT_FLOAT_EQ(y[0].re, 1.0f / 3);
    EXPECT_FLOAT_EQ(y[1].im, 4.0f / 3);
    EXPECT_FLOAT_EQ(y[3].re, 1.0f);
    EXPECT_EQ(boxcar_create(0, 1.0), nullptr);
    EXPECT_EQ(boxcar_create(65, 1.0), nullptr);
    boxcar_destroy(nullptr);
}

TEST(Boxcar, BlobIsTheObjectImageAndRejectsBadIndices)
{
    boxcar *b = boxcar_create(5, 2.0);
    const vx_cf32 x[7] = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}};
    vx_cf32 y[7];
    boxcar_steps(b, x, y, 7);
    std::vector<uint8_t> blob = vxtest::save(b, boxcar_state_bytes, boxcar_get_state);
    ASSERT_EQ(blob.size(), 576u);
    EXPECT_EQ(0, std::memcmp(blob.data() + 16, b, sizeof *b - 4));
    EXPECT_EQ(0, std::memcmp(blob.data() + 572, "\0\0\0\0", 4));
    vxtest::expect_header_rules(b, boxcar_state_bytes, boxcar_get_state, boxcar_set_state);

    // len outside 1..64 or pos >= len would index past the ring: refused, nothing changed.
    const uint64_t bad[][2] = {{0, 0}, {65, 0}, {5, 5}, {1, 1}, {UINT64_MAX, 3}};
    for (const auto &lp : bad) {
        std::vector<uint8_t> t = blob;
        std::memcpy(t.data() + 16, &lp[0], 8);
        std::memcpy(t.data() + 24, &lp[1], 8);
        EXPECT_EQ(boxcar_set_state(b, t.data()), VX_ERR_INVALID) << lp[0] << " " << lp[1];
        EXPECT_EQ(vxtest::save(b, boxcar_state_bytes, boxcar_get_state), blob);
    }
    // A blob of another length is restored whole, len and gain included.
    boxcar *other = boxcar_create(64, 1.0);
    EXPECT_EQ(boxcar_set_state(other, blob.data()), VX_OK);
    EXPECT_EQ(boxcar_get_len(other), 5u);
    EXPECT_EQ(boxcar_get_gain(other), 2.0);
    boxcar_destroy(other);
    boxcar_destroy(b);
}
