// Throughput of the decimators and the resampler, next to a plain FIR of the resampler's
// taps per output. Prints one line per case; medians of several runs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "bench_timing.hpp"

#include "cic.h"
#include "hbdecim.h"
#include "resamp.h"

namespace {

std::vector<vx_cf32> noise(size_t n)
{
    std::mt19937 rng(1);
    std::normal_distribution<float> g(0.0f, 0.3f);
    std::vector<vx_cf32> v(n);
    for (auto &s : v)
        s = {g(rng), g(rng)};
    return v;
}

void report(const char *name, double n_in, double n_out, double seconds)
{
    std::printf("%-34s %8.1f Msps in  %8.1f Msps out  %6.2f ns/output\n", name,
                n_in / seconds * 1e-6, n_out / seconds * 1e-6, seconds / n_out * 1e9);
}

// The FIR a user would write: y[i] = Σ_k h[k]·x[i − k], real taps, in order.
void plain_fir(const float *h, size_t taps, const vx_cf32 *x, size_t n, vx_cf32 *y)
{
    for (size_t i = taps - 1; i < n; ++i) {
        float re = 0, im = 0;
        for (size_t k = 0; k < taps; ++k) {
            re += h[k] * x[i - k].re;
            im += h[k] * x[i - k].im;
        }
        y[i] = {re, im};
    }
}

// The same sums per output, vectorised across outputs: tap by tap over the whole block.
void fir_across_outputs(const float *h, size_t taps, const vx_cf32 *x, size_t n, vx_cf32 *y)
{
    const float *xf = &x[0].re;
    float *yf = &y[0].re;
    for (size_t q = 2 * (taps - 1); q < 2 * n; ++q)
        yf[q] = 0.0f;
    for (size_t k = 0; k < taps; ++k)
        for (size_t q = 2 * (taps - 1); q < 2 * n; ++q)
            yf[q] += h[k] * xf[q - 2 * k];
}

} // namespace

int main()
{
    std::printf("SIMD level: %s\n", vx_simd_level());
    const auto x6 = noise(1000000), x7 = noise(10000000);
    std::vector<vx_cf32> y(2500000);

    hbdecim *hb = hbdecim_create(VX_HB_FIR_LEN, VX_HB_FIR);
    uint64_t got = 0;
    double s = median_seconds([&] { got = hbdecim_execute(hb, x6.data(), x6.size(), y.data(), y.size()); });
    report("halfband (19-entry table), cf32", 1e6, got, s);
    hbdecim_destroy(hb);

    std::vector<float> xr(x6.size());
    for (size_t i = 0; i < xr.size(); ++i)
        xr[i] = x6[i].re;
    hbdecim_r2c *r2c = hbdecim_r2c_create(VX_HB_FIR_LEN, VX_HB_FIR);
    s = median_seconds([&] { got = hbdecim_r2c_execute(r2c, xr.data(), xr.size(), y.data(), y.size()); });
    report("halfband real-to-complex, f32", 1e6, got, s);
    hbdecim_r2c_destroy(r2c);

    cic *c = cic_create(64);
    s = median_seconds([&] { got = cic_decimate(c, x7.data(), x7.size(), y.data(), y.size()); });
    report("CIC by 64, cf32", 1e7, got, s);
    cic_destroy(c);

    resamp *r = resamp_create(0.8);
    s = median_seconds([&] { got = resamp_execute(r, x6.data(), x6.size(), y.data(), y.size()); });
    report("resampler 0.8 (19 taps/arm)", 1e6, got, s);
    const double resamp_ns = s / got;
    resamp_destroy(r);

    std::vector<float> h(RESAMP_DEFAULT_TAPS);
    for (size_t k = 0; k < h.size(); ++k)
        h[k] = 1.0f / static_cast<float>(h.size()) + 1e-3f * static_cast<float>(k);
    s = median_seconds([&] { plain_fir(h.data(), h.size(), x6.data(), x6.size(), y.data()); });
    report("plain FIR, 19 real taps", 1e6, 1e6, s);
    std::printf("resampler 0.8 cost per output / FIR cost per output: %.2f\n", resamp_ns / (s / 1e6));
    s = median_seconds([&] { fir_across_outputs(h.data(), h.size(), x6.data(), x6.size(), y.data()); });
    report("FIR, 19 taps, across outputs", 1e6, 1e6, s);

    r = resamp_create(2.5);
    s = median_seconds([&] { got = resamp_execute(r, x6.data(), x6.size(), y.data(), y.size()); });
    report("resampler 2.5 (direct form)", 1e6, got, s);
    resamp_destroy(r);

    r = resamp_create(0.8);
    s = median_seconds([&] {
        got = 0;
        for (const vx_cf32 &v : x6)
            got += resamp_execute_ctrl_push(r, y.data() + got, 4, v, 0.0);
    });
    report("resampler 0.8, control push", 1e6, got, s);
    resamp_destroy(r);

    s = median_seconds([] { resamp_destroy(resamp_create(0.8)); }, 3);
    std::printf("%-34s %8.2f ms\n", "resamp_create (default bank)", s * 1e3);
    return 0;
}
