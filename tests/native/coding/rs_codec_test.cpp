// Reed-Solomon codec through the C ABI: the GFNI path against the table path, and the
// codec on caller storage.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "rs_codec.h"

namespace {

struct Codec {
    std::unique_ptr<rs_codec> rs = std::make_unique<rs_codec>();
    explicit Codec(const rs_params &p) { EXPECT_EQ(rs_init(rs.get(), &p), 1); }
};

}  // namespace

// Syndromes and corrections are the same whichever path computes them: every GF(256)
// code of the list, clean words and words with 0..t+2 errors.
TEST(RsCodec, SimdPathMatchesTables)
{
    const rs_params codes[] = {{32, 8, 0x1D, 1, 1}, {32, 8, 0x87, 112, 11}, {16, 8, 0x1D, 0, 1},
                               {64, 8, 0x2B, 7, 254}, {2, 8, 0x1D, 200, 7}};
    std::mt19937 rng(3);
    for (const rs_params &p : codes) {
        Codec fast(p), plain(p);
        plain.rs->simd = 0;
        if (!fast.rs->simd)
            GTEST_SKIP() << "no GFNI on this machine";
        const uint32_t n = fast.rs->n, k = fast.rs->k, t = fast.rs->e;
        for (uint32_t errors = 0; errors <= t + 2; ++errors) {
            std::vector<uint8_t> w(n);
            for (uint32_t i = 0; i < k; ++i)
                w[i] = static_cast<uint8_t>(rng());
            rs_encode(fast.rs.get(), w.data(), w.data() + k);
            std::vector<uint8_t> check(n);
            rs_encode(plain.rs.get(), w.data(), check.data());
            EXPECT_EQ(0, std::memcmp(check.data(), w.data() + k, n - k));
            for (uint32_t e = 0; e < errors; ++e)
                w[rng() % n] ^= static_cast<uint8_t>(1 + rng() % 255);
            uint8_t s1[RS_MAX_ROOTS], s2[RS_MAX_ROOTS];
            rs_syndromes(fast.rs.get(), w.data(), s1);
            rs_syndromes(plain.rs.get(), w.data(), s2);
            ASSERT_EQ(0, std::memcmp(s1, s2, p.nroots)) << "nroots " << p.nroots << " errors " << errors;
            std::vector<uint8_t> a = w, b = w;
            EXPECT_EQ(rs_decode(fast.rs.get(), a.data()), rs_decode(plain.rs.get(), b.data()));
            EXPECT_EQ(a, b);
        }
    }
}

TEST(RsCodec, RefusalsAndLengths)
{
    EXPECT_EQ(rs_codec_create(32, 8, 0x1B, 1, 1), nullptr);  // not primitive
    EXPECT_EQ(rs_codec_create(32, 8, 0x1D, 1, 0), nullptr);
    EXPECT_EQ(rs_codec_create(UINT64_MAX, 8, 0x1D, 1, 1), nullptr);
    const rs_params bad = {4, 4, 0x0F, 0, 1};
    EXPECT_EQ(rs_code_valid(&bad), 0);
    EXPECT_EQ(rs_code_valid(nullptr), 0);
    rs_codec *rs = rs_codec_create(4, 4, 0x3, 0, 1);
    ASSERT_NE(rs, nullptr);
    uint8_t w[16] = {}, out[16];
    EXPECT_EQ(rs_codec_encode(rs, w, 10, out, 16), 0u);
    EXPECT_EQ(rs_codec_encode(rs, w, 11, out, 14), 0u);
    EXPECT_EQ(rs_codec_encode(rs, w, 11, out, 15), 15u);
    EXPECT_EQ(rs_codec_decode(rs, w, 14), -2);
    EXPECT_EQ(rs_codec_decode(nullptr, w, 15), -2);
    EXPECT_EQ(rs_codec_syndromes(rs, w, 15, out, 3), 0u);
    EXPECT_EQ(rs_codec_codeword_ok(rs, w, 15), 1);
    w[0] = 16;  // not a 4-bit symbol
    EXPECT_EQ(rs_codec_codeword_ok(rs, w, 15), 0);
    EXPECT_EQ(rs_codec_decode(rs, w, 15), -1);
    EXPECT_EQ(w[0], 16);
    rs_codec_destroy(rs);
    rs_codec_destroy(nullptr);
}
