// The AGC's dB conversions take floor, ldexp and frexp apart by hand for speed; they must
// give the library's bits everywhere, the range ends and subnormal results included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "agc.h"

namespace {

double exp_db_ref(double d)
{
    const double t = d * 0.16609640474436813;
    const double f = std::floor(t);
    const double c = (t - f) * 0.6931471805599453;
    const double p = 1.0 + c + c * c / 2.0 + c * c * c / 6.0 + c * c * c * c / 24.0;
    return std::ldexp(p, static_cast<int>(f));
}

double level_db_ref(double p)
{
    int k;
    const double m = 2.0 * std::frexp(p + 1e-30, &k);
    const double f = (m - 1.0) / (m + 1.0);
    return (static_cast<double>(k - 1) + 2.885390081777927 * f * (1.0 + f * f / 3.0)) * 3.010299956639812;
}

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(Agc, DbConversionsMatchTheLibraryForms)
{
    for (double d = -6159.0; d <= 6159.0; d += 0.37)
        for (double v : {d, -d * 1e-7, std::nextafter(d, 0.0)})
            ASSERT_TRUE(same(agc_db_to_lin(v), exp_db_ref(v))) << v;
    for (double d : {-6159.073711285056, 6159.073711285056, -6150.0, -6165.3, 0.0, -0.0, 1e-300})
        EXPECT_TRUE(same(agc_db_to_lin(d), d < -6159.073711285056 ? 0.0 : exp_db_ref(d))) << d;
    for (double p = 1e-32; p < 0x1p257; p *= 1.37)
        for (double v : {p, std::nextafter(p, 0.0), p * 0.999})
            ASSERT_TRUE(same(agc_level_db(v), level_db_ref(v))) << v;
    for (double p : {0.0, 1.0, 0.5, 0x1p257})
        EXPECT_TRUE(same(agc_level_db(p), level_db_ref(p))) << p;
}
