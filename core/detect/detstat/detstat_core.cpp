#include "detstat.h"
#include "detstat_internal.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Series and continued fractions stop at a relative change of TOL; below TEMME_A_MIN they
// need at most ~9*sqrt(a) terms near x ~ a, well inside the cap.
constexpr int MAX_TERMS = 10000;
constexpr double TOL = 1e-15;
constexpr double TINY = 1e-300;  // modified Lentz: floor of |d| and |c|

// From this order on gammaq uses Temme's uniform expansion: four terms of it are accurate
// to 1e-15 here, and it costs the same for any a.
constexpr double TEMME_A_MIN = 1000.0;

// marcum_q's Poisson sum steps one term at a time up to this lambda (at most ~24000
// terms); beyond, it samples every h-th term (see marcum_q).
constexpr double LAMBDA_STEP1_MAX = 1e6;

// Past this amplitude or threshold the envelope is Gaussian to within M/a < 1e-90.
constexpr double HUGE_AMPLITUDE = 1e100;

constexpr double LN_SQRT_2PI = 0.91893853320467274178;
constexpr double SQRT_2PI = 2.5066282746310005024;

double lentz_guard(double v) { return std::fabs(v) < TINY ? TINY : v; }

double clamp01(double p) { return p < 0.0 ? 0.0 : (p > 1.0 ? 1.0 : p); }  // NaN stays NaN

// ln Gamma(n + 1) - (n + 1/2) ln n + n - ln sqrt(2 pi): Stirling's remainder, n > 0.
double stirlerr(double n)
{
    if (n > 15.0) {
        const double nn = n * n;
        return (1.0 / 12 - (1.0 / 360 - (1.0 / 1260 - (1.0 / 1680 - (1.0 / 1188) / nn) / nn) / nn) / nn) / n;
    }
    return vx_lgamma(n + 1.0) - (n + 0.5) * std::log(n) + n - LN_SQRT_2PI;
}

// n ln(n/m) + m - n without the cancellation of its terms when n ~ m.
double bd0(double n, double m)
{
    if (std::fabs(n - m) < 0.1 * (n + m)) {
        double v = (n - m) / (n + m);
        double s = (n - m) * v, ej = 2.0 * n * v;
        v *= v;
        for (int j = 1; j < 1000; ++j) {
            ej *= v;
            const double s1 = s + ej / (2 * j + 1);
            if (s1 == s)
                return s1;
            s = s1;
        }
        return s;
    }
    return n * std::log(n / m) + m - n;
}

// m^n e^-m / Gamma(n + 1) for real n >= 0 (the Poisson weight), to a few ulps even where
// n ln m and ln Gamma(n + 1) are each ~1e8 (exp of their difference would keep ~1e-8).
double dpois(double n, double m)
{
    if (m == 0.0)
        return n == 0.0 ? 1.0 : 0.0;
    if (n == 0.0)
        return std::exp(-m);
    return std::exp(-stirlerr(n) - bd0(n, m) - LN_SQRT_2PI) / std::sqrt(n);
}

// t - ln(1 + t) to full relative precision for small t.
double log1pmx(double t)
{
    if (std::fabs(t) > 0.5)
        return t - std::log1p(t);
    // ln(1 + t) = 2 atanh(r) = 2(r + r^3/3 + r^5/5 + ...) with r = t/(2 + t), and t - 2r = r t.
    const double r = t / (2.0 + t), r2 = r * r;
    double rk = r * r2, sum = rk / 3.0;
    for (int k = 5; k < 200; k += 2) {
        rk *= r2;
        const double next = sum + rk / k;
        if (next == sum)
            break;
        sum = next;
    }
    return r * t - 2.0 * sum;
}

// Taylor coefficients in eta of Temme's c_k(eta) (DLMF 8.12), exact rationals rounded.
constexpr double TEMME_C0[] = {
    -0.3333333333333333, 0.08333333333333333, -0.014814814814814815, 0.0011574074074074073,
    0.0003527336860670194, -0.0001787551440329218, 3.919263178522438e-05, -2.185448510679992e-06,
    -1.85406221071516e-06, 8.296711340953087e-07, -1.7665952736826078e-07, 6.707853543401498e-09,
    1.0261809784240309e-08, -4.382036018453353e-09, 9.14769958223679e-10, -2.5514193994946248e-11,
    -5.830772132550426e-11, 2.4361948020667415e-11, -5.0276692801141755e-12, 1.1004392031956135e-13,
    3.371763262400985e-13, -1.392388722418162e-13, 2.8534893807047445e-14, -5.139111834242572e-16,
    -1.9752288294349442e-15, 8.099521156704561e-16, -1.6522531216398162e-16, 2.5305430097478883e-18,
    1.1686939738559576e-17, -4.770037049820485e-18, 9.699126059056237e-19};
constexpr double TEMME_C1[] = {
    -0.001851851851851852, -0.003472222222222222, 0.0026455026455026454, -0.0009902263374485596,
    0.00020576131687242798, -4.018775720164609e-07, -1.8098550334489977e-05, 7.64916091608111e-06,
    -1.6120900894563446e-06, 4.647127802807434e-09, 1.378633446915721e-07, -5.752545603517705e-08,
    1.1951628599778148e-08, -1.7543241719747647e-11, -1.0091543710600413e-09, 4.162792991842583e-10,
    -8.56390702649298e-11, 6.067215101604758e-14, 7.1624989648114856e-12, -2.933186643771437e-12,
    5.996696365683689e-13, -2.1671786527323313e-16, -4.978339972369262e-14, 2.0291628823713425e-14,
    -4.13125571381061e-15};
constexpr double TEMME_C2[] = {
    0.004133597883597883, -0.0026813271604938273, 0.0007716049382716049, 2.0093878600823047e-06,
    -0.0001073665322636516, 5.2923448829120125e-05, -1.2760635188618728e-05, 3.423578734096138e-08,
    1.3721957309062934e-06, -6.298992138380055e-07, 1.4280614206064242e-07, -2.0477098421990866e-10,
    -1.409252991086752e-08, 6.228974084922022e-09, -1.3670488396617114e-09, 9.428356159014678e-13,
    1.2872252400089318e-10, -5.5645956134363323e-11, 1.197593554636698e-11};
constexpr double TEMME_C3[] = {
    0.0006494341563786008, 0.00022947209362139917, -0.0004691894943952557, 0.00026772063206283885,
    -7.561801671883977e-05, -2.396505113867297e-07, 1.1082654115347302e-05, -5.6749528269915965e-06,
    1.4230900732435883e-06, -2.7861080291528143e-11, -1.6958404091930278e-07, 8.099464905388083e-08,
    -1.9111168485973655e-08};

template <std::size_t N> double horner(const double (&c)[N], double x)
{
    double s = 0.0;
    for (std::size_t i = N; i-- > 0;)
        s = s * x + c[i];
    return s;
}

// Q(a, x) for a >= TEMME_A_MIN: erfc(eta sqrt(a/2))/2 + R_a(eta), with lambda = x/a and
// eta^2/2 = lambda - 1 - ln lambda. Where a*eta^2/2 > 750 every term but the erfc's limit
// underflows, so the series only ever runs at |eta| < 1.23, well inside its radius 2 sqrt(pi).
double gammaq_temme(double a, double x)
{
    const double t = (x - a) / a;
    const double half_eta2 = log1pmx(t);
    const double eta = std::copysign(std::sqrt(2.0 * half_eta2), t);
    const double main = 0.5 * std::erfc(eta * std::sqrt(0.5 * a));
    if (a * half_eta2 > 750.0)
        return main;
    const double ia = 1.0 / a;
    const double series = horner(TEMME_C0, eta) +
                          ia * (horner(TEMME_C1, eta) + ia * (horner(TEMME_C2, eta) + ia * horner(TEMME_C3, eta)));
    return main + std::exp(-a * half_eta2) / (SQRT_2PI * std::sqrt(a)) * series;
}

// Q_M(a, b) past HUGE_AMPLITUDE: the envelope is Gaussian with E[R^2] = a^2 + 2M and
// Var R = 1 - (2M - 1)/(2(a^2 + 2M)). Scaled so that a and b up to the largest doubles
// neither overflow nor lose a.
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
    if (a >= TEMME_A_MIN)
        return clamp01(gammaq_temme(a, x));
    const double g = a * dpois(a, x);  // x^a e^-x / Gamma(a)
    if (x < a + 1.0) {
        double term = 1.0 / a, sum = term;
        for (int i = 1; i < MAX_TERMS; ++i) {
            term = term * x / (a + i);
            sum += term;
            if (std::fabs(term) < std::fabs(sum) * TOL)
                break;
        }
        return clamp01(1.0 - sum * g);
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
    return clamp01(g * h);
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
    if (a > HUGE_AMPLITUDE || b > HUGE_AMPLITUDE)
        return clamp01(marcum_q_large(Md, a, b));
    const double lambda = 0.5 * a * a, x = 0.5 * b * b;
    if (a < 1e-14)
        return gammaq(Md, x);

    // Poisson-weighted sum of Q(M + k, x) outward from the mode k0 of the weights, over
    // k0 +- span. Up to LAMBDA_STEP1_MAX it takes every term, stepping Q(M + k, x) by its
    // recurrence. Beyond, the terms vary smoothly over sqrt(min(lambda, x)) >= ~990 (the
    // early return above keeps x > 0.98 lambda), and h times every h-th term with
    // h = that width / 16 equals the full sum to within exp(-2 pi^2 16^2) (Poisson
    // summation): ~400 terms for any lambda, each with its own Q.
    const double k0 = std::floor(lambda + 0.5);
    const double span = std::floor(12.0 * std::sqrt(1.0 + lambda)) + 60.0;
    const double w0 = dpois(k0, lambda);
    const double q0 = gammaq(Md + k0, x);
    double s = w0 * q0;
    if (lambda > LAMBDA_STEP1_MAX) {
        const double h = std::floor(std::sqrt(std::min(lambda, x)) / 16.0);
        const int steps = static_cast<int>(span / h);  // span/h < 12*16/0.98 + 1
        for (int dir = -1; dir <= 1; dir += 2)
            for (int j = 1; j <= steps; ++j) {
                const double k = k0 + dir * j * h;
                if (k < 0.0)
                    break;
                const double term = dpois(k, lambda) * gammaq(Md + k, x);
                s += term;
                if (term < 1e-16 * s)
                    break;
            }
        return clamp01(h * s);
    }

    // Upward, with Q(s + 1, x) = Q(s, x) + x^s e^-x / Gamma(s + 1).
    double r = dpois(Md + k0, x);
    double w = w0, q = q0;
    for (double j = k0 + 1.0; j <= k0 + span; j += 1.0) {
        w = w * lambda / j;
        q += r;
        s += w * q;
        if (w * q < 1e-16 * s)
            break;
        r = r * x / (Md + j);
    }
    // Downward, at most k0 steps.
    w = w0;
    q = q0;
    for (double i = k0 - 1.0; i >= 0.0 && i >= k0 - span; i -= 1.0) {
        q = std::max(0.0, q - dpois(Md + i, x));
        w = w * (i + 1.0) / lambda;
        s += q * w;
        if (q * w < 1e-16 * s)
            break;
    }
    return clamp01(s);
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
