// Capacity promises: every decimator, converter and down-converter fed one sample per call,
// each call given exactly the room its *_max_out promises, yields the one-block output.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cic.h"
#include "ddc.h"
#include "dsp_check.hpp"
#include "hbdecim.h"
#include "rate_converter.h"
#include "resamp.h"

namespace {

constexpr size_t kLen = 6000;

// Object-only bounds: 0 means the input length suffices.
uint64_t room(uint64_t n, uint64_t bound) { return std::max(n, bound); }

std::vector<float> real_noise(size_t n)
{
    std::vector<float> v;
    for (const vx_cf32 &s : dsp::noise(n, 7, 0.4f))
        v.push_back(s.re);
    return v;
}

template <class In, class Obj, class Make, class Run, class Cap, class Destroy>
void one_at_a_time(const std::string &what, const std::vector<In> &x, Make make, Run run,
                   Cap cap, Destroy destroy)
{
    Obj *a = make(), *b = make();
    ASSERT_TRUE(a && b) << what;
    // Each call gets exactly the room promised from the object's state before it.
    auto fed = [&](Obj *o, size_t block) {
        std::vector<vx_cf32> out, buf;
        for (size_t at = 0; at < x.size(); at += block) {
            const size_t n = std::min(block, x.size() - at), c = cap(o, n);
            buf.resize(std::max(buf.size(), c));
            const size_t got = run(o, x.data() + at, n, buf.data(), c);
            EXPECT_LE(got, c) << what;
            out.insert(out.end(), buf.begin(), buf.begin() + got);
        }
        return out;
    };
    const std::vector<vx_cf32> whole = fed(a, x.size());
    const std::vector<vx_cf32> ones = fed(b, 1);
    EXPECT_FALSE(whole.empty()) << what;
    EXPECT_TRUE(dsp::same_bits(whole, ones)) << what << ": " << whole.size() << " outputs in one block, "
                                             << ones.size() << " one sample at a time";
    destroy(a);
    destroy(b);
}

}  // namespace

TEST(Capacity, StagesTakeOneSampleAtATime)
{
    const auto x = dsp::noise(kLen, 3, 0.4f);
    for (uint32_t r : {2u, 16u, 2048u})
        one_at_a_time<vx_cf32, cic>("cic " + std::to_string(r), x, [r] { return cic_create(r); }, cic_decimate,
            [](cic *c, uint64_t n) { return room(n, cic_decimate_max_out(c)); }, cic_destroy);
    one_at_a_time<vx_cf32, hbdecim>("hbdecim", x, [] { return hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR); },
        hbdecim_execute, hbdecim_execute_max_out, hbdecim_destroy);
    one_at_a_time<float, hbdecim_r2c>("hbdecim_r2c", real_noise(kLen),
        [] { return hbdecim_r2c_create(VX_HB_FIR_LEN, VX_HB_FIR); }, hbdecim_r2c_execute,
        hbdecim_r2c_execute_max_out, hbdecim_r2c_destroy);
    for (double rate : {0.3, 4.0 / 3.0, 2.5})
        one_at_a_time<vx_cf32, resamp>("resamp " + std::to_string(rate), x, [rate] { return resamp_create(rate); },
            resamp_execute, resamp_execute_max_out, resamp_destroy);
}

TEST(Capacity, ConvertersTakeOneSampleAtATime)
{
    const auto x = dsp::noise(kLen, 4, 0.4f);
    auto rc_room = [](RateConverter *rc, uint64_t n) { return room(n, RateConverter_execute_max_out(rc)); };
    for (double rate : {1.0 / 12, 0.1, 2.5, 1.0 / 4096})
        one_at_a_time<vx_cf32, RateConverter>("RateConverter " + std::to_string(rate), x,
            [rate] { return RateConverter_create(0, rate); }, RateConverter_execute, rc_room, RateConverter_destroy);
    for (double rate : {1.0 / 12, 0.5})
        one_at_a_time<vx_cf32, RateConverter>("matched RateConverter " + std::to_string(rate), x,
            [rate] { return RateConverter_create_matched(1, RC_PULSE_RRC, 4, 64, rate, 0.35, 2.0); },
            RateConverter_execute, rc_room, RateConverter_destroy);
}

TEST(Capacity, DownConvertersTakeOneSampleAtATime)
{
    const auto x = dsp::noise(kLen, 5, 0.4f);
    const auto xr = real_noise(kLen);
    auto ddc_ctrl = [](ddc *d, const vx_cf32 *p, uint64_t n, vx_cf32 *y, uint64_t c) {
        return ddc_execute_ctrl(d, p, n, y, c, 0.001, 0.01);
    };
    auto ddcr_ctrl = [](ddcr *d, const float *p, uint64_t n, vx_cf32 *y, uint64_t c) {
        return ddcr_execute_ctrl(d, p, n, y, c, 0.0, 0.01);
    };
    auto ddcr_room = [](ddcr *d, uint64_t n) { return room(n, ddcr_execute_max_out(d)); };
    auto ddcr_ctrl_room = [](ddcr *d, uint64_t n) { return room(n, ddcr_execute_ctrl_max_out(d)); };
    for (double rate : {1.0 / 24, 0.185, 1.0 / 48}) {
        const std::string r = " " + std::to_string(rate);
        auto plain = [rate] { return ddc_create(-0.1, rate); };
        auto matched = [rate] { return ddc_create_matched(RC_PULSE_RRC, 4, 64, -0.1, rate, 0.35, 2.0); };
        auto plain_r = [rate] { return ddcr_create(-0.6, rate); };
        auto matched_r = [rate] { return ddcr_create_matched(RC_PULSE_RRC, 4, 64, -0.6, rate, 0.35, 2.0); };
        one_at_a_time<vx_cf32, ddc>("ddc" + r, x, plain, ddc_execute, ddc_execute_max_out, ddc_destroy);
        one_at_a_time<vx_cf32, ddc>("matched ddc" + r, x, matched, ddc_execute, ddc_execute_max_out, ddc_destroy);
        one_at_a_time<vx_cf32, ddc>("matched ddc ctrl" + r, x, matched, ddc_ctrl,
            ddc_execute_ctrl_max_out, ddc_destroy);
        one_at_a_time<float, ddcr>("ddcr" + r, xr, plain_r, ddcr_execute, ddcr_room, ddcr_destroy);
        one_at_a_time<float, ddcr>("matched ddcr" + r, xr, matched_r, ddcr_execute, ddcr_room, ddcr_destroy);
        one_at_a_time<float, ddcr>("ddcr ctrl" + r, xr, plain_r, ddcr_ctrl, ddcr_ctrl_room, ddcr_destroy);
        one_at_a_time<float, ddcr>("matched ddcr ctrl" + r, xr, matched_r, ddcr_ctrl, ddcr_ctrl_room,
            ddcr_destroy);
    }
}

// Outputs owed by a control call without room: the promised room stays small (it does not
// grow with the owed count, which a restored blob sets) and every call given it runs.
TEST(Capacity, OwedOutputsKeepThePromiseSmall)
{
    const auto x = real_noise(kLen);
    ddcr *d = ddcr_create_matched(RC_PULSE_RRC, 4, 64, -0.6, 0.45, 0.35, 2.0);
    vx_cf32 none;
    for (int pass = 0; pass < 2; ++pass) // all owed: thousands of outputs
        EXPECT_EQ(0u, ddcr_execute_ctrl(d, x.data(), kLen, &none, 0, 0.0, 0.0));
    std::vector<uint8_t> before(ddcr_state_bytes(d)), after(before.size());
    std::vector<vx_cf32> y;
    for (size_t i = 0; i < 200; ++i) {
        const uint64_t room_now = room(1, ddcr_execute_max_out(d));
        EXPECT_LE(room_now, 64u);
        y.resize(room_now);
        ddcr_get_state(d, before.data());
        ddcr_execute(d, &x[i], 1, y.data(), room_now);
        ddcr_get_state(d, after.data());
        EXPECT_NE(before, after) << "call " << i << " refused"; // the input was taken
    }
    ddcr_destroy(d);
}
