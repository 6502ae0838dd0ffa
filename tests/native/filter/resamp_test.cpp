// Polyphase resampler: counts, splits, spectra, the control path, blobs and bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "blob_check.hpp"
#include "dsp_check.hpp"
#include "resamp.h"

namespace {

const double kRates[] = {0.5, 0.8, 1.0 / 3.0, 2.5, 0.7071};

std::vector<vx_cf32> run(resamp *r, const std::vector<vx_cf32> &x, const std::vector<size_t> &blocks)
{
    return dsp::feed_blocks(
        x, blocks,
        [r](const vx_cf32 *in, size_t n, vx_cf32 *out, size_t cap) {
            return resamp_execute(r, in, n, out, cap);
        },
        [r](size_t n) { return resamp_execute_max_out(r, n); });
}

std::vector<vx_cf32> run_ctrl(resamp *r, const std::vector<vx_cf32> &x, const std::vector<double> &c,
                              const std::vector<size_t> &blocks, size_t room)
{
    std::vector<vx_cf32> out;
    size_t at = 0;
    for (size_t n : blocks) {
        const size_t base = out.size();
        out.resize(base + room);
        out.resize(base + resamp_execute_ctrl(r, x.data() + at, c.data() + at, n, out.data() + base, room));
        at += n;
    }
    return out;
}

// The block path written out literally, one sample at a time: the scalar reference the
// vectorised kernels must match bit for bit.
struct Literal {
    uint64_t L, K;
    std::vector<float> bank;
    double rate;
    uint32_t step, acc = 0;
    std::vector<vx_cf32> ring, tacc, partial; // ring[0] newest

    Literal(uint64_t l, uint64_t k, std::vector<float> b, double r)
        : L(l), K(k), bank(std::move(b)), rate(r), ring(k), tacc(k), partial(k > 1 ? k - 1 : 0)
    {
        const double v = std::floor(r >= 1 ? 4294967296.0 / r : 4294967296.0 * r);
        step = v > 0 && v < 4294967296.0 ? static_cast<uint32_t>(v) : 0;
    }
    const float *arm(uint32_t a) const { return &bank[((uint64_t{a} * L) >> 32) * K]; }
    bool advance()
    {
        const uint32_t old = acc;
        acc += step;
        return step == 0 || acc < old;
    }
    std::vector<vx_cf32> run(const std::vector<vx_cf32> &x)
    {
        std::vector<vx_cf32> y;
        if (rate >= 1) {
            for (size_t used = 0; used < x.size();) {
                const float *a = arm(acc);
                float sr[4] = {0, 0, 0, 0}, si[4] = {0, 0, 0, 0};
                for (uint64_t k = 0; k < K; ++k) {
                    sr[k % 4] += a[k] * ring[k].re;
                    si[k % 4] += a[k] * ring[k].im;
                }
                y.push_back({(sr[0] + sr[1]) + (sr[2] + sr[3]), (si[0] + si[1]) + (si[2] + si[3])});
                if (advance()) {
                    ring.insert(ring.begin(), x[used++]);
                    ring.pop_back();
                }
            }
            return y;
        }
        for (const vx_cf32 &v : x) {
            const float *a = arm(acc);
            const float xr = v.re * static_cast<float>(rate), xi = v.im * static_cast<float>(rate);
            for (uint64_t k = 0; k < K; ++k) {
                tacc[k].re += xr * a[K - 1 - k];
                tacc[k].im += xi * a[K - 1 - k];
            }
            if (!advance())
                continue;
            if (K == 1) {
                y.push_back(tacc[0]);
            } else {
                y.push_back({tacc[0].re + partial[0].re, tacc[0].im + partial[0].im});
                for (uint64_t k = 0; k + 2 < K; ++k)
                    partial[k] = {partial[k + 1].re + tacc[k + 1].re, partial[k + 1].im + tacc[k + 1].im};
                partial[K - 2] = tacc[K - 1];
            }
            std::fill(tacc.begin(), tacc.end(), vx_cf32{0, 0});
        }
        return y;
    }
};

} // namespace

TEST(Resamp, VectorKernelsMatchTheLiteralForms)
{
    const auto x = dsp::noise(3000, 17);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1, 1);
    for (auto [L, K] : {std::pair<uint64_t, uint64_t>{64, 19}, {5, 16}, {3, 1}, {128, 9}, {7, 33}, {64, 10}, {2, 2}, {9, 3}}) {
        std::vector<float> bank(L * K);
        for (float &b : bank)
            b = u(rng) / static_cast<float>(K);
        for (double rate : {0.8, 0.7071, 1.0 / 3.0, 1.0, 2.5}) {
            resamp *r = resamp_create_custom(L, K, bank.data(), rate);
            const auto got = run(r, x, dsp::random_blocks(x.size(), static_cast<unsigned>(K), 300));
            const auto want = Literal(L, K, bank, rate).run(x);
            EXPECT_TRUE(dsp::same_bits(got, want)) << L << "x" << K << " at " << rate;
            resamp_destroy(r);
        }
    }
}

TEST(Resamp, DefaultBankShape)
{
    resamp *r = resamp_create(1.0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(resamp_get_num_phases(r), 4096u);
    EXPECT_EQ(resamp_get_num_taps(r), 19u);
    EXPECT_EQ(resamp_get_delay(r), 10.5);
    EXPECT_NEAR(resamp_dc_gain(r), 1.0, 2e-3);
    EXPECT_EQ(resamp_state_bytes(r), 40u + 16 * 32 + 8 * 19 + 8 * 18);
    resamp_destroy(r);
}

TEST(Resamp, UnitRateDelaysByTenAndAHalfWithUnitGain)
{
    resamp *r = resamp_create(1.0);
    const double f = 0.05;
    const auto x = dsp::tone(400, f, 0.8);
    const auto y = run(r, x, {400});
    ASSERT_EQ(y.size(), 400u);
    EXPECT_EQ(y[0].re, 0.0f);
    EXPECT_EQ(y[0].im, 0.0f);
    double worst = 0;
    for (size_t n = 40; n < y.size(); ++n) {
        const auto want = std::polar(0.8, 2 * dsp::kPi * f * (static_cast<double>(n) - 10.5));
        worst = std::max(worst, std::abs(dsp::cd(y[n].re, y[n].im) - want));
    }
    EXPECT_LT(worst, 2e-3);
    resamp_destroy(r);
}

TEST(Resamp, DecimatorSettlesToAConstant)
{
    resamp *r = resamp_create(0.5);
    const auto y = run(r, std::vector<vx_cf32>(400, vx_cf32{0.25f, -1.0f}), {400});
    ASSERT_EQ(y.size(), 200u);
    for (size_t n = 30; n < y.size(); ++n) {
        EXPECT_NEAR(y[n].re, 0.25, 1e-3);
        EXPECT_NEAR(y[n].im, -1.0, 2e-3);
    }
    resamp_destroy(r);
}

TEST(Resamp, CountsAndOutputsDoNotDependOnTheSplit)
{
    const auto x = dsp::noise(5000, 21);
    for (double rate : kRates) {
        resamp *whole = resamp_create(rate);
        const auto want = run(whole, x, {x.size()});
        EXPECT_LE(std::fabs(static_cast<double>(want.size()) - x.size() * rate), 1.0) << rate;
        for (unsigned seed : {1u, 2u}) {
            resamp *r = resamp_create(rate);
            const auto got = run(r, x, dsp::random_blocks(x.size(), seed, seed == 1 ? 9 : 700));
            EXPECT_TRUE(dsp::same_bits(got, want)) << rate << " seed " << seed;
            resamp_destroy(r);
        }
        // The count of any prefix stays within one of n·rate.
        resamp *r = resamp_create(rate);
        uint64_t total = 0;
        std::vector<vx_cf32> y(64);
        for (size_t n = 0; n < 2000; n += 7) {
            const uint64_t predicted = resamp_execute_max_out(r, 7);
            const uint64_t made = resamp_execute(r, x.data() + n, 7, y.data(), y.size());
            EXPECT_EQ(made, predicted);
            total += made;
            EXPECT_LE(std::fabs(static_cast<double>(total) - (n + 7) * rate), 1.0) << rate << " at " << n;
        }
        resamp_destroy(r);
        resamp_destroy(whole);
    }
}

TEST(Resamp, ToneFrequencyAndImageRejection)
{
    for (double rate : kRates) {
        // A passband tone, plus (when decimating) a tone near the input Nyquist frequency,
        // beyond the stopband edge (0.6 cycles per output sample) at every rate tested.
        const double f_in = 0.06 * std::min(1.0, rate);
        const double f_alias_in = 0.49;
        const size_t n_out = 8192, n_in = static_cast<size_t>((n_out + 64) / rate) + 64;
        auto x = dsp::tone(n_in, f_in, 1.0);
        if (rate < 1) {
            const auto a = dsp::tone(n_in, f_alias_in, 1.0, 0.4);
            for (size_t i = 0; i < n_in; ++i)
                x[i].re += a[i].re, x[i].im += a[i].im;
        }
        resamp *r = resamp_create(rate);
        const auto y = run(r, x, {n_in});
        ASSERT_GE(y.size(), n_out + 32);
        const dsp::Spectrum s(y, 32, n_out);
        const double f_out = f_in / rate;
        EXPECT_NEAR(s.amplitude(f_out), 1.0, 2e-3) << rate;
        const double spur = s.worst_spur_db({f_out}, 1.0);
        EXPECT_LT(spur, -60.0) << rate;
        resamp_destroy(r);
    }
}

TEST(Resamp, ShortMaxOutSkipsOutputsButKeepsTiming)
{
    const auto x = dsp::noise(3000, 8);
    for (double rate : {2.5, 0.8, 1.0}) {
        resamp *a = resamp_create(rate), *b = resamp_create(rate);
        const auto want = run(a, x, {x.size()});
        const uint64_t first = resamp_execute_max_out(b, 1000);
        std::vector<vx_cf32> y(8000);
        ASSERT_EQ(5u, resamp_execute(b, x.data(), 1000, y.data(), 5));
        EXPECT_EQ(0, std::memcmp(y.data(), want.data(), 5 * sizeof(vx_cf32)));
        const uint64_t rest = resamp_execute(b, x.data() + 1000, 2000, y.data(), y.size());
        ASSERT_EQ(first + rest, want.size()) << rate;
        EXPECT_EQ(0, std::memcmp(y.data(), want.data() + first, rest * sizeof(vx_cf32))) << rate;
        resamp_destroy(a);
        resamp_destroy(b);
    }
}

TEST(Resamp, InterpFillIsTheDirectForm)
{
    const auto x = dsp::noise(800, 2);
    resamp *a = resamp_create(1.7), *b = resamp_create(1.7);
    const auto want = run(a, x, {x.size()});
    std::vector<vx_cf32> y(want.size());
    uint64_t used = 0, made = 0;
    for (uint64_t n_out : {1u, 13u, 100u, 1u, 500u}) {
        const uint64_t need = resamp_interp_inputs_needed(b, n_out);
        ASSERT_EQ(need, resamp_interp_fill(b, x.data() + used, y.data() + made, n_out));
        used += need;
        made += n_out;
    }
    EXPECT_EQ(0, std::memcmp(y.data(), want.data(), made * sizeof(vx_cf32)));
    EXPECT_EQ(0u, resamp_interp_fill(b, nullptr, y.data(), 10));
    resamp_destroy(a);
    resamp_destroy(b);
}

TEST(Resamp, ControlPathTimingAndRoom)
{
    // Rate 0.25 with no deviation: one output per four pushes after the first.
    resamp *r = resamp_create(0.25);
    vx_cf32 y[8];
    std::vector<uint64_t> got;
    for (int i = 0; i < 17; ++i)
        got.push_back(resamp_execute_ctrl_push(r, y, 8, vx_cf32{1, 0}, 0.0));
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(got[i], i % 4 == 0 ? 1u : 0u) << i;
    resamp_destroy(r);

    // Without room the input is still stored and the output comes on a later push, computed
    // from its own history; past what the ring holds the earliest due outputs are skipped,
    // so what comes out is always the tail of the unhurried run.
    const auto x = dsp::noise(400, 5);
    for (size_t starved : {10, 13, 300}) {
        resamp *a = resamp_create(0.5), *b = resamp_create(0.5);
        std::vector<vx_cf32> ya, yb;
        for (size_t i = 0; i < x.size(); ++i) {
            ya.resize(ya.size() + 8);
            ya.resize(ya.size() - 8 + resamp_execute_ctrl_push(a, ya.data() + ya.size() - 8, 8, x[i], 0.0));
            yb.resize(yb.size() + 8);
            yb.resize(yb.size() - 8 +
                      resamp_execute_ctrl_push(b, yb.data() + yb.size() - 8, i < starved ? 0 : 8, x[i], 0.0));
        }
        ASSERT_LE(yb.size(), ya.size());
        EXPECT_EQ(yb.size() == ya.size(), starved <= 13) << starved; // 13 = ring slack of 19 taps
        EXPECT_TRUE(dsp::same_bits(yb, std::vector<vx_cf32>(ya.end() - yb.size(), ya.end()))) << starved;
        std::vector<uint8_t> sa(resamp_state_bytes(a)), sb(sa.size());
        resamp_get_state(a, sa.data());
        resamp_get_state(b, sb.data());
        EXPECT_EQ(0, std::memcmp(&sa[16], &sb[16], sa.size() - 16)) << starved; // same state
        resamp_destroy(a);
        resamp_destroy(b);
    }

    // A restored owed count past what the ring holds (older blobs) runs bounded and safe.
    resamp *h = resamp_create(0.5);
    std::vector<uint8_t> blob(resamp_state_bytes(h));
    resamp_get_state(h, blob.data());
    std::memset(&blob[36], 0xFF, 4); // ctrl_owed
    ASSERT_EQ(VX_OK, resamp_set_state(h, blob.data()));
    uint64_t outs = 0;
    for (size_t i = 0; i < 100; ++i)
        outs += resamp_execute_ctrl_push(h, y, 8, x[i], 0.0);
    EXPECT_NEAR(static_cast<double>(outs), (100 + 13) / 2.0, 1.0); // owed = 13 more ticks
    resamp_destroy(h);

    // A deviation acts as a rate offset; NaN or a collapse stalls; +inf stays bounded.
    resamp *c = resamp_create(1.0);
    const auto n = dsp::noise(5000, 6);
    EXPECT_NEAR(static_cast<double>(run_ctrl(c, n, std::vector<double>(5000, -0.2), {5000}, 5000).size()),
                4000, 2);
    EXPECT_GE(resamp_get_ctrl_acc(c), 0.0);
    EXPECT_LT(resamp_get_ctrl_acc(c), 1.0);
    for (double stall : {double(NAN), -2.0}) {
        resamp_reset(c);
        EXPECT_LE(run_ctrl(c, n, std::vector<double>(5000, stall), {5000}, 5000).size(), 1u);
    }
    resamp_reset(c);
    EXPECT_EQ(run_ctrl(c, n, std::vector<double>(5000, INFINITY), {5000}, 100).size(), 100u);
    resamp_destroy(c);
}

TEST(Resamp, ControlPathSplitsAndBlobs)
{
    const auto x = dsp::noise(3000, 12);
    std::vector<double> c(x.size());
    for (size_t i = 0; i < c.size(); ++i)
        c[i] = 0.05 * std::sin(0.01 * static_cast<double>(i));
    for (double rate : {0.7071, 1.6}) {
        resamp *a = resamp_create(rate), *b = resamp_create(rate);
        const auto want = run_ctrl(a, x, c, {x.size()}, 6000);
        const auto got = run_ctrl(b, x, c, dsp::random_blocks(x.size(), 4, 50), 6000);
        EXPECT_TRUE(dsp::same_bits(got, want)) << rate;

        std::vector<uint8_t> blob(resamp_state_bytes(a));
        resamp_get_state(a, blob.data());
        resamp *d = resamp_create(rate);
        ASSERT_EQ(VX_OK, resamp_set_state(d, blob.data()));
        const auto more_a = run_ctrl(a, x, c, {500}, 2000);
        const auto more_d = run_ctrl(d, x, c, {500}, 2000);
        EXPECT_TRUE(dsp::same_bits(more_a, more_d)) << rate;
        vxtest::expect_header_rules(a, resamp_state_bytes, resamp_get_state, resamp_set_state);
        resamp_destroy(a);
        resamp_destroy(b);
        resamp_destroy(d);
    }
}

TEST(Resamp, BlockPathBlobsAndHostileFields)
{
    const auto x = dsp::noise(1000, 13);
    for (double rate : {0.8, 2.5}) {
        resamp *a = resamp_create(rate), *b = resamp_create(rate);
        std::vector<vx_cf32> ya(4000), yb(4000);
        resamp_execute(a, x.data(), 333, ya.data(), ya.size());
        std::vector<uint8_t> blob(resamp_state_bytes(a));
        resamp_get_state(a, blob.data());
        ASSERT_EQ(VX_OK, resamp_set_state(b, blob.data()));
        const uint64_t n = resamp_execute(a, x.data() + 333, 667, ya.data(), ya.size());
        ASSERT_EQ(n, resamp_execute(b, x.data() + 333, 667, yb.data(), yb.size()));
        EXPECT_EQ(0, std::memcmp(ya.data(), yb.data(), n * sizeof(vx_cf32))) << rate;

        std::vector<uint8_t> before(blob.size()), after(blob.size());
        resamp_get_state(b, before.data());
        for (auto [off, v, w] : {std::tuple<size_t, uint64_t, size_t>{20, 32, 8}, {20, ~0ull, 8},
                                 {32, 1000002, 4}}) {
            std::vector<uint8_t> bad = blob;
            std::memcpy(&bad[off], &v, w);
            EXPECT_EQ(VX_ERR_INVALID, resamp_set_state(b, bad.data())) << off;
        }
        resamp_get_state(b, after.data());
        EXPECT_EQ(before, after);
        resamp_destroy(a);
        resamp_destroy(b);
    }
}

TEST(Resamp, CustomBanksOfAnyArmCountStayInside)
{
    // Arm p holds the value p + 1 in every tap: outputs reveal the arm index used.
    for (uint64_t L : {1u, 3u, 5u, 7u}) {
        for (uint64_t K : {1u, 2u, 5u}) {
            std::vector<float> bank(L * K);
            for (uint64_t p = 0; p < L; ++p)
                for (uint64_t k = 0; k < K; ++k)
                    bank[p * K + k] = static_cast<float>(p + 1);
            for (double rate : {0.37, 1.0, 2.3}) {
                resamp *r = resamp_create_custom(L, K, bank.data(), rate);
                ASSERT_NE(r, nullptr);
                const std::vector<vx_cf32> ones(300, vx_cf32{1, 0});
                const auto y = run(r, ones, dsp::random_blocks(300, static_cast<unsigned>(L * K), 40));
                // Direct form: K·(p + 1); transposed: rate·(p + 1) from each of the
                // floor..ceil(K/rate) inputs an output gathers.
                const double lo = rate < 1 ? rate * K * std::floor(1 / rate) : K;
                const double hi = rate < 1 ? rate * L * K * std::ceil(1 / rate) : L * K;
                for (size_t n = 2 * K + 2; n < y.size(); ++n) {
                    EXPECT_GE(y[n].re, 0.99 * lo) << L << "x" << K << " @" << rate;
                    EXPECT_LE(y[n].re, 1.01 * hi) << L << "x" << K << " @" << rate;
                }
                vx_cf32 out[4];
                for (int i = 0; i < 50; ++i)
                    resamp_execute_ctrl_push(r, out, 4, vx_cf32{1, 0}, 0.01 * i);
                resamp_destroy(r);
            }
        }
    }
    std::vector<float> one(1, 1.0f);
    resamp *r = resamp_create_custom(1, 1, one.data(), 0.5);
    EXPECT_EQ(resamp_state_bytes(r), 48u + 16 * 1);
    resamp_destroy(r);
}

TEST(Resamp, CreateAndSetRateRefuseBadArguments)
{
    float bank[4] = {1, 1, 1, 1};
    EXPECT_EQ(nullptr, resamp_create_custom(0, 4, bank, 1.0));
    EXPECT_EQ(nullptr, resamp_create_custom(4, 0, bank, 1.0));
    EXPECT_EQ(nullptr, resamp_create_custom(2, 2, nullptr, 1.0));
    for (double bad : {0.0, -1.0, double(NAN), double(INFINITY)})
        EXPECT_EQ(nullptr, resamp_create_custom(2, 2, bank, bad)) << bad;
    EXPECT_EQ(nullptr, resamp_create(0.0));
    EXPECT_EQ(nullptr, resamp_create(NAN));
    EXPECT_EQ(nullptr, resamp_create_custom(uint64_t{1} << 33, 1, bank, 1.0));
    EXPECT_EQ(nullptr, resamp_create_custom(uint64_t{1} << 32, RESAMP_MAX_TAPS, bank, 1.0));
    EXPECT_EQ(nullptr, resamp_create_custom(1, ~0ull, bank, 1.0));
    EXPECT_EQ(nullptr, resamp_create_from_bank(0, 4, static_cast<float *>(vx_calloc(4, 4)), 1.0));

    resamp *r = resamp_create_custom(2, 2, bank, 0.5);
    EXPECT_EQ(VX_ERR_INVALID, resamp_set_rate(r, -0.5));
    EXPECT_EQ(VX_ERR_INVALID, resamp_set_rate(r, NAN));
    EXPECT_EQ(resamp_get_rate(r), 0.5);
    EXPECT_EQ(VX_OK, resamp_set_rate(r, 3.0));
    EXPECT_NEAR(static_cast<double>(resamp_execute_max_out(r, 10)), 30, 1);
    // A rate whose step falls outside (0, 2^32): one output per input.
    EXPECT_EQ(VX_OK, resamp_set_rate(r, 1e10));
    EXPECT_EQ(resamp_execute_max_out(r, 10), 10u);
    vx_cf32 x[10] = {}, y[10];
    EXPECT_EQ(10u, resamp_execute(r, x, 10, y, 10));
    EXPECT_EQ(0u, resamp_execute(r, nullptr, 10, y, 10));
    resamp_destroy(r);
    resamp_destroy(nullptr);
}
