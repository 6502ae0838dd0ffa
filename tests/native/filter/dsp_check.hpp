// Signal helpers for the filter tests: test signals, spectra and block feeding.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "vx_base.h"

namespace dsp {

using cd = std::complex<double>;
constexpr double kPi = std::numbers::pi;

inline std::vector<vx_cf32> noise(size_t n, unsigned seed, float scale = 1.0f)
{
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, scale);
    std::vector<vx_cf32> v(n);
    for (auto &s : v)
        s = {g(rng), g(rng)};
    return v;
}

inline std::vector<vx_cf32> tone(size_t n, double f, double amp = 1.0, double phase = 0.0)
{
    std::vector<vx_cf32> v(n);
    for (size_t i = 0; i < n; ++i) {
        const double a = 2 * kPi * f * static_cast<double>(i) + phase;
        v[i] = {static_cast<float>(amp * std::cos(a)), static_cast<float>(amp * std::sin(a))};
    }
    return v;
}

inline bool same_bits(const std::vector<vx_cf32> &a, const std::vector<vx_cf32> &b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(vx_cf32)) == 0;
}

// Cuts that split n items into random blocks of 0..max_block items (empty calls included).
inline std::vector<size_t> random_blocks(size_t n, unsigned seed, size_t max_block)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> d(0, max_block);
    std::vector<size_t> sizes;
    for (size_t left = n; left > 0;) {
        const size_t b = std::min(left, d(rng));
        sizes.push_back(b);
        left -= b;
    }
    return sizes;
}

// Feeds x in blocks of the given sizes through run(x, n, y, cap) -> produced, each call
// given exactly the capacity `cap_of(n)`; returns everything produced, in order.
template <class In, class Run, class Cap>
std::vector<vx_cf32> feed_blocks(const std::vector<In> &x, const std::vector<size_t> &sizes,
                                 Run run, Cap cap_of)
{
    std::vector<vx_cf32> out;
    size_t at = 0;
    for (size_t n : sizes) {
        const size_t cap = cap_of(n);
        const size_t base = out.size();
        out.resize(base + cap + 1);
        const size_t got = run(x.data() + at, n, out.data() + base, cap);
        EXPECT_LE(got, cap);
        out.resize(base + got);
        at += n;
    }
    return out;
}

// 4-term Blackman–Harris window (sidelobes near −92 dB) for spur measurements.
inline std::vector<double> blackman_harris(size_t n)
{
    std::vector<double> w(n);
    for (size_t i = 0; i < n; ++i) {
        const double x = 2 * kPi * static_cast<double>(i) / static_cast<double>(n);
        w[i] = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) -
               0.01168 * std::cos(3 * x);
    }
    return w;
}

// In-place radix-2 FFT (n a power of two).
inline void fft(std::vector<cd> &a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const cd wl = std::polar(1.0, -2 * kPi / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            cd w = 1;
            for (size_t k = 0; k < len / 2; ++k, w *= wl) {
                const cd u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

// Windowed amplitude spectrum of y[from .. from + n) (n a power of two), normalised so a
// tone of amplitude A on a bin reads A.
struct Spectrum {
    std::vector<double> mag;
    std::vector<double> win;
    size_t n;
    double norm;
    const vx_cf32 *y;

    Spectrum(const std::vector<vx_cf32> &out, size_t from, size_t len)
        : win(blackman_harris(len)), n(len), norm(0), y(out.data() + from)
    {
        std::vector<cd> a(n);
        for (size_t i = 0; i < n; ++i) {
            a[i] = win[i] * cd(y[i].re, y[i].im);
            norm += win[i];
        }
        fft(a);
        mag.resize(n);
        for (size_t i = 0; i < n; ++i)
            mag[i] = std::abs(a[i]) / norm;
    }

    // Amplitude of a tone at f cycles/sample, evaluated at f exactly.
    double amplitude(double f) const
    {
        cd s = 0;
        for (size_t i = 0; i < n; ++i)
            s += win[i] * cd(y[i].re, y[i].im) * std::polar(1.0, -2 * kPi * f * static_cast<double>(i));
        return std::abs(s) / norm;
    }

    size_t bin(double f) const
    {
        const double c = f - std::floor(f);
        return static_cast<size_t>(std::lround(c * static_cast<double>(n))) % n;
    }

    // Largest line more than `guard` bins away from every frequency in `keep`, in dB
    // relative to `ref`.
    double worst_spur_db(std::initializer_list<double> keep, double ref, size_t guard = 6) const
    {
        double worst = 0;
        for (size_t i = 0; i < n; ++i) {
            bool near = false;
            for (double f : keep) {
                const size_t b = bin(f);
                const size_t d = i > b ? i - b : b - i;
                near |= std::min(d, n - d) <= guard;
            }
            if (!near)
                worst = std::max(worst, mag[i]);
        }
        return 20 * std::log10(std::max(worst, 1e-300) / ref);
    }
};

} // namespace dsp
