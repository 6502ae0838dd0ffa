// FIR filter through the C ABI, and its vector kernels against the scalar reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "blob_check.hpp"
#include "fir.h"
#include "fir_kernel.hpp"

namespace {

namespace fk = vx::fir_kernel;

std::vector<vx_cf32> noise(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<vx_cf32> v(n);
    for (auto &s : v)
        s = {g(rng), g(rng)};
    return v;
}

// Variants this machine can run: the one matching its SIMD level and every one below.
std::vector<const fk::Variant *> runnable()
{
    std::vector<const fk::Variant *> out;
    bool reached = false;
    for (const fk::Variant &v : fk::VARIANTS) {
        reached = reached || std::strcmp(v.level, vx_simd_level()) == 0;
        if (reached)
            out.push_back(&v);
    }
    return out;
}

}  // namespace

// Every variant must reproduce the scalar reference bit for bit: odd tap counts and block
// lengths that leave tails after the wide blocks and after the single vectors, with
// signed zeros and subnormals among the samples.
TEST(FirKernel, VariantsMatchScalarReferenceBitForBit)
{
    const auto variants = runnable();
    ASSERT_FALSE(variants.empty());
    for (uint64_t taps : {1u, 2u, 3u, 7u, 31u, 64u, 65u}) {
        std::vector<vx_cf32> hc = noise(taps, 7 + taps);
        std::vector<float> hr(taps);
        for (uint64_t k = 0; k < taps; ++k)
            hr[k] = hc[k].re;
        for (uint64_t n : {1u, 3u, 7u, 8u, 9u, 63u, 64u, 65u, 71u, 129u, 1001u}) {
            std::vector<vx_cf32> s = noise(taps - 1 + n, 100 + n);
            s[0] = {-0.0f, 0.0f};
            s[s.size() / 2] = {1e-41f, -1e-39f};
            std::vector<vx_cf32> want_r(n), want_c(n);
            fk::reference(s.data(), hr.data(), taps, want_r.data(), 0, n);
            fk::reference(s.data(), hc.data(), taps, want_c.data(), 0, n);
            for (const fk::Variant *v : variants) {
                std::vector<vx_cf32> yr(n), yc(n);
                v->real(s.data(), hr.data(), taps, yr.data(), n);
                v->complex(s.data(), hc.data(), taps, yc.data(), n);
                ASSERT_EQ(0, std::memcmp(yr.data(), want_r.data(), n * sizeof(vx_cf32)))
                    << v->level << " real, taps " << taps << ", n " << n;
                ASSERT_EQ(0, std::memcmp(yc.data(), want_c.data(), n * sizeof(vx_cf32)))
                    << v->level << " complex, taps " << taps << ", n " << n;
            }
        }
    }
}

TEST(Fir, ImpulseResponseResetAndProperties)
{
    const float taps[3] = {0.25f, 0.5f, 0.25f};
    fir *f = fir_create_real(taps, 3);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fir_get_num_taps(f), 3u);
    EXPECT_EQ(fir_get_is_real(f), 1);
    EXPECT_EQ(fir_dc_gain(f), 1.0);
    EXPECT_EQ(fir_execute_max_out(f), 0u);
    const vx_cf32 x[3] = {{1, 0}, {0, 0}, {0, 0}};
    for (int pass = 0; pass < 2; ++pass) {
        vx_cf32 y[3];
        ASSERT_EQ(fir_execute(f, x, 3, y), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(y[i].re, taps[i]);
            EXPECT_EQ(y[i].im, 0.0f);
        }
        fir_reset(f);
    }
    fir_destroy(f);

    const vx_cf32 ctaps[2] = {{0.5f, 2.0f}, {0.25f, -1.0f}};
    f = fir_create(ctaps, 2);
    EXPECT_EQ(fir_get_is_real(f), 0);
    EXPECT_EQ(fir_dc_gain(f), 0.75);
    fir_destroy(f);
    fir_destroy(nullptr);
}

TEST(Fir, CreateAndExecuteRefusals)
{
    const float t = 1.0f;
    EXPECT_EQ(fir_create_real(nullptr, 3), nullptr);
    EXPECT_EQ(fir_create_real(&t, 0), nullptr);
    EXPECT_EQ(fir_create(nullptr, 1), nullptr);
    EXPECT_EQ(fir_create_real(&t, UINT64_MAX), nullptr);  // absurd size, no wrap
    EXPECT_EQ(fir_create_real(&t, UINT64_MAX - 1000), nullptr);
    fir *f = fir_create_real(&t, 1);
    vx_cf32 x = {1, 2}, y = {0, 0};
    EXPECT_EQ(fir_execute(f, &x, 0, &y), 0u);
    EXPECT_EQ(fir_execute(f, nullptr, 1, &y), 0u);
    EXPECT_EQ(fir_execute(f, &x, 1, nullptr), 0u);
    EXPECT_EQ(fir_execute(nullptr, &x, 1, &y), 0u);
    EXPECT_EQ(y.re, 0.0f);
    fir_destroy(f);
}

// In place, across chunk boundaries of the internal scratch, equals out of place.
TEST(Fir, InPlaceMatchesOutOfPlace)
{
    const std::vector<vx_cf32> h = noise(33, 1);
    const std::vector<vx_cf32> x = noise(5000, 2);
    fir *a = fir_create(h.data(), h.size());
    fir *b = fir_create(h.data(), h.size());
    std::vector<vx_cf32> y(x.size()), inplace = x;
    fir_execute(a, x.data(), x.size(), y.data());
    fir_execute(b, inplace.data(), inplace.size(), inplace.data());
    EXPECT_EQ(0, std::memcmp(y.data(), inplace.data(), y.size() * sizeof(vx_cf32)));
    fir_destroy(a);
    fir_destroy(b);
}

TEST(Fir, BlobLayoutHeaderRulesAndSplits)
{
    const float one = 2.0f;
    fir *single = fir_create_real(&one, 1);
    EXPECT_EQ(fir_state_bytes(single), 16u);  // no delay line
    fir_destroy(single);

    const std::vector<vx_cf32> h = noise(5, 3);
    fir *f = fir_create(h.data(), h.size());
    ASSERT_EQ(fir_state_bytes(f), 8u + 8u * 5u);
    const std::vector<vx_cf32> x = noise(9, 4);
    std::vector<vx_cf32> y(9);
    fir_execute(f, x.data(), x.size(), y.data());
    std::vector<uint8_t> blob = vxtest::save(f, fir_state_bytes, fir_get_state);
    EXPECT_EQ(0, std::memcmp(blob.data(), "FIR_\x01\x00\x01\x00\x30\x00\x00\x00", 12));
    EXPECT_EQ(0, std::memcmp(blob.data() + 16, x.data() + 5, 4 * sizeof(vx_cf32)));  // oldest first
    vxtest::expect_header_rules(f, fir_state_bytes, fir_get_state, fir_set_state);
    fir_destroy(f);

    // Blocks straddling the internal chunk size.
    const std::vector<vx_cf32> taps = noise(64, 5), in = noise(9000, 6);
    vxtest::expect_split_invariant<fir, vx_cf32>(
        [&] { return fir_create(taps.data(), taps.size()); }, fir_destroy,
        [&](fir *o, size_t first, size_t n, std::vector<vx_cf32> &out) {
            const size_t at = out.size();
            out.resize(at + n);
            fir_execute(o, in.data() + first, n, out.data() + at);
        },
        in.size(), {1, 2, 40, 2047, 2049, 4100, 8999});
}
