// FFT per-transform time: our engine through the C ABI against FFTW called directly with
// the same plan flags (FFTW_ESTIMATE), and FFTW_MEASURE's figure beside them.
#include <fftw3.h>

#include <cstdio>
#include <vector>

#include "bench_timing.hpp"
#include "fft.h"

namespace {

constexpr int REPS = 20000;

double per_call(const std::function<void()> &one)
{
    return median_seconds([&] {
        for (int i = 0; i < REPS; ++i)
            one();
    }) / REPS;
}

double raw_fftw(int n, unsigned flags)
{
    auto *in = fftwf_alloc_complex(n), *out = fftwf_alloc_complex(n);
    fftwf_plan p = fftwf_plan_dft_1d(n, in, out, FFTW_FORWARD, flags);  // MEASURE scribbles on in
    for (int i = 0; i < n; ++i)
        in[i][0] = in[i][1] = static_cast<float>(i % 13) - 6.0f;
    const double t = per_call([&] { fftwf_execute(p); });
    fftwf_destroy_plan(p);
    fftwf_free(in);
    fftwf_free(out);
    return t;
}

}  // namespace

int main()
{
    for (int n : {1024, 4096}) {
        fft *f = fft_create(n, -1, 1);
        std::vector<vx_cf32> x(n), y(n);
        for (int i = 0; i < n; ++i)
            x[i] = {static_cast<float>(i % 13) - 6.0f, static_cast<float>(i % 7) - 3.0f};
        // std::vector's storage is 16-byte aligned at least, as FFTW's SIMD needs.
        const double ours = per_call([&] { fft_execute_cf32(f, x.data(), n, y.data(), n); });
        const double est = raw_fftw(n, FFTW_ESTIMATE);
        const double meas = raw_fftw(n, FFTW_MEASURE);
        std::printf("fft cf32 n=%d: ours %.1f ns, fftw_estimate %.1f ns, ratio %.2f; fftw_measure %.1f ns "
                    "(%.2fx estimate)\n",
                    n, ours * 1e9, est * 1e9, est / ours, meas * 1e9, est / meas);
        fft_destroy(f);
    }
    return 0;
}
