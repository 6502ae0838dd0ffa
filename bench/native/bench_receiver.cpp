// M-PSK receiver throughput (QPSK, 8 samples/symbol, 10^7 samples) with the split of its
// cost: the matched front end pushed alone, then with the timing loop, then the whole
// receiver's symbols (adding the carrier loop) and bits (adding the demapper). Each
// difference is the cost of the part it adds. Medians of several runs of process CPU time,
// so waiting for a core on a shared machine does not count. Beside them, liquid-dsp's
// symsync_crcf alone (timing recovery only) on the same samples, when it is installed.
#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "bench_timing.hpp"
#ifdef VELTRA_BENCH_LIQUID
#include <complex>
#include <liquid/liquid.h>
#endif

#include "mpsk_receiver.h"
#include "ratesync_loop.hpp"

namespace {

void line(const char *what, double n_in, double s, double prev)
{
    std::printf("  %-34s %8.1f Msps in  (+%5.1f ns/sample)\n", what, n_in / s * 1e-6, (s - prev) / n_in * 1e9);
}

mpsk_receiver *make(int agc)
{
    return mpsk_receiver_create(4, 0, MPSK_RX_PULSE_IANDD, 8, 0, 0, 8.0, 0.35, 0.01, 0.0, 0.01, 0.0, 0.0, 0.0, agc);
}

}  // namespace

int main()
{
    const size_t n = 10'000'000;
    std::mt19937 rng(5);
    std::normal_distribution<float> g(0.0f, 0.05f);
    std::vector<vx_cf32> x(n), y(n);
    std::vector<uint8_t> bits(2 * n);
    for (size_t i = 0; i < n; i += 8) {
        const float re = (rng() & 1) ? 0.7f : -0.7f, im = (rng() & 1) ? 0.7f : -0.7f;
        for (size_t j = i; j < i + 8 && j < n; ++j)
            x[j] = {re + g(rng), im + g(rng)};
    }
    for (int agc : {1, 0}) {
        std::printf("MpskReceiver(m=4, sps=8, pulse=iandd, agc=%d) on %zu complex64 samples:\n", agc, n);
        mpsk_receiver *rx = make(agc);
        ddc *fe = rx->fe;
        vx_cf32 buf[4];
        const double t_fe = median_seconds([&] {
            for (size_t i = 0; i < n; ++i)
                ddc_execute_ctrl_push(fe, buf, 4, x[i], 0.0, 0.0);
        }, 3, cpu_seconds);
        ratesync_loop *l = &rx->loops.timing;
        const double t_timing = median_seconds([&] {
            for (size_t i = 0; i < n; ++i) {
                const uint64_t k = ddc_execute_ctrl_push(fe, buf, 4, x[i], l->ctrl, 0.0);
                for (uint64_t j = 0; j < k; ++j)
                    vx_timing::output<SYMSYNC_TED_GARDNER>(l, buf[j], j == 0);
            }
        }, 3, cpu_seconds);
        const double t_steps =
            median_seconds([&] { mpsk_receiver_steps(rx, x.data(), n, y.data(), n); }, 3, cpu_seconds);
        const double t_bits =
            median_seconds([&] { mpsk_receiver_bits(rx, x.data(), n, bits.data(), 2 * n); }, 3, cpu_seconds);
        line("front end (mix, converter, AGC)", n, t_fe, 0.0);
        line("+ timing loop", n, t_timing, t_fe);
        line("+ carrier loop (steps)", n, t_steps, t_timing);
        line("+ demapper (bits)", n, t_bits, t_steps);
        mpsk_receiver_destroy(rx);
    }
#ifdef VELTRA_BENCH_LIQUID
    // The same samples through symsync_crcf (RRC bank of 32 arms, span 3, as bench_timing.py).
    std::vector<std::complex<float>> lx(n), ly(n + 64);
    for (size_t i = 0; i < n; ++i)
        lx[i] = {x[i].re, x[i].im};
    const double t_liquid = median_seconds([&] {
        symsync_crcf q = symsync_crcf_create_rnyquist(LIQUID_FIRFILT_RRC, 8, 3, 0.35f, 32);
        symsync_crcf_set_lf_bw(q, 0.02f);
        unsigned total = 0, ny;
        for (size_t i = 0; i < n; i += 4096) {
            symsync_crcf_execute(q, lx.data() + i, static_cast<unsigned>(std::min<size_t>(4096, n - i)),
                                 ly.data() + total, &ny);
            total = total + ny > n ? 0 : total + ny;
        }
        symsync_crcf_destroy(q);
    }, 3, cpu_seconds);
    std::printf("liquid-dsp symsync_crcf alone (k=8, timing only): %.1f Msps in\n", n / t_liquid * 1e-6);
#else
    std::printf("liquid-dsp not installed: no peer figure\n");
#endif
    return 0;
}
