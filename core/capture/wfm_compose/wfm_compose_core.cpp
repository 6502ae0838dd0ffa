#include "wfm_compose.h"

#include <cmath>

namespace {

constexpr const char *KIND_NAMES[WFM_NUM_SRC_KINDS] = {"tone", "noise", "pn", "bpsk", "qpsk",
                                                       "chirp", "bits", "symbols", "dsss"};
constexpr const char *SNR_MODE_NAMES[4] = {"auto", "fs", "ebno", "esno"};

uint64_t finalise(uint64_t z)  // SplitMix64's output function
{
    z ^= z >> 30;
    z *= 0xbf58476d1ce4e5b9ull;
    z ^= z >> 27;
    z *= 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

uint64_t hash(uint32_t seed, uint32_t pass, uint64_t instance, uint64_t segment, uint64_t source, uint32_t tag)
{
    uint64_t key = (source << 16) ^ (uint64_t{tag} * 256) ^ (segment << 40) ^ (instance << 48) ^
                   (uint64_t{pass} << 32) ^ (uint64_t{seed} * 0xd1b54a32d192ed03ull);
    // The shifts above keep 16 bits of instance and source and 24 of segment; the rest is
    // folded in, so instance 65536 no longer draws like instance 0 (and small indices keep
    // their values).
    const uint64_t hi_i = instance >> 16, hi_s = segment >> 24, hi_j = source >> 16;
    if (hi_i | hi_s | hi_j)
        key ^= finalise(finalise(finalise(hi_i + 0x9e3779b97f4a7c15ull) ^ hi_s) ^ hi_j);
    return finalise(key + 0x9e3779b97f4a7c15ull);
}

uint64_t count_of(uint64_t instances) { return instances == 0 ? 1 : instances < WFM_MAX_INSTANCES ? instances : WFM_MAX_INSTANCES; }

// Walk every instance in order; f(segment, instance, start, counts) returns false to stop.
template <class F> void walk(const wfm_segment *segs, uint64_t n, F f)
{
    if (!segs)
        return;
    uint64_t start = 0;
    for (uint64_t s = 0; s < n; ++s)
        for (uint64_t k = 0, m = count_of(segs[s].instances); k < m; ++k) {
            uint64_t c[3];
            wfm_draw_segment(&segs[s], 0, k, s, c);
            const uint64_t len = c[0] + c[1] + c[2];
            if (len < c[0] || c[0] + c[1] < c[0] || start + len < start)
                return;  // the timeline would pass 2^64 samples
            f(s, k, start, c);
            start += len;
        }
}

}  // namespace

extern "C" {

double wfm_draw_range(uint32_t seed, uint32_t pass, uint64_t instance, uint64_t segment, uint64_t source,
                      uint32_t tag, double lo, double hi, uint64_t *h)
{
    const uint64_t z = hash(seed, pass, instance, segment, source, tag);
    if (h)
        *h = z;
    return lo + static_cast<double>(z >> 11) * ((hi - lo) * 0x1p-53);
}

uint64_t wfm_draw_samples(uint32_t seed, uint32_t pass, uint64_t instance, uint64_t segment, uint32_t tag,
                          uint64_t lo, uint64_t hi)
{
    if (hi <= lo)
        return lo;
    const double v = std::floor(wfm_draw_range(seed, pass, instance, segment, 0, tag, static_cast<double>(lo),
                                               static_cast<double>(hi), nullptr) + 0.5);
    const auto r = static_cast<uint64_t>(vx_double_to_i64(v, 0, INT64_MAX, 0));
    return r < lo ? lo : r > hi ? hi : r;  // doubles round large counts: keep within the bounds
}

void wfm_draw_segment(const wfm_segment *seg, uint32_t pass, uint64_t k, uint64_t s, uint64_t out[3])
{
    if (!seg || !out)
        return;
    const uint32_t seed = seg->sources && seg->n_sources ? seg->sources[0].seed : 1;
    auto count = [&](uint32_t tag, uint64_t base, uint64_t hi) {
        return seg->flags & tag ? wfm_draw_samples(seed, pass, k, s, tag, base, hi) : base;
    };
    out[0] = count(WFM_DRAW_GAP_BEFORE, seg->gap_before, seg->gap_before_hi);
    out[1] = count(WFM_DRAW_NUM_SAMPLES, seg->num_samples, seg->num_samples_hi);
    out[2] = count(WFM_DRAW_GAP_AFTER, seg->gap_after, seg->gap_after_hi);
}

void wfm_draw_source(const wfm_source *src, uint32_t pass, uint64_t k, uint64_t s, uint64_t j, double out[6])
{
    if (!src || !out)
        return;
    auto value = [&](uint32_t tag, double base, double hi) {
        return src->flags & tag ? wfm_draw_range(src->seed, pass, k, s, j, tag, base, hi, nullptr) : base;
    };
    out[0] = value(WFM_DRAW_FREQ, src->freq_hz, src->freq_hi);
    out[1] = value(WFM_DRAW_F1, src->f1_hz, src->f1_hi);
    out[2] = value(WFM_DRAW_SNR, src->snr, src->snr_hi);
    out[3] = value(WFM_DRAW_LEVEL, src->level_db, src->level_hi);
    out[4] = value(WFM_DRAW_PPM, src->ppm, src->ppm_hi);
    out[5] = value(WFM_DRAW_PPM_RATE, src->ppm_rate, src->ppm_rate_hi);
}

uint64_t wfm_compose_spans(const wfm_segment *segs, uint64_t n, wfm_span *out, uint64_t cap)
{
    uint64_t total = 0;
    walk(segs, n, [&](uint64_t s, uint64_t k, uint64_t start, const uint64_t *c) {
        if (out && total < cap)
            out[total] = {s, k, start, c[0], c[1], c[2]};
        ++total;
    });
    return total;
}

uint64_t wfm_compose_draws(const wfm_segment *segs, uint64_t n, wfm_draw *out, uint64_t cap)
{
    uint64_t total = 0;
    walk(segs, n, [&](uint64_t s, uint64_t k, uint64_t start, const uint64_t *c) {
        const wfm_segment &g = segs[s];
        for (uint64_t j = 0; g.sources && j < g.n_sources; ++j, ++total) {
            if (!out || total >= cap)
                continue;
            double v[6];
            wfm_draw_source(&g.sources[j], 0, k, s, j, v);
            out[total] = {s, k, j, start, c[0], c[1], c[2], v[0], v[1], v[2], v[3], v[4], v[5]};
        }
    });
    return total;
}

const char *wfm_source_kind_name(int kind)
{
    return kind >= 0 && kind < WFM_NUM_SRC_KINDS ? KIND_NAMES[kind] : nullptr;
}

const char *wfm_snr_mode_name(int mode) { return mode >= 0 && mode < 4 ? SNR_MODE_NAMES[mode] : nullptr; }

}  // extern "C"
