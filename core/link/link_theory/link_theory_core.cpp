#include "link_theory.h"

#include <cmath>
#include <limits>

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double ESN0_DB_MIN = -10.0, ESN0_DB_MAX = 40.0;
constexpr int EVM_MAX_ORDER = 64;  // repeated products of more would over- or underflow
constexpr double EVM_FLOOR = 1e-12;  // -120 dB: ideal float32 symbols land far below it

double guess_rate(int m) { return m < 3 ? 0.5 : 1.0 - 1.0 / m; }
double db_to_linear(double db) { return std::pow(10.0, db / 10.0); }

}  // namespace

extern "C" {

VX_API double ber_qfunc(double x) { return 0.5 * std::erfc(x * 0.70710678118654752440); }

VX_API double ber_theory_ser(int m, double esn0)
{
    if (std::isnan(esn0))
        return NaN;
    const double cap = guess_rate(m);
    if (esn0 <= 0.0)
        return cap;
    double p;
    if (m < 3)
        p = ber_qfunc(std::sqrt(2.0 * esn0));
    else if (m == 4)
        p = 2.0 * ber_qfunc(std::sqrt(esn0));
    else
        p = 2.0 * ber_qfunc(std::sqrt(2.0 * esn0) * std::sin(PI / 8.0));
    return p < cap ? p : cap;
}

VX_API double ber_theory_ber(int m, double esn0)
{
    if (std::isnan(esn0))
        return NaN;
    const double b = m == 2 ? 1.0 : (m == 4 ? 2.0 : (m == 8 ? 3.0 : 1.0));
    if (m < 5)
        return ber_qfunc(std::sqrt(2.0 * (esn0 > 0.0 ? esn0 : 0.0) / b));
    return ber_theory_ser(m, esn0) / b;
}

VX_API double ber_esn0_db_for_ser(int m, double ser)
{
    if (std::isnan(ser))
        return NaN;
    if (ser >= ber_theory_ser(m, db_to_linear(ESN0_DB_MIN)))
        return ESN0_DB_MIN;
    if (ser <= ber_theory_ser(m, db_to_linear(ESN0_DB_MAX)))
        return ESN0_DB_MAX;  // including an error-free measurement
    double lo = ESN0_DB_MIN, hi = ESN0_DB_MAX, mid = 0.5 * (lo + hi);
    for (int i = 0; i < 200; ++i) {
        mid = 0.5 * (lo + hi);
        if (ber_theory_ser(m, db_to_linear(mid)) > ser)
            lo = mid;
        else
            hi = mid;
    }
    return mid;
}

VX_API double ber_evm_scatter_floor_db(int m)
{
    const double t = PI / (m > 2 ? m : 2);
    return 10.0 * std::log10(2.0 - 2.0 * std::sin(t) / t);
}

VX_API uint64_t ber_settle_syms(double bn_timing, double bn_carrier)
{
    if (std::isnan(bn_timing) || std::isnan(bn_carrier))
        return 0;
    double n = 0.0;
    if (bn_timing > 0.0)
        n += 5.0 / bn_timing;
    if (bn_carrier > 0.0)
        n += 5.0 / bn_carrier;
    n *= 2.0;
    // 2^64 as a double: anything at or past it (infinity included) saturates.
    return n >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(n);
}

VX_API uint64_t ber_settle_from(uint64_t budget, int64_t timing_lock, int64_t carrier_lock)
{
    uint64_t start = budget;
    if (timing_lock > 0 && static_cast<uint64_t>(timing_lock) >= start)
        start = static_cast<uint64_t>(timing_lock);
    if (carrier_lock > 0 && static_cast<uint64_t>(carrier_lock) > start)
        start = static_cast<uint64_t>(carrier_lock);
    return start;
}

VX_API int64_t ber_lock_symbol(const uint8_t *flags, uint64_t len, uint64_t sustain, double min_frac)
{
    if (!flags || len == 0 || len > static_cast<uint64_t>(INT64_MAX))
        return -1;
    if (sustain == 0)
        sustain = 200;
    if (!(min_frac > 0.0))
        min_frac = 0.9;
    uint64_t set_from_j = 0;  // non-zero flags in flags[j ... len)
    for (uint64_t i = 0; i < len; ++i)
        set_from_j += flags[i] != 0;
    if (set_from_j == 0)
        return -1;
    uint64_t next_zero = 0;  // first zero flag at or after j (len if none)
    for (uint64_t j = 0; j < len && len - j >= sustain; ++j) {
        if (next_zero < j)
            next_zero = j;
        while (next_zero < len && flags[next_zero])
            ++next_zero;
        if (next_zero - j >= sustain &&
            static_cast<double>(set_from_j) >= min_frac * static_cast<double>(len - j))
            return static_cast<int64_t>(j);
        set_from_j -= flags[j] != 0;
    }
    return -1;
}

VX_API double ber_evm_db(const vx_cf32 *rx, uint64_t len, uint64_t lo, uint64_t hi, int m)
{
    if (m < 2)
        m = 2;
    if (m > EVM_MAX_ORDER)
        return NaN;
    const uint64_t end = hi < len ? hi : len;
    if (!rx || lo >= end || end - lo < 20)
        return 0.0;
    const double W = static_cast<double>(end - lo);
    double sre = 0.0, sim = 0.0, energy = 0.0;
    for (uint64_t i = lo; i < end; ++i) {
        const double re = rx[i].re, im = rx[i].im;
        double pre = re, pim = im;  // y^m by repeated multiplication
        for (int k = 1; k < m; ++k) {
            const double t = pre * re - pim * im;
            pim = pre * im + pim * re;
            pre = t;
        }
        sre += pre;
        sim += pim;
        energy += re * re + im * im;
    }
    const double rms = std::sqrt(energy / W);
    if (std::isnan(rms) || std::isnan(sre) || std::isnan(sim))
        return NaN;
    if (rms < 1e-20)
        return 0.0;
    const double phi = std::atan2(sim, sre) / m;
    const double cr = std::cos(phi) / rms, ci = -std::sin(phi) / rms;
    double error = 0.0;
    for (uint64_t i = lo; i < end; ++i) {
        const double re = rx[i].re, im = rx[i].im;
        const double ur = re * cr - im * ci, ui = re * ci + im * cr;
        const double d = std::round(std::atan2(ui, ur) * m / (2.0 * PI)) * (2.0 * PI / m);
        const double er = ur - std::cos(d), ei = ui - std::sin(d);
        error += er * er + ei * ei;
    }
    const double e = error / W;
    if (std::isnan(e))
        return NaN;
    return e > EVM_FLOOR ? 10.0 * std::log10(e) : -120.0;
}

}  // extern "C"
