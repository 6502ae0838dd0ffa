#include "specmeas.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vx_blob.hpp"

namespace {

// A total order on floats: NaN after every number, so sorting never meets an undefined
// comparison.
bool nan_last_less(float a, float b)
{
    if (std::isnan(a))
        return false;
    return std::isnan(b) || a < b;
}

// Highest level first, NaN last.
bool level_greater(const vx_peak_t &a, const vx_peak_t &b)
{
    return !std::isnan(a.level) && (std::isnan(b.level) || a.level > b.level);
}

}  // namespace

extern "C" {

VX_API void magnitude_db_cf32(const vx_cf32 *x, uint64_t n, float *out, float lin_floor, float offset_db)
{
    for (uint64_t k = 0; k < n; ++k) {
        const float m = std::hypot(x[k].re, x[k].im);
        out[k] = 20.0f * std::log10(m < lin_floor ? lin_floor : m) + offset_db;
    }
}

VX_API void magnitude_db_cf64(const vx_cf64 *x, uint64_t n, float *out, double lin_floor, float offset_db)
{
    for (uint64_t k = 0; k < n; ++k) {
        const double m = std::hypot(x[k].re, x[k].im);
        out[k] = static_cast<float>(20.0 * std::log10(m < lin_floor ? lin_floor : m)) + offset_db;
    }
}

VX_API uint64_t find_peaks_f32(const float *db, uint64_t n, uint64_t n_peaks, vx_peak_t *out, float min_db)
{
    if (!db || !out || n < 3 || n_peaks == 0)
        return 0;
    const uint64_t cap = n / 2 + 1;
    auto *cand = static_cast<vx_peak_t *>(vx_calloc(cap, sizeof(vx_peak_t)));
    if (!cand)
        return 0;
    const double inv_n = 1.0 / static_cast<double>(n);
    const int64_t dc = static_cast<int64_t>(n / 2);
    uint64_t count = 0;
    for (uint64_t k = 1; k + 1 < n && count < cap; ++k) {
        const float l = db[k - 1], c0 = db[k], r = db[k + 1];
        if (!(c0 > min_db && c0 > l && c0 >= r))
            continue;
        const float c = l + r - 2.0f * c0;
        float d = 0.0f;
        if (c != 0.0f) {
            d = 0.5f * (l - r) / c;
            d = d < -0.5f ? -0.5f : (d > 0.5f ? 0.5f : d);
        }
        const double bin = static_cast<double>(static_cast<int64_t>(k) - dc) + d;
        cand[count++] = {static_cast<float>(bin * inv_n), c0 + 0.25f * (r - l) * d};
    }
    std::sort(cand, cand + count, level_greater);
    const uint64_t m = count < n_peaks ? count : n_peaks;
    std::memcpy(out, cand, m * sizeof(vx_peak_t));
    vx_free(cand);
    return m;
}

VX_API double obw_from_power(const double *pwr, uint64_t n, double fs, double frac)
{
    if (!pwr || n == 0 || !(frac > 0.0 && frac <= 1.0))
        return 0.0;
    double total = 0.0;
    for (uint64_t k = 0; k < n; ++k)
        total += pwr[k];
    if (!(vx_finite(total) && total > 0.0))
        return 0.0;
    const double lo_at = (1.0 - frac) / 2.0 * total, hi_at = (1.0 + frac) / 2.0 * total;
    double s = 0.0;
    uint64_t lower = 0, k = 0;
    bool have_lower = false;
    for (; k < n; ++k) {
        s += pwr[k];
        if (!have_lower && s >= lo_at) {
            lower = k;
            have_lower = true;
        }
        if (s >= hi_at || k == n - 1)
            break;
    }
    // The running sum ends at the total, so the lower edge is always found by then.
    return static_cast<double>(k - lower + 1) * fs / static_cast<double>(n);
}

VX_API double noise_floor_db_inplace(float *db, uint64_t n)
{
    if (!db || n == 0)
        return 0.0;
    float *mid = db + n / 2;
    std::nth_element(db, mid, db + n, nan_last_less);
    if (n % 2)
        return *mid;
    // The lower middle value is the largest of the lower half.
    const float below = *std::max_element(db, mid, nan_last_less);
    return (static_cast<double>(below) + static_cast<double>(*mid)) / 2.0;
}

VX_API double noise_floor_db(const float *db, uint64_t n)
{
    if (!db || n == 0)
        return 0.0;
    auto *tmp = static_cast<float *>(vx_calloc(n, sizeof(float)));
    if (!tmp)
        return 0.0;
    std::memcpy(tmp, db, n * sizeof(float));
    const double r = noise_floor_db_inplace(tmp, n);
    vx_free(tmp);
    return r;
}

}  // extern "C"
