#include "detstat.h"
#include "detstat_internal.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Series and continued fractions stop at a relative change of TOL. Near x ~ a they need
// about 9*sqrt(a) terms, so a cap of 300 would leave Q(a, x) wrong by 1e-3 at a = 1e4;
// this cap keeps them converged up to a ~ 1e6 (looks, or marcum_q's M + lambda).
constexpr int MAX_TERMS = 10000;
constexpr double TOL = 1e-15;
constexpr double TINY = 1e-300;  // modified Lentz: floor of |d| and |c|

// Poisson sums of marcum_q run over about 16*sqrt(lambda) terms; beyond this lambda
// (a > 1414) the large-amplitude form is accurate to 1e-9 and costs a few operations.
constexpr double LAMBDA_SUM_MAX = 1e6;

double lentz_guard(double v) { return std::fabs(v) < TINY ? TINY : v; }

// Q_M(a, b) for large a: the envelope is Gaussian with E[R^2] = a^2 + 2M and
// Var R = 1 - (2M - 1)/(2(a^2 + 2M)) (exact to O(a^-4) for small M, 1/2 for large M).
// Scaled so that a and b up to the largest doubles neither overflow nor lose a.
double marcum_q_large(double M, double a, double b)
{
    const double var = 1.0 - (2.0 * M - 1.0) / (2.0 * (a * a + 2.0 * M));
    const double mu = a * std::sqrt(1.0 + ((2.0 * M - var) / a) / a);
    return 0.5 * std::erfc((b - mu) / std::sqrt(2.0 * var));
}

// Smallest count in 1..max for which `meets` holds, for a predicate that is monotone in
// the count; -1 when even max falls short. The result always meets and result - 1 never
// does (each was evaluated), whatever rounding does to monotonicity.
template <class F> int smallest_count(int max, F meets)
{
    if (max < 1 || !meets(max))
        return -1;
    int lo = 1, hi = max;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (meets(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

// Point where a monotone predicate turns true on [0, inf): double `start` until it holds
// (+inf if it never does before overflow, so at most ~1024 doublings), then bisect [0, hi]
// `steps` times, keeping the upper end where it holds; the midpoint of the final interval.
template <class F> double bisect_up(double start, int steps, F high_enough)
{
    double hi = start;
    while (!high_enough(hi)) {
        hi *= 2.0;
        if (std::isinf(hi))
            return INF;
    }
    double lo = 0.0;
    for (int i = 0; i < steps; ++i) {
        const double mid = lo + 0.5 * (hi - lo);
        if (mid <= lo || mid >= hi)
            break;  // adjacent doubles: further steps would change nothing
        if (high_enough(mid))
            hi = mid;
        else
            lo = mid;
    }
    return lo + 0.5 * (hi - lo);
}

}  // namespace

extern "C" {

VX_API double vx_lgamma(double x)
{
    int sign;
    return lgamma_r(x, &sign);
}

double gammaq(double a, double x)
{
    if (x <= 0.0)
        return 1.0;
    if (std::isinf(x))
        return 0.0;
    const double g = std::exp(a * std::log(x) - vx_lgamma(a) - x);
    if (x < a + 1.0) {
        double term = 1.0 / a, sum = term;
        for (int i = 1; i < MAX_TERMS; ++i) {
            term = term * x / (a + i);
            sum += term;
            if (std::fabs(term) < std::fabs(sum) * TOL)
                break;
        }
        return 1.0 - sum * g;
    }
    double b = x - a + 1.0, c = 1e300, d = 1.0 / b, h = d;
    for (int i = 1; i <= MAX_TERMS; ++i) {
        const double an = -i * (i - a);
        b += 2.0;
        d = lentz_guard(an * d + b);
        c = lentz_guard(b + an / c);
        d = 1.0 / d;
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < TOL)
            break;
    }
    return g * h;
}

double betacf(double a, double b, double x)
{
    const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
    double c = 1.0, d = 1.0 / lentz_guard(1.0 - qab * x / qap), h = d;
    for (int m = 1; m <= MAX_TERMS; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
        d = 1.0 / lentz_guard(1.0 + aa * d);
        c = lentz_guard(1.0 + aa / c);
        h *= d * c;
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
        d = 1.0 / lentz_guard(1.0 + aa * d);
        c = lentz_guard(1.0 + aa / c);
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < TOL)
            break;
    }
    return h;
}

double betai_half(int n, double u)
{
    const double g = 0.5 * n;
    const double front =
        (2.0 / n) * std::exp(g * (std::log(u) + std::log(1.0 - u)) + vx_lgamma(n) - 2.0 * vx_lgamma(g));
    return u < 0.5 ? front * betacf(g, g, u) : 1.0 - front * betacf(g, g, 1.0 - u);
}

VX_API double marcum_q(int M, double a, double b)
{
    if (M < 1 || std::isnan(a) || std::isnan(b))
        return NaN;
    a = std::fabs(a);  // Q_M depends on the amplitude only through a^2
    if (b <= 0.0)
        return 1.0;
    if (a > b && std::erfc((b - a) * 0.7071067811865476) >= 1.99999999999998)
        return 1.0;
    if (std::isinf(b))
        return std::isinf(a) ? NaN : 0.0;
    const double Md = M;
    const double lambda = 0.5 * a * a;
    if (lambda > LAMBDA_SUM_MAX)
        return marcum_q_large(Md, a, b);
    const double x = 0.5 * b * b;
    if (std::isinf(x))
        return 0.0;  // b > 1e154 while a <= 1414
    if (a < 1e-14)
        return gammaq(Md, x);

    // Poisson-weighted sum of Q(M + k, x) outward from the mode k0 of the weights.
    const double ln_lambda = std::log(lambda), ln_x = std::log(x);
    const double k0 = std::floor(lambda + 0.5);
    const double w0 = std::exp(k0 * ln_lambda - vx_lgamma(k0 + 1.0) - lambda);
    const double q0 = gammaq(Md + k0, x);
    const double span = std::floor(12.0 * std::sqrt(1.0 + lambda)) + 60.0;
    double s = w0 * q0;

    // Upward, with Q(s + 1, x) = Q(s, x) + x^s e^-x / Gamma(s + 1).
    double r = std::exp((Md + k0) * ln_x - vx_lgamma(Md + k0 + 1.0) - x);
    double w = w0, q = q0;
    for (double j = k0 + 1.0; j <= k0 + span; j += 1.0) {
        w = w * lambda / j;
        q += r;
        s += w * q;
        if (w * q < 1e-14 * s)
            break;
        r = r * x / (Md + j);
    }
    // Downward, at most k0 steps.
    w = w0;
    q = q0;
    for (double i = k0 - 1.0; i >= 0.0 && i >= k0 - span; i -= 1.0) {
        q = std::max(0.0, q - std::exp((Md + i) * ln_x - x - vx_lgamma(Md + i + 1.0)));
        w = w * (i + 1.0) / lambda;
        s += q * w;
        if (q * w < 1e-14 * s)
            break;
    }
    return s;
}

// (+ 0.0 turns the -0 of pfa = 1 into 0.)
VX_API double det_threshold(double pfa) { return std::sqrt(-2.0 * std::log(pfa) + 0.0); }

VX_API double det_pd(int n, double snr, double eta)
{
    return marcum_q(1, std::sqrt(2.0 * n) * snr, eta);
}

VX_API int det_dwell(int max_n, double snr, double pd, double pfa)
{
    const double eta = det_threshold(pfa);
    return smallest_count(max_n, [&](int n) { return det_pd(n, snr, eta) >= pd; });
}

VX_API double det_snr(int n, double pd, double pfa)
{
    if (n < 1 || std::isnan(pd) || !(pfa >= 0.0 && pfa <= 1.0))
        return NaN;
    if (pd >= 1.0 || (pd > 0.0 && pfa == 0.0))
        return INF;  // no finite SNR reaches the target
    const double eta = det_threshold(pfa);
    return bisect_up(1.0, 64, [&](double snr) { return det_pd(n, snr, eta) >= pd; });
}

VX_API double det_threshold_noncoherent(double pfa, int n_looks)
{
    if (n_looks < 2)
        return det_threshold(pfa);
    if (!(pfa >= 0.0 && pfa <= 1.0))
        return NaN;
    if (pfa == 0.0)
        return INF;
    if (pfa == 1.0)
        return 0.0;
    const double start = std::max(1.0, std::sqrt(-2.0 * std::log(pfa)));
    return bisect_up(start, 100, [&](double eta) { return !(marcum_q(n_looks, 0.0, eta) > pfa); });
}

VX_API double det_pd_noncoherent(int N, int L, double snr, double eta)
{
    return marcum_q(L, std::sqrt(2.0 * L * N) * snr, eta);
}

VX_API int det_n_noncoh(int N, int max_looks, double snr, double pd, double pfa)
{
    return smallest_count(max_looks, [&](int L) {
        return det_pd_noncoherent(N, L, snr, det_threshold_noncoherent(pfa, L)) >= pd;
    });
}

VX_API double det_threshold_power(double pfa) { return -std::log(pfa) + 0.0; }

VX_API double det_pd_power(int n, double snr, double eta)
{
    return marcum_q(1, std::sqrt(2.0 * n * snr), std::sqrt(2.0 * eta));
}

VX_API int det_dwell_power(int max_n, double snr, double pd, double pfa)
{
    const double eta = det_threshold_power(pfa);
    return smallest_count(max_n, [&](int n) { return det_pd_power(n, snr, eta) >= pd; });
}

VX_API double det_snr_power(int n, double pd, double pfa)
{
    const double s = det_snr(n, pd, pfa);
    return s * s;
}

VX_API double det_threshold_f(int n, double pfa)
{
    if (n < 1 || !(pfa > 0.0 && pfa < 1.0))
        return 0.0;
    // Bisect u = 1/(1 + t) in (0, 1): I_u(n/2, n/2) rises from 0 to 1.
    double lo = 0.0, hi = 1.0, u = 0.5;
    for (int i = 0; i < 200; ++i) {
        u = 0.5 * (lo + hi);
        if (u == lo || u == hi)
            break;  // adjacent doubles: every further midpoint would be this one again
        const bool too_large = u >= 1.0 || (u > 0.0 && betai_half(n, u) >= pfa);
        (too_large ? hi : lo) = u;
    }
    return (1.0 - u) / u;
}

VX_API double det_q_inv(double p)
{
    if (!(p > 0.0 && p < 1.0))
        return 0.0;
    // Solve in the nearer tail, Q^-1(p) = -Q^-1(1 - p) (1 - p is exact for p >= 1/2), and
    // form 1 - z^2 at z = 1 - 2q as 4q(1 - q) so that a tiny q does not round it to 0.
    const double q = p > 0.5 ? 1.0 - p : p;
    const double L = std::log(4.0 * q * (1.0 - q));
    const double c = 0.5 * L + 4.330746750799873;
    double y = std::sqrt(std::max(0.0, std::sqrt(std::max(0.0, c * c - 6.802721088435375 * L)) - c));
    // Newton on erfc(y) = 2q. Four steps reach full precision down to q ~ 1e-20; the far
    // tail converges more slowly, so go on (bounded) until a step stops moving y.
    for (int i = 0; i < 12; ++i) {
        const double step = 0.886226925452758 * std::exp(y * y) * (std::erfc(y) - 2.0 * q);
        if (!std::isfinite(step))
            break;  // subnormal q: exp(y^2) overflows; keep the last finite estimate
        y += step;
        if (i >= 3 && std::fabs(step) <= 1e-16 * y)
            break;
    }
    return (p > 0.5 ? -1.4142135623730951 : 1.4142135623730951) * y;
}

VX_API int det_dwell_gauss(double d, double k, double pd, double pfa)
{
    if (!(d > 0.0 && k > 0.0 && pfa > 0.0 && pfa < 1.0 && pd > 0.0 && pd < 1.0 && pd > pfa))
        return -1;
    const double r = (det_q_inv(pfa) - det_q_inv(pd)) / d;
    const double n = std::ceil(k * (r * r));
    return static_cast<int>(vx_double_to_i64(n, 1, INT_MAX, -1));  // NaN from inf*0
}

VX_API double det_threshold_gauss(double mu, double pd, double pfa)
{
    if (!(mu > 0.0 && std::isfinite(mu) && pfa > 0.0 && pfa < 1.0 && pd > 0.0 && pd < 1.0 &&
          pd > pfa))
        return 0.0;
    const double qf = det_q_inv(pfa);
    const double den = qf - det_q_inv(pd);
    return den > 0.0 ? mu * qf / den : 0.0;
}

VX_API double det_ema_alpha(double in_snr_db, double out_snr_db)
{
    // 2c/(c + e) as 2/(1 + e/c): no overflow for large dB values; NaN keeps alpha = 1.
    const double gain_db = out_snr_db - in_snr_db;
    if (!(gain_db > 0.0))
        return 1.0;
    return 2.0 / (1.0 + std::pow(10.0, gain_db / 10.0));
}

VX_API int det_verify_count(double p, double budget)
{
    if (p <= 0.0 || p <= budget)
        return 1;
    if (p >= 1.0)
        return INT_MAX;
    // budget <= 0, NaN or a count past the int range: never cast, saturate.
    const double n = std::ceil(std::log(budget) / std::log(p) - 1e-9);
    return static_cast<int>(vx_double_to_i64(n, 1, INT_MAX, INT_MAX));
}

VX_API double det_verify_delay(int n, double p)
{
    const double m = n > 1 ? n : 1;
    if (!(p > 0.0))
        return INF;
    if (p >= 1.0)
        return m;
    const double lp = m * std::log(p);
    return std::expm1(lp) / ((p - 1.0) * std::exp(lp));
}

}  // extern "C"
