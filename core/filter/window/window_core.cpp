#include "window.h"

#include <cmath>

namespace {

constexpr double PI = 3.14159265358979323846;

// Σ_k (x^k / k!)², which is I0(2x): terms added until one falls below 1e-15 of the sum,
// at most 40 of them.
double bessel_series(double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k <= 40; ++k) {
        const double q = x / k;
        term *= q * q;
        sum += term;
        if (term < 1e-15 * sum)
            break;
    }
    return sum;
}

// Lengths 0 and 1 (nothing to write, or the single value 1); true when handled.
bool trivial_window(float *w, uint64_t n)
{
    if (w && n == 1)
        w[0] = 1.0f;
    return !w || n <= 1;
}

}  // namespace

extern "C" {

VX_API double kaiser_beta(double a)
{
    if (a > 50.0)
        return 0.1102 * (a - 8.7);
    if (a >= 21.0)
        return 0.5842 * std::pow(a - 21.0, 0.4) + 0.07886 * (a - 21.0);
    return 0.0;
}

VX_API double kaiser_beta_for_sidelobe(double a)
{
    if (a > 60.0)
        return 0.12438 * (a + 6.3);
    if (a > 13.26)
        return 0.76609 * std::pow(a - 13.26, 0.4) + 0.09834 * (a - 13.26);
    return 0.0;
}

VX_API int kaiser_num_taps(int phases, double atten_db, double f_pass, double f_stop)
{
    if (phases <= 0)
        return 0;
    // The estimate is meaningful only for a positive transition width and at least 8 dB;
    // it is checked in double before it becomes an integer.
    if (!vx_finite(atten_db) || !vx_finite(f_pass) || !vx_finite(f_stop) || atten_db < 8.0 ||
        !(f_stop > f_pass))
        return 0;
    const double total = (atten_db - 8.0) * 0.06965205386953845 / (f_stop - f_pass) * phases + 1.0;
    if (!(total <= static_cast<double>(KAISER_MAX_TAPS)))
        return 0;
    const uint64_t odd = static_cast<uint64_t>(total) | 1u;
    return static_cast<int>(odd / static_cast<uint64_t>(phases) + 1u);
}

VX_API void kaiser_window(float *w, uint64_t n, float beta)
{
    if (trivial_window(w, n))
        return;
    const double a = static_cast<double>(beta) / 2.0;
    const double d = bessel_series(a);
    const double step = 2.0 / static_cast<double>(n - 1);
    const double mid = static_cast<double>(n - 1) / 2.0;
    for (uint64_t j = 0; j < n; ++j) {
        const double r = step * (static_cast<double>(j) - mid);
        // Rounding can put |r| a hair above 1 at the ends; the window is 1/I0(beta) there.
        const double u = 1.0 - r * r;
        w[j] = static_cast<float>(bessel_series(a * std::sqrt(u > 0.0 ? u : 0.0)) / d);
    }
}

VX_API void hann_window(float *w, uint64_t n)
{
    if (trivial_window(w, n))
        return;
    const double c = 2.0 * PI / static_cast<double>(n - 1);
    for (uint64_t i = 0; i < n; ++i)
        w[i] = (1.0f - static_cast<float>(std::cos(static_cast<double>(i) * c))) * 0.5f;
}

VX_API void blackman_harris_window(float *w, uint64_t n)
{
    if (trivial_window(w, n))
        return;
    for (uint64_t i = 0; i < n; ++i) {
        const double x = 2.0 * PI * static_cast<double>(i) / static_cast<double>(n - 1);
        w[i] = static_cast<float>(0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2.0 * x) -
                                  0.01168 * std::cos(3.0 * x));
    }
}

VX_API float kaiser_enbw(const float *w, uint64_t n)
{
    if (!w || n == 0)
        return 0.0f;
    double s1[4] = {0, 0, 0, 0}, s2[4] = {0, 0, 0, 0};
    uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int l = 0; l < 4; ++l) {
            const double v = w[i + l];
            s1[l] += v;
            s2[l] += v * v;
        }
    }
    double sum1 = ((s1[0] + s1[1]) + s1[2]) + s1[3];
    double sum2 = ((s2[0] + s2[1]) + s2[2]) + s2[3];
    for (; i < n; ++i) {
        const double v = w[i];
        sum1 += v;
        sum2 += v * v;
    }
    // A window summing to zero has no defined noise bandwidth (0/0 for all zeros).
    if (sum1 == 0.0)
        return 0.0f;
    return static_cast<float>(static_cast<double>(n) * sum2 / (sum1 * sum1));
}

VX_API uint64_t design_lowpass_num_taps(double fpass, double fstop, double atten_db)
{
    // Edges beyond Nyquist or an attenuation whose window overflows give no filter.
    if (!(fpass >= 0.0 && fstop <= 1.0 && atten_db <= DESIGN_MAX_ATTEN_DB))
        return 0;
    const int n = kaiser_num_taps(1, atten_db, fpass / 2.0, fstop / 2.0);
    return n > 0 ? static_cast<uint64_t>(n) | 1u : 0u;
}

VX_API int design_lowpass(float *taps, double fpass, double fstop, double atten_db)
{
    const uint64_t n = design_lowpass_num_taps(fpass, fstop, atten_db);
    if (!taps || n == 0)
        return VX_ERR_INVALID;
    // The window is built in `taps` itself and scaled in place: no temporary buffer.
    kaiser_window(taps, n, static_cast<float>(kaiser_beta(atten_db)));
    const double fc = 0.25 * (fpass + fstop);
    const double mid = static_cast<double>(n - 1) / 2.0;
    for (uint64_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) - mid;
        const double h = t != 0.0 ? std::sin(2.0 * PI * fc * t) / (PI * t) : 2.0 * fc;
        taps[i] = static_cast<float>(h * static_cast<double>(taps[i]));
    }
    return VX_OK;
}

}  // extern "C"
