#include "ciccomp.h"

#include <cmath>
#include <utility>

namespace {

// B_2, B_4, …, B_18.
constexpr double ciccomp_berno[CICCOMP_MAX_SOLVE] = {
    1.0 / 6, -1.0 / 30, 1.0 / 42, -1.0 / 30, 5.0 / 66, -691.0 / 2730, 7.0 / 6, -3617.0 / 510,
    43867.0 / 798};

// Taylor coefficients e[i] of 1/H in powers of ω², i = 0..n−1.
// log H = N·Σ_j a_j ((ω/2)^{2j} − (ω/(2r))^{2j}) with log(sin x / x) = Σ_j a_j x^{2j},
// a_j = (−1)^j 2^{2j−1} B_{2j} / (j·(2j)!); 1/H = exp(−log H) by the series exponential.
void inverse_droop_series(double *e, int n, int order, double r)
{
    double l[CICCOMP_MAX_SOLVE + 1] = {0};
    double fact = 1.0, pow4 = 1.0, rpow = 1.0;
    for (int j = 1; j < n; ++j) {
        fact *= (2.0 * j - 1) * (2.0 * j);
        pow4 *= 4.0;
        rpow /= r * r;
        const double a = ((j & 1) ? -1.0 : 1.0) * std::ldexp(1.0, 2 * j - 1) *
                         ciccomp_berno[j - 1] / (j * fact);
        l[j] = -order * a / pow4 * (1.0 - rpow);
    }
    e[0] = 1.0;
    for (int i = 1; i < n; ++i) {
        double s = 0.0;
        for (int j = 1; j <= i; ++j)
            s += j * l[j] * e[i - j];
        e[i] = s / i;
    }
}

} // namespace

extern "C" {

VX_API int ciccomp_solve(double *a, double *b, int n)
{
    if (!a || !b || n < 1 || n > static_cast<int>(CICCOMP_MAX_SOLVE))
        return VX_ERR_INVALID;
    for (int col = 0; col < n; ++col) {
        int piv = col;
        for (int row = col + 1; row < n; ++row)
            if (std::fabs(a[row * n + col]) > std::fabs(a[piv * n + col]))
                piv = row;
        if (!(std::fabs(a[piv * n + col]) > 0.0))
            return VX_ERR_INVALID; // singular, or NaN in the system
        if (piv != col) {
            for (int k = 0; k < n; ++k)
                std::swap(a[col * n + k], a[piv * n + k]);
            std::swap(b[col], b[piv]);
        }
        for (int row = col + 1; row < n; ++row) {
            const double f = a[row * n + col] / a[col * n + col];
            for (int k = col; k < n; ++k)
                a[row * n + k] -= f * a[col * n + k];
            b[row] -= f * b[col];
        }
    }
    for (int row = n - 1; row >= 0; --row) {
        double s = b[row];
        for (int k = row + 1; k < n; ++k)
            s -= a[row * n + k] * b[k];
        b[row] = s / a[row * n + row];
    }
    return VX_OK;
}

VX_API void ciccompmf(double *out, int order, double r, int count)
{
    if (!out || count <= 0)
        return;
    for (int i = 0; i < count; ++i)
        out[i] = 0.0;
    const bool odd = count & 1;
    const int n = odd ? (count - 1) / 2 : count / 2;
    if (n > static_cast<int>(CICCOMP_MAX_SOLVE) || order < 0 || !(r >= 1.0) || !vx_finite(r))
        return;
    if (n == 0) {
        out[0] = 1.0; // a single tap: unit gain
        return;
    }
    // Odd count: rows ω^2..ω^{2n} on offsets k = 1..n, centre from the DC condition.
    // Even count: rows ω^0..ω^{2(n−1)} on offsets k − ½. Row i matches (2i)!·[ω^{2i}] 1/H.
    const int first = odd ? 1 : 0;
    double e[CICCOMP_MAX_SOLVE + 1];
    inverse_droop_series(e, n + first, order, r);
    double a[CICCOMP_MAX_SOLVE * CICCOMP_MAX_SOLVE], c[CICCOMP_MAX_SOLVE];
    double fact = 1.0; // (2i)!
    for (int i = 0; i < first + n; ++i) {
        if (i > 0)
            fact *= (2.0 * i - 1) * (2.0 * i);
        if (i < first)
            continue;
        const int row = i - first;
        for (int k = 1; k <= n; ++k) {
            const double off = odd ? k : k - 0.5;
            a[row * n + k - 1] = ((i & 1) ? -2.0 : 2.0) * std::pow(off, 2 * i);
        }
        c[row] = fact * e[i];
    }
    if (ciccomp_solve(a, c, n) != VX_OK)
        return;
    if (odd) {
        double centre = 1.0;
        for (int k = 0; k < n; ++k)
            centre -= 2.0 * c[k];
        out[n] = centre;
        for (int k = 1; k <= n; ++k)
            out[n - k] = out[n + k] = c[k - 1];
    } else {
        for (int k = 1; k <= n; ++k)
            out[n - k] = out[n + k - 1] = c[k - 1];
    }
}

} // extern "C"
