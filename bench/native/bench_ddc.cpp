// Down-converter throughput with its per-stage split: the oscillator mix, each planned
// stage alone on that stage's input, and the whole ddc_execute. Medians of several runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "bench_timing.hpp"

#include "cic.h"
#include "ddc.h"
#include "hbdecim.h"
#include "lo.h"
#include "resamp.h"

namespace {

void line(const char *what, double n_in, double s)
{
    std::printf("  %-28s %8.2f ms  %8.1f Msps in\n", what, s * 1e3, n_in / s * 1e-6);
}

}  // namespace

int main()
{
    const size_t n = 10'000'000;
    std::mt19937 rng(3);
    std::normal_distribution<float> g(0.0f, 0.3f);
    std::vector<vx_cf32> x(n), mixed(n), y(n + 64), lo_out(4096);
    for (auto &v : x)
        v = {g(rng), g(rng)};

    for (double rate : {1.0 / 8, 1.0 / 64}) {
        ddc *d = ddc_create(-0.1, rate);
        RateConverter *rc = ddc_get_converter(d);
        std::printf("DDC(-0.1, 1/%.0f) on %zu complex64 samples:", 1 / rate, n);
        for (int i = 0; i < RateConverter_num_stages(rc); ++i)
            std::printf(" %s%s", i ? "+ " : "", RateConverter_stages_value(rc, i));
        std::printf("\n");

        // Mixing: oscillator samples times the input, as the down-converter does.
        lo *o = lo_create(-0.1);
        const double t_mix = median_seconds([&] {
            for (size_t at = 0; at < n; at += lo_out.size()) {
                const size_t m = std::min(lo_out.size(), n - at);
                lo_steps(o, m, lo_out.data(), m);
                for (size_t i = 0; i < m; ++i) {
                    const vx_cf32 a = x[at + i], e = lo_out[i];
                    mixed[at + i] = {a.re * e.re - a.im * e.im, a.re * e.im + a.im * e.re};
                }
            }
        });
        line("mix (table oscillator)", double(n), t_mix);

        // Each stage on its own input length.
        double stage_in = double(n);
        for (int i = 0; i < RateConverter_num_stages(rc); ++i) {
            const size_t m = size_t(stage_in);
            std::function<void()> run;
            cic *c = nullptr;
            resamp *r = nullptr;
            hbdecim *h = nullptr;
            const double out_rate = RateConverter_stage_rate(rc, i);
            switch (RateConverter_stage_kind(rc, i)) {
            case RC_STAGE_CIC:
                c = cic_create(uint32_t(1.0 / out_rate + 0.5));
                run = [&] { cic_decimate(c, mixed.data(), m, y.data(), y.size()); };
                break;
            case RC_STAGE_HALFBAND:
                h = hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR);
                run = [&] { hbdecim_execute(h, mixed.data(), m, y.data(), y.size()); };
                break;
            default:
                r = resamp_create(out_rate);
                run = [&] { resamp_execute(r, mixed.data(), m, y.data(), y.size()); };
            }
            line(RateConverter_stages_value(rc, i), stage_in, median_seconds(run));
            cic_destroy(c);
            resamp_destroy(r);
            hbdecim_destroy(h);
            stage_in *= out_rate;
        }

        const double t_all = median_seconds([&] {
            ddc_reset(d);
            ddc_execute(d, x.data(), n, y.data(), y.size());
        });
        line("whole ddc_execute", double(n), t_all);
        lo_destroy(o);
        ddc_destroy(d);
    }
    return 0;
}
