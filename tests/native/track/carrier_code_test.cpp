// Carrier and code loops through the C ABI: any blob set_state accepts runs safely (under
// the sanitizers this holds every restored field that sizes or indexes to its check), and
// the caller-storage initialisers match create.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "carrier_mpsk.h"
#include "carrier_nda.h"
#include "costas.h"
#include "dll.h"

namespace {

std::vector<vx_cf32> noise(size_t n, unsigned seed)
{
    std::mt19937 g(seed);
    std::normal_distribution<float> d;
    std::vector<vx_cf32> x(n);
    for (auto &v : x)
        v = {d(g), d(g)};
    x[n / 2] = {NAN, 1e38f};
    return x;
}

// Mutate one to four payload bytes of a valid blob many times; whatever is accepted must
// step (with room for the bound) without fault.
template <class T>
void restore_hostile(T *o, uint64_t (*bytes)(const T *), void (*get)(const T *, void *),
                     int (*set)(T *, const void *), const std::function<uint64_t(T *, const vx_cf32 *, uint64_t)> &run)
{
    const std::vector<vx_cf32> x = noise(700, 3);
    run(o, x.data(), x.size());
    std::vector<uint8_t> good(bytes(o));
    get(o, good.data());
    std::mt19937 g(7);
    int accepted = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<uint8_t> bad = good;
        const int k = 1 + static_cast<int>(g() % 4);
        for (int i = 0; i < k; ++i)
            bad[16 + g() % (bad.size() - 16)] ^= static_cast<uint8_t>(1u << (g() % 8));
        if (set(o, bad.data()) == VX_OK) {
            ++accepted;
            run(o, x.data(), 200);
            ASSERT_EQ(set(o, good.data()), VX_OK);
        }
    }
    EXPECT_GT(accepted, 0);  // not everything is refused: values that feed nothing pass
}

}  // namespace

TEST(CarrierLoops, HostileBlobsAndInit)
{
    std::vector<vx_cf32> out(800);
    costas *c = costas_create(16, 0.05, 0.707, 0.001, 0.01);
    restore_hostile<costas>(c, costas_state_bytes, costas_get_state, costas_set_state,
                            [&](costas *o, const vx_cf32 *x, uint64_t n) { return costas_steps(o, x, n, out.data(), out.size()); });
    costas local;
    ASSERT_EQ(costas_init(&local, 16, 0.05, 0.707, 0.001, 0.01), VX_OK);
    costas_reset(c);
    EXPECT_EQ(std::memcmp(&local, c, COSTAS_IMAGE_BYTES), 0);
    EXPECT_EQ(costas_init(&local, 16, NAN, 0.707, 0.0, 0.0), VX_ERR_INVALID);
    costas_destroy(c);

    carrier_mpsk *m = carrier_mpsk_create(8, 8, 0.05, 0.707, 0.0, 0.02);
    restore_hostile<carrier_mpsk>(m, carrier_mpsk_state_bytes, carrier_mpsk_get_state, carrier_mpsk_set_state,
                                  [&](carrier_mpsk *o, const vx_cf32 *x, uint64_t n) {
                                      return carrier_mpsk_steps(o, x, n, out.data(), out.size());
                                  });
    EXPECT_EQ(carrier_mpsk_create(8, 3, 0.05, 0.707, 0.0, 0.0), nullptr);
    carrier_mpsk_destroy(m);

    carrier_nda *a = carrier_nda_create(64, 1, 2, 0.01, 0.707, 0.0);
    restore_hostile<carrier_nda>(a, carrier_nda_state_bytes, carrier_nda_get_state, carrier_nda_set_state,
                                 [&](carrier_nda *o, const vx_cf32 *x, uint64_t n) {
                                     return carrier_nda_steps(o, x, n, out.data(), out.size());
                                 });
    EXPECT_EQ(carrier_nda_create(256, 2, 4, 0.01, 0.707, 0.0), nullptr);
    carrier_nda_destroy(a);
}

TEST(Dll, HostileBlobsInEveryMode)
{
    std::vector<uint8_t> code(31);
    for (size_t i = 0; i < code.size(); ++i)
        code[i] = static_cast<uint8_t>((i * 7 + 3) % 5 < 2);
    for (const auto &[segments, period] : {std::pair<uint64_t, double>{1, 0.0}, {4, 0.0}, {4, 6.5}}) {
        dll *d = dll_create(code.data(), code.size(), 2, segments, 3.0, 0.02, 0.707, 0.5);
        ASSERT_NE(d, nullptr);
        if (period > 0.0)
            ASSERT_EQ(dll_set_symbol_period(d, period), VX_OK);
        restore_hostile<dll>(d, dll_state_bytes, dll_get_state, dll_set_state, [&](dll *o, const vx_cf32 *x, uint64_t n) {
            std::vector<vx_cf32> out(dll_steps_bound(o, n));
            const uint64_t got = dll_steps(o, x, n, out.data(), out.size());
            EXPECT_LE(got, out.size());
            return got;
        });
        EXPECT_EQ(dll_set_code_phase(d, NAN), VX_ERR_INVALID);
        EXPECT_EQ(dll_set_code_phase(d, -1e300), VX_OK);  // wraps, never casts out of range
        dll_destroy(d);
    }
    dll local;
    ASSERT_EQ(dll_init(&local, code.data(), code.size(), 2, 0.0, 0.01, 0.707, 0.5), VX_OK);
    EXPECT_EQ(local.owns_code, 0u);
    dll_destroy(nullptr);
}

TEST(Dll, LookbackSegments)
{
    EXPECT_EQ(dll_lookback_segments(0, 3.0), 1u);
    EXPECT_EQ(dll_lookback_segments(12, 3.0), 2u);  // target ceil(12·0.499) = 6
    EXPECT_EQ(dll_lookback_segments(7, 1.0), 7u);   // target 2: divisor 1 is nearer than 7
    EXPECT_EQ(dll_lookback_segments(12, 0.0), 12u); // target 0: divisor 1
    EXPECT_EQ(dll_lookback_segments(10, 1e9), 1u);  // target n
}
