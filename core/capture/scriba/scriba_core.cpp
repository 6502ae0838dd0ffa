#include "scriba.h"

#include <cjson/cJSON.h>
#include <emmintrin.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <type_traits>
#include <vector>

#include "wfm_endian.hpp"
#include "wfm_path.hpp"

struct scriba {
    FILE *file;
    bool owns_file;
    int file_type, sample_type;
    bool big_endian;
    uint64_t total;
    off_t base;               // where the writer started in the stream (header offsets count from it)
    off_t pos;                // bytes from base to the end of the last whole sample (owned files)
    uint64_t samples_written;
    unsigned char *conv_buf;  // one chunk of converted samples, sized at create
    float gain;
    float peak;
    bool clipped, track_clipping, failed;
    uint64_t clip_count;
    char hdr_kw_text[WFM_HCB_KW_BYTES];
    uint32_t hdr_kw_len;
    unsigned char *ext_kw;
    uint64_t ext_kw_len, ext_kw_cap;
    double fs, fc, t0;
    std::string path;
    std::string meta_path;    // empty: no metadata file
};

namespace {

// Samples converted per write call: a bounded buffer, whatever the block size.
constexpr uint64_t CHUNK = 1 << 16;
// Longest CSV line: two "%0.9f" of FLT_MAX (39 digits, point, 9 decimals, sign) and separators.
constexpr uint64_t CSV_LINE_MAX = 2 * 51 + 2;
constexpr uint64_t CSV_CHUNK = 4096;
constexpr uint64_t CONV_BYTES = CHUNK * 16;
static_assert(CSV_CHUNK * CSV_LINE_MAX <= CONV_BYTES);
constexpr double SCHEMA_FREQ_MAX = 1e12;  // SigMF's limit on rates and frequencies
// Years 1..9999 in seconds from 1970: what "%Y-%m-%dT%H:%M:%S" prints with four digits.
constexpr double T0_MIN = -62135596800.0, T0_MAX = 253402300799.0;
constexpr const char *MAIN_HEADER_TAGS[] = {"CREATOR", "IO", "PACKET", "PKT_BYTE_COUNT", "TC_PREC", "VER"};
constexpr uint64_t MAX_ANNOTATIONS = uint64_t{1} << 24;

std::string base_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool valid_t0(double t0) { return vx_finite(t0) && t0 >= T0_MIN && t0 <= T0_MAX; }

// Replace the file at path with text: write a temporary file beside it, then rename, so a
// reader never sees a half-written or stale file under the name.
int write_atomic(const std::string &path, const char *text)
{
    std::string tmp = path + ".XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0)
        return -1;
    size_t left = std::strlen(text);
    bool ok = fchmod(fd, 0644) == 0;
    for (const char *p = text; ok && left > 0;) {
        const ssize_t k = ::write(fd, p, left);
        ok = k > 0;
        p += ok ? k : 0;
        left -= ok ? static_cast<size_t>(k) : 0;
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return -1;
    }
    return 0;
}

// ---- SigMF metadata -----------------------------------------------------------------------

cJSON *exact_count(uint64_t v)  // 64-bit integers exactly, not through a double
{
    char b[24];
    std::snprintf(b, sizeof b, "%llu", static_cast<unsigned long long>(v));
    return cJSON_CreateRaw(b);
}

bool add_number(cJSON *o, const char *key, double v)
{
    return vx_finite(v) && cJSON_AddNumberToObject(o, key, v);
}

// "%Y-%m-%dT%H:%M:%S.uuuuuuZ" of t0 (whole seconds by floor, the fraction truncated).
bool format_datetime(double t0, char *out, size_t cap)
{
    const double sec = std::floor(t0);
    const auto whole = static_cast<time_t>(sec);
    const auto usec = static_cast<unsigned long>(static_cast<uint64_t>((t0 - sec) * 1e9) / 1000);
    struct tm tm;
    if (!gmtime_r(&whole, &tm))
        return false;
    char date[32];
    if (std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm) == 0)
        return false;
    return std::snprintf(out, cap, "%s.%0*luZ", date, 6, std::min(usec, 999999ul)) < static_cast<int>(cap);
}

// One annotation of a composed draw; NULL on a value JSON cannot hold.
cJSON *draw_annotation(const wfm_draw &d, const wfm_segment &seg, double fc)
{
    const wfm_source &src = seg.sources[d.source];
    const char *kind = wfm_source_kind_name(src.kind);
    const char *mode = wfm_snr_mode_name(src.snr_mode);
    cJSON *a = cJSON_CreateObject();
    if (!a || !kind || !mode)
        return cJSON_Delete(a), nullptr;
    bool ok = cJSON_AddItemToObject(a, "core:sample_start", exact_count(d.start + d.gap_before)) &&
              cJSON_AddItemToObject(a, "core:sample_count", exact_count(d.num_samples));
    double lo, hi;
    if (src.kind == WFM_SRC_CHIRP) {
        lo = std::min(d.freq_hz, d.f1_hz);
        hi = std::max(d.freq_hz, d.f1_hz);
    } else {
        const bool narrow = src.kind == WFM_SRC_TONE || src.kind == WFM_SRC_NOISE || src.sps < 1;
        const double w = narrow ? 0.0 : seg.fs / (2.0 * src.sps);
        lo = d.freq_hz - w;
        hi = d.freq_hz + w;
    }
    lo += fc;  // edges at RF
    hi += fc;
    // Both edges or neither: an edge outside the schema's range is left out with its twin.
    if (vx_finite(lo) && vx_finite(hi) && std::fabs(lo) <= SCHEMA_FREQ_MAX && std::fabs(hi) <= SCHEMA_FREQ_MAX)
        ok = ok && add_number(a, "core:freq_lower_edge", lo) && add_number(a, "core:freq_upper_edge", hi);
    ok = ok && cJSON_AddStringToObject(a, "core:label", kind) && add_number(a, "formix:snr", d.snr) &&
         add_number(a, "formix:level_db", d.level_db) && cJSON_AddStringToObject(a, "formix:snr_mode", mode) &&
         add_number(a, "formix:sps", src.sps) && add_number(a, "formix:seed", src.seed) &&
         add_number(a, "formix:pn_length", src.pn_length) && add_number(a, "formix:pn_poly", src.pn_poly);
    if (ok && src.kind == WFM_SRC_DSSS && src.symbol_rate > 0) {
        ok = add_number(a, "formix:symbol_rate", src.symbol_rate);
        if (ok && src.data_none)
            ok = cJSON_AddStringToObject(a, "formix:data", "none") != nullptr;
    }
    if (ok && (d.ppm != 0 || d.ppm_rate != 0)) {
        ok = add_number(a, "formix:veltra_ppm", d.ppm) && add_number(a, "formix:veltra_rate_ppm_s", d.ppm_rate) &&
             (src.carrier_hz == 0 || add_number(a, "formix:carrier_hz", src.carrier_hz)) &&
             cJSON_AddStringToObject(a, "formix:veltra_lifetime",
                                     src.lifetime == WFM_LIFETIME_PERSIST ? "persist" : "per_instance");
    }
    if (!ok)
        return cJSON_Delete(a), nullptr;
    return a;
}

// core:sample_start of an annotation: -1 when missing or not a non-negative integer.
double sample_start_of(const cJSON *a)
{
    const cJSON *s = cJSON_GetObjectItemCaseSensitive(a, "core:sample_start");
    if (cJSON_IsRaw(s))
        return std::strtod(s->valuestring, nullptr);
    if (!cJSON_IsNumber(s) || !(s->valuedouble >= 0) || s->valuedouble != std::floor(s->valuedouble))
        return -1;
    return s->valuedouble;
}

// The namespaces of an object's keys other than core, added to `names` once each.
void collect_namespaces(const cJSON *o, std::vector<std::string> &names)
{
    for (const cJSON *m = o ? o->child : nullptr; m; m = m->next) {
        const char *colon = m->string ? std::strchr(m->string, ':') : nullptr;
        if (!colon)
            continue;
        std::string ns(m->string, static_cast<size_t>(colon - m->string));
        if (ns != "core" && std::find(names.begin(), names.end(), ns) == names.end())
            names.push_back(ns);
    }
}

// An extra global member may add a key, or replace one the builder set unless that key
// describes the data (the core keys other than free text).
bool may_replace(const char *key)
{
    return std::strncmp(key, "core:", 5) != 0 || !std::strcmp(key, "core:description") ||
           !std::strcmp(key, "core:author");
}

char *build_meta(int sample_type, int big_endian, const wfm_segment *segs, uint64_t n_segs, double fs, double fc,
                 double t0, const char *extra_global, const char *const *extra_ann, uint64_t n_extra,
                 const char *dataset)
{
    if (sample_type < 0 || sample_type >= WFM_NUM_SAMPLE_TYPES || !vx_finite(fs) || fs < 0 ||
        fs > SCHEMA_FREQ_MAX || !vx_finite(fc) || std::fabs(fc) > SCHEMA_FREQ_MAX || !valid_t0(t0) ||
        (n_segs && !segs) || (n_extra && !extra_ann))
        return nullptr;
    if (fs == 0 && n_segs) {  // one rate shared by every segment
        fs = segs[0].fs;
        for (uint64_t i = 1; i < n_segs; ++i)
            if (segs[i].fs != fs)
                fs = 0;
        if (!vx_finite(fs) || fs < 0 || fs > SCHEMA_FREQ_MAX)
            fs = 0;
    }
    cJSON *root = cJSON_CreateObject();
    if (!root)
        return nullptr;
    bool ok = true;
    cJSON *g = cJSON_AddObjectToObject(root, "global");
    char datatype[16];
    const int kind = sample_type % 5;
    std::snprintf(datatype, sizeof datatype, "%c%s%s", sample_type < 5 ? 'c' : 'r', wfm::SIGMF_KINDS[kind],
                  kind == 4 ? "" : big_endian ? "_be" : "_le");
    ok = g && cJSON_AddStringToObject(g, "core:datatype", datatype) &&
         (fs == 0 || cJSON_AddNumberToObject(g, "core:sample_rate", fs)) &&
         cJSON_AddStringToObject(g, "core:version", "1.0.0") &&
         cJSON_AddStringToObject(g, "core:description", "veltra formix") &&
         cJSON_AddStringToObject(g, "core:author", "veltra formix") &&
         (!dataset || cJSON_AddStringToObject(g, "core:dataset", dataset));
    if (ok && extra_global) {
        cJSON *extra = cJSON_Parse(extra_global);
        ok = cJSON_IsObject(extra);
        while (ok && extra->child) {
            cJSON *m = cJSON_DetachItemViaPointer(extra, extra->child);
            const std::string key = m->string;  // cJSON frees m->string when it renames m
            if (!cJSON_GetObjectItemCaseSensitive(g, key.c_str()))
                ok = cJSON_AddItemToObject(g, key.c_str(), m);
            else if (may_replace(key.c_str()))
                ok = cJSON_ReplaceItemInObjectCaseSensitive(g, key.c_str(), m);
            else
                cJSON_Delete(m), m = nullptr;
            if (!ok)
                cJSON_Delete(m);
        }
        cJSON_Delete(extra);
    }

    cJSON *caps = ok ? cJSON_AddArrayToObject(root, "captures") : nullptr;
    cJSON *cap = cJSON_CreateObject();
    ok = caps && cap && cJSON_AddItemToArray(caps, cap);
    if (!ok)
        cJSON_Delete(cap);
    ok = ok && cJSON_AddItemToObject(cap, "core:sample_start", exact_count(0));
    if (ok && t0 != 0) {
        char stamp[48];
        ok = format_datetime(t0, stamp, sizeof stamp) && cJSON_AddStringToObject(cap, "core:datetime", stamp);
    }
    ok = ok && (fc == 0 || cJSON_AddNumberToObject(cap, "core:frequency", fc));

    std::vector<cJSON *> anns;
    if (ok && n_segs) {
        const uint64_t n = wfm_compose_draws(segs, n_segs, nullptr, 0);
        ok = n <= MAX_ANNOTATIONS;
        std::vector<wfm_draw> draws(ok ? n : 0);
        if (ok)
            wfm_compose_draws(segs, n_segs, draws.data(), n);
        for (const wfm_draw &d : draws) {
            cJSON *a = ok ? draw_annotation(d, segs[d.segment], fc) : nullptr;
            ok = a != nullptr;
            if (ok)
                anns.push_back(a);
        }
    }
    for (uint64_t i = 0; ok && i < n_extra; ++i) {
        cJSON *a = extra_ann[i] ? cJSON_Parse(extra_ann[i]) : nullptr;
        if (!cJSON_IsObject(a)) {  // texts that are not objects are not annotations
            cJSON_Delete(a);
            continue;
        }
        ok = sample_start_of(a) >= 0;  // the schema requires a start
        if (ok)
            anns.push_back(a);
        else
            cJSON_Delete(a);
    }
    std::stable_sort(anns.begin(), anns.end(),
                     [](const cJSON *x, const cJSON *y) { return sample_start_of(x) < sample_start_of(y); });
    cJSON *arr = ok ? cJSON_AddArrayToObject(root, "annotations") : nullptr;
    ok = ok && arr;
    std::vector<std::string> names;
    collect_namespaces(g, names);
    collect_namespaces(cap, names);
    for (cJSON *a : anns) {
        collect_namespaces(a, names);
        if (!ok || !cJSON_AddItemToArray(arr, a)) {
            cJSON_Delete(a);
            ok = false;
        }
    }
    if (ok && !names.empty()) {
        cJSON *ext = cJSON_GetObjectItemCaseSensitive(g, "core:extensions");
        if (!cJSON_IsArray(ext)) {
            cJSON_DeleteItemFromObjectCaseSensitive(g, "core:extensions");
            ext = cJSON_AddArrayToObject(g, "core:extensions");
        }
        for (const cJSON *e = ext ? ext->child : nullptr; e; e = e->next) {
            const cJSON *name = cJSON_GetObjectItemCaseSensitive(e, "name");
            if (cJSON_IsString(name))
                names.erase(std::remove(names.begin(), names.end(), name->valuestring), names.end());
        }
        for (const std::string &ns : names) {
            cJSON *e = cJSON_CreateObject();
            ok = ok && ext && e && cJSON_AddItemToArray(ext, e) &&
                 cJSON_AddStringToObject(e, "name", ns.c_str()) &&
                 cJSON_AddStringToObject(e, "version", "1.0.0") && cJSON_AddBoolToObject(e, "optional", 1);
            if (!ext || !e)
                cJSON_Delete(e);
        }
    }
    char *text = ok ? cJSON_PrintUnformatted(root) : nullptr;
    cJSON_Delete(root);
    return text;
}

char *capture_meta(const scriba *w)
{
    const bool conforming = w->file_type == WFM_SIGMF;
    const std::string dataset = base_name(w->path);
    return build_meta(w->sample_type, w->big_endian, nullptr, 0, w->fs, w->fc, w->t0, nullptr, nullptr, 0,
                      conforming ? nullptr : dataset.c_str());
}

int write_meta(const scriba *w)
{
    char *text = capture_meta(w);
    const int rc = text ? write_atomic(w->meta_path, text) : -1;
    std::free(text);
    return rc;
}

// ---- conversion ---------------------------------------------------------------------------

// Saturate and round halves away from zero; out-of-range and NaN values count as clipped
// (NaN becomes 0). Branch-free, so the block loops vectorise: the saturated value is
// within the integer range, its truncation is exact, and q - trunc(q) is exact.
template <class T, class F> T quantise(F q, uint32_t &clips)
{
    using W = std::conditional_t<sizeof(T) == 4, int64_t, int32_t>;
    constexpr F lo = static_cast<F>(INT64_C(-1) << (8 * sizeof(T) - 1));
    constexpr F hi = -lo - 1;
    clips += static_cast<uint32_t>(!(q >= lo) | !(q <= hi));
    F s = q > hi ? hi : q;
    s = s < lo ? lo : s;
    s = q == q ? s : F{0};
    W t = static_cast<W>(s);
    const F frac = s - static_cast<F>(t);
    t += static_cast<W>(frac >= F{0.5}) - static_cast<W>(frac <= F{-0.5});
    return static_cast<T>(t);
}

template <class T> T wire_value(float v, uint32_t &clips)
{
    if constexpr (std::is_same_v<T, float>) return v;
    else if constexpr (std::is_same_v<T, double>) return v;
    else if constexpr (std::is_same_v<T, int32_t>) return quantise<T, double>(v * 2147483648.0, clips);
    else return quantise<T, float>(v * static_cast<float>(1 << (8 * sizeof(T) - 1)), clips);
}

// Largest |component| * gain of n samples (both components, whatever the wire type); max
// is exact in any order, so eight running maxima serve. NaN never becomes the peak.
float block_peak(const vx_cf32 *x, uint64_t n, float gain, float peak)
{
    typedef float v4 __attribute__((vector_size(16)));  // one SSE register on any x86-64
    const float *f = &x[0].re;
    v4 m = {peak, peak, peak, peak};
    uint64_t i = 0;
    for (; i + 4 <= 2 * n; i += 4) {
        v4 a;
        std::memcpy(&a, f + i, sizeof a);
        a *= gain;
        a = a < 0 ? -a : a;  // |a| (NaN stays NaN and loses every comparison)
        m = a > m ? a : m;
    }
    float r = peak;
    for (int k = 0; k < 4; ++k)
        r = m[k] > r ? m[k] : r;
    for (; i < 2 * n; ++i) {
        const float a = std::fabs(f[i] * gain);
        r = a > r ? a : r;
    }
    return r;
}

// One SSE register of components at a time with GCC vector types: the same operations as quantise(), lane
// by lane (every step is exact or correctly rounded), so results match the scalar tail.
template <class T, class F> uint32_t quantise_lanes(const float *in, float gain, T *out)
{
    constexpr int L = 16 / sizeof(F);
    using I = std::conditional_t<sizeof(F) == 8, int64_t, int32_t>;
    typedef F FV __attribute__((vector_size(L * sizeof(F))));
    typedef I IV __attribute__((vector_size(L * sizeof(F))));
    constexpr F scale = sizeof(T) == 4 ? F(2147483648.0) : F(1 << (8 * sizeof(T) - 1));
    constexpr F lo = -scale, hi = scale - 1;
    FV q;
    for (int k = 0; k < L; ++k)  // widen (for int32) after the single-precision gain
        q[k] = static_cast<F>(in[k] * gain) * scale;
    const IV inside = (q >= lo) & (q <= hi);  // lanes -1 (true) or 0
    FV s = q > hi ? hi : q;
    s = s < lo ? lo : s;
    s = q == q ? s : FV{} ;
    IV t = __builtin_convertvector(s, IV);
    const FV frac = s - __builtin_convertvector(t, FV);
    t = t - (frac >= F(0.5)) + (frac <= F(-0.5));  // comparisons are -1 where true
    I in_range = 0;  // minus the lanes in range
    for (int k = 0; k < L; ++k) {
        out[k] = static_cast<T>(t[k]);
        in_range += inside[k];
    }
    return static_cast<uint32_t>(L + in_range);
}

// Eight components to int16 or int8 with SSE2 (any x86-64): the steps of quantise(), lane by
// lane, and the narrowing packs of values already within range.
constexpr uint8_t OUTSIDE4[16] = {4, 3, 3, 2, 3, 2, 2, 1, 3, 2, 2, 1, 2, 1, 1, 0};  // clear bits of 4

template <class T> uint32_t quantise8_sse2(const float *in, float gain, T *out)
{
    constexpr float scale = sizeof(T) == 2 ? 32768.0f : 128.0f;
    const __m128 lo = _mm_set1_ps(-scale), hi = _mm_set1_ps(scale - 1), g = _mm_set1_ps(gain);
    const __m128 sc = _mm_set1_ps(scale), half = _mm_set1_ps(0.5f), mhalf = _mm_set1_ps(-0.5f);
    __m128i t[2];
    uint32_t clips = 0;
    for (int h = 0; h < 2; ++h) {
        const __m128 q = _mm_mul_ps(_mm_mul_ps(_mm_loadu_ps(in + 4 * h), g), sc);
        const __m128 inside = _mm_and_ps(_mm_cmpge_ps(q, lo), _mm_cmple_ps(q, hi));
        clips += OUTSIDE4[_mm_movemask_ps(inside)];  // baseline x86-64 has no popcnt
        // max(q, lo) gives lo for NaN; the ordered mask then makes it 0.
        __m128 v = _mm_min_ps(_mm_max_ps(q, lo), hi);
        v = _mm_and_ps(v, _mm_cmpord_ps(q, q));
        __m128i k = _mm_cvttps_epi32(v);
        const __m128 frac = _mm_sub_ps(v, _mm_cvtepi32_ps(k));
        k = _mm_sub_epi32(k, _mm_castps_si128(_mm_cmpge_ps(frac, half)));   // -1 where true
        k = _mm_add_epi32(k, _mm_castps_si128(_mm_cmple_ps(frac, mhalf)));
        t[h] = k;
    }
    const __m128i w = _mm_packs_epi32(t[0], t[1]);
    if constexpr (sizeof(T) == 2)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), w);
    else
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packs_epi16(w, w));
    return clips;
}

// One chunk of n samples (C = 2 or 1 components each) into out in the file's byte order;
// returns the clipped components.
template <class T, int C> uint64_t convert(const vx_cf32 *x, uint64_t n, float gain, bool be, unsigned char *out)
{
    uint32_t clips = 0;  // at most 2 * CHUNK
    T *o = reinterpret_cast<T *>(out);  // conv_buf is malloc-aligned
    const float *f = &x[0].re;
    constexpr uint64_t step = C == 2 ? 1 : 2;  // scalar types take the real parts only
    const uint64_t m = n * C;
    uint64_t i = 0;
    if constexpr ((std::is_same_v<T, int16_t> || std::is_same_v<T, int8_t>) && C == 2) {
        for (; i + 8 <= m; i += 8)
            clips += quantise8_sse2<T>(f + i, gain, o + i);
    } else if constexpr (std::is_integral_v<T> && C == 2) {
        using F = std::conditional_t<sizeof(T) == 4, double, float>;
        constexpr uint64_t L = 16 / sizeof(F);
        for (; i + L <= m; i += L)
            clips += quantise_lanes<T, F>(f + i, gain, o + i);
    }
    for (; i < m; ++i)
        o[i] = wire_value<T>(f[i * step] * gain, clips);
    if (sizeof(T) > 1 && wfm::needs_swap(be))
        for (uint64_t i = 0; i < m; ++i)
            wfm::swap_bytes(out + i * sizeof(T), sizeof(T));
    return clips;
}

template <class T> uint64_t convert(const vx_cf32 *x, uint64_t n, int c, float gain, bool be, unsigned char *out)
{
    return c == 2 ? convert<T, 2>(x, n, gain, be, out) : convert<T, 1>(x, n, gain, be, out);
}

uint64_t convert_binary(scriba *w, const vx_cf32 *x, uint64_t n)
{
    const int c = wfm_components(w->sample_type);
    const bool be = w->big_endian;
    w->peak = block_peak(x, n, w->gain, w->peak);
    switch (w->sample_type % 5) {
    case 0: return convert<float>(x, n, c, w->gain, be, w->conv_buf);
    case 1: return convert<double>(x, n, c, w->gain, be, w->conv_buf);
    case 2: return convert<int32_t>(x, n, c, w->gain, be, w->conv_buf);
    case 3: return convert<int16_t>(x, n, c, w->gain, be, w->conv_buf);
    default: return convert<int8_t>(x, n, c, w->gain, be, w->conv_buf);
    }
}

template <class T> long long as_integer(float v, uint32_t &clips) { return wire_value<T>(v, clips); }

// One chunk of CSV lines into conv_buf; returns the bytes and adds the clipped components.
uint64_t format_csv(scriba *w, const vx_cf32 *x, uint64_t n, uint32_t &clips)
{
    char *out = reinterpret_cast<char *>(w->conv_buf);
    w->peak = block_peak(x, n, w->gain, w->peak);
    uint64_t len = 0;
    const bool complex = w->sample_type < 5;
    for (uint64_t i = 0; i < n; ++i) {
        const float v = x[i].re * w->gain, im = x[i].im * w->gain;
        char *p = out + len;
        int k;
        switch (w->sample_type % 5) {
        case 0:
            k = complex ? std::snprintf(p, CSV_LINE_MAX, "%0.9f,%0.9f\n", v, im) : std::snprintf(p, CSV_LINE_MAX, "%0.9f\n", v);
            break;
        case 1:
            k = complex ? std::snprintf(p, CSV_LINE_MAX, "%0.17g,%0.17g\n", double{v}, double{im})
                        : std::snprintf(p, CSV_LINE_MAX, "%0.17g\n", double{v});
            break;
        default: {
            auto q = [&](float s) {
                switch (w->sample_type % 5) {
                case 2: return as_integer<int32_t>(s, clips);
                case 3: return as_integer<int16_t>(s, clips);
                default: return as_integer<int8_t>(s, clips);
                }
            };
            const long long a = q(v);
            k = complex ? std::snprintf(p, CSV_LINE_MAX, "%lld,%lld\n", a, q(im)) : std::snprintf(p, CSV_LINE_MAX, "%lld\n", a);
        }
        }
        len += static_cast<uint64_t>(k > 0 ? k : 0);
    }
    return len;
}

// Write len bytes of whole samples (CSV: lines); returns the samples that landed. A short
// write leaves the file on the last whole sample of what landed.
uint64_t put_chunk(scriba *w, uint64_t len, uint64_t n)
{
    const size_t got = std::fwrite(w->conv_buf, 1, len, w->file);
    if (got == len) {
        w->pos += static_cast<off_t>(len);
        return n;
    }
    w->failed = true;
    uint64_t whole, keep;
    if (w->file_type == WFM_CSV) {
        whole = static_cast<uint64_t>(std::count(w->conv_buf, w->conv_buf + got, '\n'));
        const auto *nl = static_cast<const unsigned char *>(memrchr(w->conv_buf, '\n', got));
        keep = nl ? static_cast<uint64_t>(nl - w->conv_buf) + 1 : 0;
    } else {
        const uint64_t stride = wfm_sample_bytes(w->sample_type);
        whole = got / stride;
        keep = whole * stride;
    }
    if (w->owns_file) {  // unbuffered: what landed is on disk; cut the partial sample
        const off_t end = w->base + w->pos + static_cast<off_t>(keep);
        if (ftruncate(fileno(w->file), end) == 0)
            fseeko(w->file, end, SEEK_SET);
    }
    w->pos += static_cast<off_t>(keep);
    return whole;
}

bool in_list(const char *tag)
{
    for (const char *t : MAIN_HEADER_TAGS)
        if (!std::strcmp(tag, t))
            return true;
    return false;
}

bool append_ext(scriba *w, const char *tag, char code, const void *values, uint64_t count)
{
    const uint64_t size = wfm_kw_elem_size(code);
    if (count > (uint64_t{1} << 31) / size)
        return false;
    const uint64_t need = wfm_kw_entry_size(std::strlen(tag), count * size);
    if (w->ext_kw_len + need > w->ext_kw_cap) {
        uint64_t cap = w->ext_kw_cap ? w->ext_kw_cap : 256;
        while (cap < w->ext_kw_len + need)
            cap *= 2;
        if (cap > (uint64_t{1} << 31))
            return false;  // ext_size is a 32-bit field
        auto *p = static_cast<unsigned char *>(std::realloc(w->ext_kw, cap));
        if (!p)
            return false;
        w->ext_kw = p;
        w->ext_kw_cap = cap;
    }
    const uint64_t k = wfm_kw_encode(w->ext_kw + w->ext_kw_len, w->ext_kw_cap - w->ext_kw_len, tag, code, values,
                                     count, w->big_endian);
    w->ext_kw_len += k;
    return k != 0;
}

bool seek_put(FILE *f, off_t at, const void *p, size_t n)
{
    return fseeko(f, at, SEEK_SET) == 0 && std::fwrite(p, 1, n, f) == n;
}

// BLUE trailer. The header is sealed first (final data_size and keyword text, then `pipe`
// back to 0), and only then does anything follow the data: the extended keywords on a
// 512-byte boundary, and their place in the header. A follower that finds bytes past the
// data therefore always finds the seal too.
bool finish_blue(scriba *w)
{
    const bool be = w->big_endian;
    const uint64_t data_bytes = w->samples_written * wfm_sample_bytes(w->sample_type);
    unsigned char b[8];
    wfm::put<double>(b, static_cast<double>(data_bytes), be);
    bool ok = seek_put(w->file, w->base + 40, b, 8);
    if (ok && w->hdr_kw_len) {
        unsigned char text[4 + WFM_HCB_KW_BYTES] = {};
        wfm::put<int32_t>(text, static_cast<int32_t>(w->hdr_kw_len), be);
        std::memcpy(text + 4, w->hdr_kw_text, w->hdr_kw_len);
        ok = seek_put(w->file, w->base + 160, text, sizeof text);
    }
    wfm::put<int32_t>(b, 0, be);
    ok = ok && seek_put(w->file, w->base + 20, b, 4);
    if (ok && w->ext_kw_len) {
        const uint64_t end = WFM_HCB_BYTES + data_bytes;
        const uint64_t start = (end + 511) / 512 * 512;
        static const unsigned char zeros[512] = {};
        ok = start / 512 <= INT32_MAX &&
             seek_put(w->file, w->base + static_cast<off_t>(end), zeros, start - end) &&
             std::fwrite(w->ext_kw, 1, w->ext_kw_len, w->file) == w->ext_kw_len;
        wfm::put<int32_t>(b, static_cast<int32_t>(start / 512), be);
        wfm::put<int32_t>(b + 4, static_cast<int32_t>(w->ext_kw_len), be);
        ok = ok && seek_put(w->file, w->base + 24, b, 8);
    }
    return ok;
}

void free_writer(scriba *w)
{
    std::free(w->conv_buf);
    std::free(w->ext_kw);
    delete w;
}

scriba *open_writer(FILE *f, bool owns, int file_type, int sample_type, int big_endian, uint64_t total, double fs,
                    double fc, double t0)
{
    if (!f || file_type < 0 || file_type >= WFM_NUM_FILE_TYPES || sample_type < 0 ||
        sample_type >= WFM_NUM_SAMPLE_TYPES || !vx_finite(fs) || fs < 0 || !vx_finite(fc) || !valid_t0(t0))
        return nullptr;
    const off_t base = ftello(f);
    if (file_type == WFM_BLUE && base < 0)
        return nullptr;  // the header is patched at close: the stream must be seekable
    auto *w = new (std::nothrow) scriba{};
    if (!w)
        return nullptr;
    w->conv_buf = static_cast<unsigned char *>(std::malloc(CONV_BYTES));
    if (!w->conv_buf)
        return free_writer(w), nullptr;
    w->file = f;
    w->owns_file = owns;
    w->file_type = file_type;
    w->sample_type = sample_type;
    w->big_endian = big_endian != 0;
    w->total = total;
    w->base = base < 0 ? 0 : base;
    w->gain = 1.0f;
    w->fs = fs;
    w->fc = fc;
    w->t0 = t0;
    if (file_type == WFM_BLUE) {
        unsigned char pipe[4];
        wfm::put<int32_t>(pipe, 1, w->big_endian);  // open: not yet sealed (see finish_blue)
        if (wfm_blue_write_hcb(f, sample_type, big_endian, total, 0, fs, fc, WFM_HCB_BYTES, t0) != 0 ||
            !seek_put(f, w->base + 20, pipe, 4) || fseeko(f, w->base + WFM_HCB_BYTES, SEEK_SET) != 0)
            return free_writer(w), nullptr;
        w->pos = WFM_HCB_BYTES;
        if (fc != 0) {
            const int n = std::snprintf(w->hdr_kw_text, sizeof w->hdr_kw_text, "FREQ=%.17g", fc);
            w->hdr_kw_len = static_cast<uint32_t>(n + 1);
            if (!append_ext(w, "FREQ", 'D', &fc, 1))
                return free_writer(w), nullptr;
        }
    }
    return w;
}

}  // namespace

extern "C" {

scriba *scriba_create(const char *path, int file_type, int sample_type, int big_endian, uint64_t total, int sidecar,
                      double fs, double fc, double headroom_db, double t0)
{
    if (!path || !vx_finite(headroom_db) || file_type < 0 || file_type >= WFM_NUM_FILE_TYPES ||
        sample_type < 0 || sample_type >= WFM_NUM_SAMPLE_TYPES || !vx_finite(fs) || fs < 0 || !vx_finite(fc) ||
        !valid_t0(t0))
        return nullptr;
    const std::string p(path);
    if (file_type == WFM_SIGMF && !(p.size() > 11 && wfm::ends_with(p, ".sigmf-data")))
        return nullptr;
    const bool meta = file_type == WFM_SIGMF || ((file_type == WFM_RAW || file_type == WFM_CSV) && sidecar);
    if (meta) {  // refuse values the metadata cannot hold before an existing file is truncated
        char *text = build_meta(sample_type, big_endian, nullptr, 0, fs, fc, t0, nullptr, nullptr, 0, nullptr);
        std::free(text);
        if (!text)
            return nullptr;
    }
    FILE *f = std::fopen(path, "wb");
    if (!f)
        return nullptr;
    // Unbuffered: each chunk is one write, so after a failure the file holds exactly what
    // landed and the partial sample can be cut.
    std::setvbuf(f, nullptr, _IONBF, 0);
    scriba *w = open_writer(f, true, file_type, sample_type, big_endian, total, fs, fc, t0);
    if (!w) {
        std::fclose(f);
        return nullptr;
    }
    w->path = p;
    if (meta)
        w->meta_path = wfm::meta_name(p);
    if (!w->meta_path.empty() && write_meta(w) != 0) {
        std::fclose(f);
        free_writer(w);
        return nullptr;
    }
    if (headroom_db != 0)
        w->gain = static_cast<float>(std::pow(10.0, -headroom_db / 20.0));
    return w;
}

scriba *scriba_open(FILE *f, int file_type, int sample_type, int big_endian, uint64_t total, double fs, double fc,
                    double t0)
{
    return open_writer(f, false, file_type, sample_type, big_endian, total, fs, fc, t0);
}

uint64_t scriba_write(scriba *w, const vx_cf32 *x, uint64_t n)
{
    if (!w || !x)
        return 0;
    const bool csv = w->file_type == WFM_CSV;
    const uint64_t chunk = csv ? CSV_CHUNK : CHUNK;
    const uint64_t stride = wfm_sample_bytes(w->sample_type);
    uint64_t done = 0;
    while (done < n) {
        const uint64_t m = std::min(chunk, n - done);
        uint32_t clips = 0;
        uint64_t len;
        if (csv) {
            len = format_csv(w, x + done, m, clips);
        } else {
            clips = convert_binary(w, x + done, m);
            len = m * stride;
        }
        if (clips) {
            w->clipped = true;
            if (w->track_clipping)
                w->clip_count += clips;
        }
        const uint64_t landed = put_chunk(w, len, m);
        done += landed;
        w->samples_written += landed;
        if (landed < m)
            break;
    }
    return done;
}

int scriba_flush(scriba *w)
{
    if (!w)
        return -1;
    const bool flushed = std::fflush(w->file) == 0;
    return flushed && !w->failed && !std::ferror(w->file) ? 0 : -1;
}

int scriba_add_keyword(scriba *w, const char *tag, char code, const void *values, uint64_t count)
{
    if (!w || w->file_type != WFM_BLUE || !tag || !values || count == 0 || wfm_kw_elem_size(code) == 0)
        return -1;
    const size_t ltag = std::strlen(tag);
    if (ltag < 1 || ltag > 255 || (code == 'A' && std::memchr(values, 0, count)))
        return -1;
    if (code == 'A' && in_list(tag) && w->hdr_kw_len + ltag + count + 2 <= WFM_HCB_KW_BYTES) {
        char *p = w->hdr_kw_text + w->hdr_kw_len;
        std::memcpy(p, tag, ltag);
        p[ltag] = '=';
        std::memcpy(p + ltag + 1, values, count);
        p[ltag + 1 + count] = 0;
        w->hdr_kw_len += static_cast<uint32_t>(ltag + count + 2);
        return 0;
    }
    return append_ext(w, tag, code, values, count) ? 0 : -1;
}

void scriba_set_gain(scriba *w, float gain)
{
    if (w)
        w->gain = gain;
}

void scriba_track_clipping(scriba *w, int on)
{
    if (w)
        w->track_clipping = on != 0;
}

float scriba_peak(const scriba *w) { return w ? w->peak : 0.0f; }
double scriba_get_peak_dbfs(const scriba *w)
{
    const float p = scriba_peak(w);
    return p > 0 ? 20.0 * std::log10(static_cast<double>(p)) : -HUGE_VAL;
}

double scriba_clip_fraction(const scriba *w)
{
    if (!w || w->samples_written == 0)
        return 0.0;
    return static_cast<double>(w->clip_count) /
           (static_cast<double>(wfm_components(w->sample_type)) * static_cast<double>(w->samples_written));
}
double scriba_get_clip_fraction(const scriba *w) { return scriba_clip_fraction(w); }
int scriba_get_clipped(const scriba *w) { return w && w->clipped ? 1 : 0; }

const char *scriba_get_path(const scriba *w) { return w ? w->path.c_str() : ""; }
int scriba_get_file_type(const scriba *w) { return w ? w->file_type : -1; }
int scriba_get_sample_type(const scriba *w) { return w ? w->sample_type : -1; }
int scriba_get_big_endian(const scriba *w) { return w && w->big_endian ? 1 : 0; }
double scriba_get_fs(const scriba *w) { return w ? w->fs : 0.0; }
double scriba_get_fc(const scriba *w) { return w ? w->fc : 0.0; }
double scriba_get_t0(const scriba *w) { return w ? w->t0 : 0.0; }
float scriba_get_gain(const scriba *w) { return w ? w->gain : 0.0f; }
uint64_t scriba_get_samples_written(const scriba *w) { return w ? w->samples_written : 0; }

int scriba_close(scriba *w)
{
    if (!w)
        return 0;
    bool ok = !w->failed && !std::ferror(w->file);
    if (w->file_type == WFM_BLUE)  // even after a failed write: describe what landed
        ok = finish_blue(w) && ok;
    ok = (w->owns_file ? std::fclose(w->file) == 0 : std::fflush(w->file) == 0) && ok;
    if (ok && !w->meta_path.empty())
        ok = write_meta(w) == 0;
    free_writer(w);
    return ok ? 0 : -1;
}

int scriba_destroy(scriba *w) { return scriba_close(w); }

char *wfm_sigmf_meta_json(int sample_type, int big_endian, const wfm_segment *segs, uint64_t n_segs, double fs,
                          double fc, double t0)
{
    return build_meta(sample_type, big_endian, segs, n_segs, fs, fc, t0, nullptr, nullptr, 0, nullptr);
}

char *wfm_sigmf_meta_json_ex(int sample_type, int big_endian, const wfm_segment *segs, uint64_t n_segs, double fs,
                             double fc, double t0, const char *extra_global, const char *const *extra_annotations,
                             uint64_t n_extra)
{
    return build_meta(sample_type, big_endian, segs, n_segs, fs, fc, t0, extra_global, extra_annotations, n_extra,
                      nullptr);
}

int write_sigmf_sidecar(const char *data_path, int sample_type, int big_endian, double fs, double fc, double t0)
{
    if (!data_path)
        return -1;
    const std::string p(data_path);
    const bool conforming = wfm::ends_with(p, ".sigmf-data");
    const std::string dataset = base_name(p);
    char *text = build_meta(sample_type, big_endian, nullptr, 0, fs, fc, t0, nullptr, nullptr, 0,
                            conforming ? nullptr : dataset.c_str());
    const int rc = text ? write_atomic(wfm::meta_name(p), text) : -1;
    std::free(text);
    return rc;
}

}  // extern "C"
