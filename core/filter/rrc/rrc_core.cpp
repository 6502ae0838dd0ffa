#include "rrc.h"

#include <cmath>
#include <numbers>

namespace {

constexpr double kPi = std::numbers::pi;

// Taps of 2·span·sps + 1, or 0 when that many floats would pass the size limit.
uint64_t rrc_length(uint64_t sps, uint64_t span)
{
    uint64_t n;
    if (span > VX_SIZE_LIMIT || !vx_size_mul(2 * span, sps, &n) ||
        !vx_size_mul(n + 1, sizeof(float), nullptr))
        return 0;
    return n + 1;
}

} // namespace

extern "C" {

VX_API double wfm_rrc_pulse(double t, double beta)
{
    if (std::fabs(t) < 1e-9)
        return 1.0 + beta * (4.0 / kPi - 1.0);
    if (beta > 0.0 && std::fabs(std::fabs(t) - 1.0 / (4.0 * beta)) < 1e-9) {
        const double a = kPi / (4.0 * beta);
        return beta / std::sqrt(2.0) *
               ((1.0 + 2.0 / kPi) * std::sin(a) + (1.0 - 2.0 / kPi) * std::cos(a));
    }
    return (std::sin(kPi * t * (1.0 - beta)) + 4.0 * beta * t * std::cos(kPi * t * (1.0 + beta))) /
           (kPi * t * (1.0 - 16.0 * beta * beta * t * t));
}

VX_API int wfm_rrc_taps(uint64_t sps, uint64_t span, float *taps, double beta)
{
    const uint64_t n = rrc_length(sps, span);
    if (!taps || sps == 0 || n == 0 || !(beta >= 0.0 && beta <= 1.0))
        return VX_ERR_INVALID;
    const double centre = static_cast<double>(span * sps), s = static_cast<double>(sps);
    double energy = 0.0;
    for (uint64_t i = 0; i < n; ++i) {
        const double h = wfm_rrc_pulse((static_cast<double>(i) - centre) / s, beta);
        energy += h * h;
    }
    const double norm = energy > 0.0 ? std::sqrt(energy) : 1.0;
    for (uint64_t i = 0; i < n; ++i)
        taps[i] = static_cast<float>(wfm_rrc_pulse((static_cast<double>(i) - centre) / s, beta) /
                                     norm);
    return VX_OK;
}

VX_API int wfm_polyphase_bank(const float *src, uint64_t n_src, uint64_t arms,
                              uint64_t taps_per_arm, float *bank)
{
    uint64_t cells;
    if (!src || !bank || arms == 0 || !vx_size_mul(arms, taps_per_arm, &cells))
        return VX_ERR_INVALID;
    for (uint64_t p = 0; p < arms; ++p)
        for (uint64_t k = 0; k < taps_per_arm; ++k) {
            const uint64_t at = p + k * arms; // < arms·taps_per_arm: no overflow
            bank[p * taps_per_arm + k] = at < n_src ? src[at] : 0.0f;
        }
    return VX_OK;
}

VX_API int wfm_rrc_polyphase_bank(uint64_t sps, uint64_t span, float *bank, double beta)
{
    const uint64_t n = rrc_length(sps, span);
    if (!bank || sps == 0 || n == 0 || !(beta >= 0.0 && beta <= 1.0))
        return VX_ERR_INVALID;
    float *taps = static_cast<float *>(vx_calloc(n, sizeof(float)));
    if (!taps)
        return VX_ERR_INVALID;
    wfm_rrc_taps(sps, span, taps, beta);
    const double gain = std::sqrt(static_cast<double>(sps));
    for (uint64_t i = 0; i < n; ++i)
        taps[i] = static_cast<float>(taps[i] * gain);
    const int rc = wfm_polyphase_bank(taps, n, sps, 2 * span + 1, bank);
    vx_free(taps);
    return rc;
}

} // extern "C"
