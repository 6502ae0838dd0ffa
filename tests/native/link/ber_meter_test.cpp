// BER meter through the C ABI: hostile geometry, installed alignments and blobs never make
// it read outside its arrays, and every received index is either scored or skipped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ber_meter.h"
#include "blob_check.hpp"

namespace {

const uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();

std::vector<uint8_t> truth_of(size_t n)
{
    std::vector<uint8_t> t(n);
    uint32_t s = 12345;
    for (auto &v : t) {
        s = s * 1103515245u + 12345u;
        v = static_cast<uint8_t>((s >> 16) & 3);
    }
    return t;
}

std::vector<vx_cf32> qpsk(const std::vector<uint8_t> &t, size_t from)
{
    std::vector<vx_cf32> x;
    for (size_t i = from; i < t.size(); ++i) {
        const double a = M_PI / 2 * t[i] + M_PI / 4;
        x.push_back({static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))});
    }
    return x;
}

}  // namespace

TEST(BerMeter, HostileGeometryFailsCleanly)
{
    const auto t = truth_of(3000);
    const auto rx = qpsk(t, 0);
    struct {
        uint64_t t0, n_marker, period;
        int64_t span;
    } cases[] = {{U64_MAX, 64, 0, 0},         {2990, 64, 0, 0},    {0, U64_MAX, 0, 0},
                 {100, 64, U64_MAX, 0},       {100, 64, 64, -5},   {100, 7, 0, 0},
                 {100, 64, 1, INT64_MIN},     {0, 3000, 0, INT64_MAX}};
    for (const auto &c : cases) {
        const ber_align a = ber_align_detect(rx.data(), rx.size(), t.data(), t.size(), 4, 0.0, c.t0,
                                             c.n_marker, c.period, c.span);
        EXPECT_TRUE(a.lag >= -BER_LAG_SPAN_MAX && a.lag <= BER_LAG_SPAN_MAX);
        EXPECT_LE(a.occurrences, 3000u);
    }
    EXPECT_FALSE(ber_align_detect(nullptr, 10, t.data(), t.size(), 4, 0.0, 0, 0, 0, 0).ok);
    EXPECT_FALSE(ber_align_detect(rx.data(), rx.size(), t.data(), t.size(), 3, 0.0, 100, 64, 0, 0).ok);
}

TEST(BerMeter, EveryIndexIsScoredOrSkipped)
{
    const auto t = truth_of(5000);
    const auto rx = qpsk(t, 17);  // rx[i] carries truth[i + 17]
    ber_meter *bm = ber_meter_create(4, 0, 0.0);
    ASSERT_NE(bm, nullptr);
    ASSERT_EQ(VX_OK, ber_meter_set_truth(bm, t.data(), t.size()));
    ASSERT_EQ(1, ber_meter_align(bm, rx.data(), rx.size(), 1000, 64, 700, 0.0, 0));
    EXPECT_EQ(ber_meter_get_lag(bm), 17);
    EXPECT_GT(ber_meter_get_align_occurrences(bm), 1u);

    // Installed alignments with extreme geometry: the marker walk must not wrap.
    ber_align rec = ber_meter_get_align(bm);
    const uint64_t geometry[][3] = {{1000, 64, 700}, {U64_MAX, U64_MAX, 0}, {4990, U64_MAX, 0},
                                    {0, U64_MAX, U64_MAX}, {U64_MAX - 3, 5, 7}, {0, 0, 1}};
    for (const auto &g : geometry) {
        ASSERT_EQ(VX_OK, ber_meter_set_align(bm, g[0], g[1], g[2], &rec));
        ber_meter_reset(bm);
        for (uint64_t lo : {uint64_t{0}, uint64_t{3}, uint64_t{4000}, U64_MAX - 1}) {
            const uint64_t hi = lo == 3 ? U64_MAX : lo + 1500;
            const uint64_t before = ber_meter_get_symbols(bm) + ber_meter_get_skipped(bm);
            const uint64_t n = ber_meter_score(bm, rx.data(), rx.size(), lo, hi);
            const uint64_t end = hi < rx.size() ? hi : rx.size();
            const uint64_t window = lo < end ? end - lo : 0;
            EXPECT_EQ(ber_meter_get_symbols(bm) + ber_meter_get_skipped(bm) - before, window);
            EXPECT_LE(n, window);
        }
        EXPECT_EQ(ber_meter_get_errors(bm), 0u);  // noiseless: whatever is scored is right
    }
    rec.lag = BER_LAG_SPAN_MAX + 1;
    EXPECT_EQ(VX_ERR_INVALID, ber_meter_set_align(bm, 0, 0, 0, &rec));
    rec.lag = 0;
    rec.phase = NAN;
    EXPECT_EQ(VX_ERR_INVALID, ber_meter_set_align(bm, 0, 0, 0, &rec));
    ber_meter_destroy(bm);
    ber_meter_destroy(nullptr);
}

TEST(BerMeter, TheBlobCarriesTheAlignment)
{
    const auto t = truth_of(3000);
    const auto rx = qpsk(t, 17);
    ber_meter *a = ber_meter_create(4, 0, 0.0), *b = ber_meter_create(4, 0, 0.0);
    ASSERT_EQ(VX_OK, ber_meter_set_truth(a, t.data(), t.size()));
    ASSERT_EQ(VX_OK, ber_meter_set_truth(b, t.data(), t.size()));
    ASSERT_EQ(1, ber_meter_align(a, rx.data(), rx.size(), 500, 64, 900, 0.0, 0));
    ber_meter_score(a, rx.data(), rx.size(), 0, 1000);
    const auto blob = vxtest::save(a, ber_meter_state_bytes, ber_meter_get_state);
    ASSERT_EQ(VX_OK, ber_meter_set_state(b, blob.data()));  // b never aligned
    ber_meter_score(a, rx.data(), rx.size(), 1000, 2900);
    ber_meter_score(b, rx.data(), rx.size(), 1000, 2900);
    EXPECT_EQ(vxtest::save(a, ber_meter_state_bytes, ber_meter_get_state),
              vxtest::save(b, ber_meter_state_bytes, ber_meter_get_state));
    EXPECT_GT(ber_meter_get_skipped(b), 64u);  // the marker geometry came along too
    vxtest::expect_header_rules(b, ber_meter_state_bytes, ber_meter_get_state, ber_meter_set_state);

    // lag, phase, n_marker and the two flags: each out of range is refused, b unchanged.
    const auto good = vxtest::save(b, ber_meter_state_bytes, ber_meter_get_state);
    auto poke = [&](size_t at, auto v) {
        auto bad = good;
        std::memcpy(bad.data() + at, &v, sizeof v);
        EXPECT_EQ(VX_ERR_INVALID, ber_meter_set_state(b, bad.data())) << "offset " << at;
        EXPECT_EQ(vxtest::save(b, ber_meter_state_bytes, ber_meter_get_state), good);
    };
    poke(88, int64_t{BER_LAG_SPAN_MAX + 1});
    poke(96, double{NAN});
    poke(72, uint64_t{0});
    poke(152, uint32_t{2});
    poke(156, uint32_t{7});
    ber_meter_destroy(a);
    ber_meter_destroy(b);
}

TEST(BerMeter, ConfidenceBoundsAndStoppedInterval)
{
    const ber_interval zero = ber_confidence(0, 1000, 0.95);
    EXPECT_EQ(zero.lo, 0.0);
    EXPECT_NEAR(zero.hi, -std::log(0.025) / 1000, 1e-15);
    const ber_interval fixed = ber_confidence(8, 20000, 0.99);
    const ber_interval stopped = ber_confidence_stopped(8, 20000, 0.99);
    EXPECT_EQ(fixed.lo, stopped.lo);
    EXPECT_GT(fixed.hi, stopped.hi);
    EXPECT_NEAR(stopped.hi, 0.000857, 5e-7);
    EXPECT_NEAR(stopped.p_hat, 7.0 / 19999, 1e-15);
    const ber_interval huge = ber_confidence(U64_MAX, U64_MAX, 0.99);
    EXPECT_TRUE(std::isfinite(huge.lo) && std::isfinite(huge.hi));
    EXPECT_TRUE(std::isnan(ber_confidence(1, 0, 0.99).p_hat));
}
