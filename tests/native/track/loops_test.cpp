// Loop filter, NCO and lock detector through the C ABI.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "blob_check.hpp"
#include "lockdet.h"
#include "loop_filter.h"
#include "nco.h"

TEST(LoopFilter, GainsFirstStepAndConfigure)
{
    loop_filter *lf = loop_filter_create(0.02, 0.707, 1.0);
    ASSERT_NE(lf, nullptr);
    EXPECT_NEAR(lf->kp, 0.051925, 1e-6);
    EXPECT_NEAR(lf->ki, 0.001385, 1e-6);
    double x = 1.0, y;
    loop_filter_steps(lf, &x, &y, 1);
    EXPECT_NEAR(y, 0.05331, 5e-6);
    const double integ = lf->integ;
    EXPECT_EQ(VX_OK, loop_filter_configure(lf, 0.05, 0.707, 1.0));
    EXPECT_EQ(lf->integ, integ);
    EXPECT_NEAR(lf->kp, 0.124728, 1e-6);
    EXPECT_EQ(VX_ERR_INVALID, loop_filter_configure(lf, NAN, 0.707, 1.0));
    EXPECT_EQ(VX_ERR_INVALID, loop_filter_configure(lf, 0.01, 0.0, 1.0));
    EXPECT_NEAR(lf->kp, 0.124728, 1e-6); // a refused configure changes nothing
    loop_filter_destroy(lf);
}

TEST(LoopFilter, CreateRefusesOutOfRangeAndNonFinite)
{
    const double inf = INFINITY;
    EXPECT_EQ(nullptr, loop_filter_create(-0.1, 0.707, 1));
    EXPECT_EQ(nullptr, loop_filter_create(0.01, 0, 1));
    EXPECT_EQ(nullptr, loop_filter_create(0.01, 0.7, 0));
    EXPECT_EQ(nullptr, loop_filter_create(inf, 0.7, 1));
    EXPECT_EQ(nullptr, loop_filter_create(0.01, NAN, 1));
    loop_filter *zero = loop_filter_create(0.0, 0.7, 1);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero->kp, 0.0);
    EXPECT_EQ(zero->ki, 0.0);
    loop_filter_destroy(zero);
}

TEST(LoopFilter, BlobHeaderRulesAndSplits)
{
    loop_filter *lf = loop_filter_create(0.03, 0.8, 2.0);
    double x[5] = {1, -2, 3, 0.5, 0.25}, y[5];
    loop_filter_steps(lf, x, y, 5);
    vxtest::expect_header_rules(lf, loop_filter_state_bytes, loop_filter_get_state,
                                loop_filter_set_state);
    loop_filter_destroy(lf);

    std::mt19937 rng(1);
    std::normal_distribution<double> g;
    std::vector<double> in(1000);
    for (auto &v : in)
        v = g(rng);
    vxtest::expect_split_invariant<loop_filter, double>(
        [] { return loop_filter_create(0.02, 0.707, 1.0); }, loop_filter_destroy,
        [&](loop_filter *o, size_t first, size_t n, std::vector<double> &out) {
            const size_t at = out.size();
            out.resize(at + n);
            loop_filter_steps(o, in.data() + first, out.data() + at, n);
        },
        in.size(), {1, 17, 400, 401, 999});
}

TEST(Nco, IncrementsScalingAndControl)
{
    nco *o = nco_create(0.0, 1024);
    nco_set_norm_freq(o, -0.25);
    EXPECT_EQ(nco_get_phase_inc(o), 0xC0000000u);
    nco_set_norm_freq(o, 1.0);
    EXPECT_EQ(nco_get_phase_inc(o), 0u);
    EXPECT_EQ(nco_get_norm_freq(o), 1.0);

    nco_set_phase(o, 0x80000000u);
    uint32_t w;
    EXPECT_EQ(1u, nco_steps_u32_scaled(o, 1, &w, 1));
    EXPECT_EQ(w, 512u);

    // Control adds to the base frequency for one sample only.
    nco_set_norm_freq(o, 0.25);
    nco_set_phase(o, 0);
    double ctrl[3] = {0.25, 0.0, 0.0};
    uint32_t p[3];
    EXPECT_EQ(3u, nco_steps_u32_ctrl(o, ctrl, 3, p, 3));
    EXPECT_EQ(p[0], 0u);
    EXPECT_EQ(p[1], 0x80000000u);
    EXPECT_EQ(p[2], 0xC0000000u);

    EXPECT_EQ(nco_steps_u32_max_out(o), 65536u);
    EXPECT_EQ(0u, nco_steps_u32(o, 0, p, 3));
    EXPECT_EQ(2u, nco_steps_u32(o, 5, p, 2)); // never past out_cap
    nco_destroy(o);
}

TEST(Nco, WrapFlags)
{
    nco *o = nco_create(0.5, 0);
    uint32_t p[4];
    uint8_t f[4];
    EXPECT_EQ(4u, nco_steps_u32_ovf(o, 4, p, f, 4));
    EXPECT_EQ(f[0], 0); // 0 -> 0x80000000
    EXPECT_EQ(f[1], 1); // 0x80000000 -> 0 wraps
    EXPECT_EQ(f[2], 0);
    EXPECT_EQ(f[3], 1);

    // Controlled: the sign of the total frequency decides; a whole cycle always counts.
    nco_set_norm_freq(o, 0.0);
    nco_set_phase(o, 0x10);
    double c[3] = {1.0, -0.0000001, 0.0};
    EXPECT_EQ(3u, nco_steps_u32_ovf_ctrl(o, c, 3, p, f, 3));
    EXPECT_EQ(f[0], 1); // g = 1: phase lands where it started, still one wrap
    EXPECT_EQ(f[1], 1); // 0x10 minus ~429 steps backward past zero
    EXPECT_EQ(f[2], 0); // g = 0 never flags
    nco_destroy(o);
}

TEST(Nco, BlobRestoresPhaseOnly)
{
    nco *a = nco_create(0.1, 0);
    uint32_t p[7];
    nco_steps_u32(a, 7, p, 7);
    std::vector<uint8_t> blob(nco_state_bytes(a));
    nco_get_state(a, blob.data());
    nco *b = nco_create(0.3, 0);
    EXPECT_EQ(VX_OK, nco_set_state(b, blob.data()));
    EXPECT_EQ(nco_get_phase(b), nco_get_phase(a));
    EXPECT_EQ(nco_get_norm_freq(b), 0.3);
    vxtest::expect_header_rules(a, nco_state_bytes, nco_get_state, nco_set_state);
    nco_destroy(a);
    nco_destroy(b);
}

TEST(Lockdet, DeclaresDropsAndTreatsNanAsMinusInfinity)
{
    lockdet *ld = lockdet_create(1.0, 0.5, 3, 2);
    const double looks[6] = {2, 2, 0, 2, 2, 2};
    int32_t out[6];
    EXPECT_EQ(6u, lockdet_steps(ld, looks, out, 6));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(out[i], 0) << i;
    EXPECT_EQ(out[5], 1); // declared on the sixth look

    const double drop[3] = {NAN, 2, NAN};
    lockdet_steps(ld, drop, out, 3);
    EXPECT_EQ(out[0], 1); // one NaN counts toward the drop
    EXPECT_EQ(out[1], 1); // a good look restarts the run
    EXPECT_EQ(out[2], 1);
    const double nan1 = NAN;
    lockdet_steps(ld, &nan1, out, 1);
    EXPECT_EQ(out[0], 0); // second consecutive NaN drops it

    lockdet_configure(ld, 5.0, 4.0, 0, 0); // counts of 0 act as 1; decision kept
    EXPECT_EQ(ld->n_up, 1u);
    lockdet_destroy(ld);
}

TEST(Lockdet, ConfigureKeepsLockAndBlobFieldsAreValidated)
{
    lockdet *ld = lockdet_create(0.0, -1.0, 1, 4);
    double one = 1.0;
    int32_t d;
    lockdet_steps(ld, &one, &d, 1);
    ASSERT_EQ(d, 1);
    lockdet_configure(ld, 0.5, 0.1, 2, 2);
    EXPECT_EQ(ld->locked, 1u);
    EXPECT_EQ(ld->count, 0u);
    vxtest::expect_header_rules(ld, lockdet_state_bytes, lockdet_get_state, lockdet_set_state);

    std::vector<uint8_t> blob(lockdet_state_bytes(ld));
    lockdet_get_state(ld, blob.data());
    auto with = [&](size_t off, uint32_t v) {
        std::vector<uint8_t> b = blob;
        std::memcpy(&b[off], &v, 4);
        return lockdet_set_state(ld, b.data());
    };
    EXPECT_EQ(VX_ERR_INVALID, with(32, 0)); // n_up 0
    EXPECT_EQ(VX_ERR_INVALID, with(36, 0)); // n_down 0
    EXPECT_EQ(VX_ERR_INVALID, with(44, 2)); // locked not a flag
    EXPECT_EQ(VX_ERR_INVALID, with(40, 2)); // run already at n_down
    EXPECT_EQ(VX_OK, with(40, 1));
    EXPECT_EQ(ld->count, 1u);
    lockdet_destroy(ld);
}
