#include "wfm_blue.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wfm_endian.hpp"

namespace {

constexpr uint32_t ELEM_BYTES[5] = {4, 8, 4, 2, 1};  // by type mod 5
constexpr const char *FORMATS[WFM_NUM_SAMPLE_TYPES] = {"CF", "CD", "CL", "CI", "CB",
                                                       "SF", "SD", "SL", "SI", "SB"};
constexpr uint64_t KW_CAP_LIMIT = 0x7fffffffu;  // lkey is a signed 32-bit field

bool valid_type(int t) { return t >= 0 && t < WFM_NUM_SAMPLE_TYPES; }

}  // namespace

extern "C" {

uint32_t wfm_elem_bytes(int t) { return valid_type(t) ? ELEM_BYTES[t % 5] : 0; }
uint32_t wfm_components(int t) { return valid_type(t) ? (t < 5 ? 2 : 1) : 0; }
uint32_t wfm_sample_bytes(int t) { return wfm_elem_bytes(t) * wfm_components(t); }
const char *wfm_blue_format(int t) { return valid_type(t) ? FORMATS[t] : nullptr; }

int wfm_blue_write_hcb(FILE *f, int sample_type, int big_endian, uint64_t total, int detached, double fs,
                       double fc, double data_start, double t0)
{
    if (!f || !valid_type(sample_type) || !vx_finite(fs) || fs < 0 || !vx_finite(fc) ||
        !vx_finite(t0) || !vx_finite(data_start))
        return -1;
    const bool be = big_endian != 0;
    unsigned char h[WFM_HCB_BYTES] = {};
    const char *rep = be ? "IEEE" : "EEEI";
    std::memcpy(h + 0, "BLUE", 4);
    std::memcpy(h + 4, rep, 4);
    std::memcpy(h + 8, rep, 4);
    wfm::put<int32_t>(h + 12, detached ? 1 : 0, be);
    wfm::put<double>(h + 32, data_start, be);
    wfm::put<double>(h + 40, static_cast<double>(total) * wfm_sample_bytes(sample_type), be);
    wfm::put<int32_t>(h + 48, 1000, be);
    std::memcpy(h + 52, FORMATS[sample_type], 2);
    wfm::put<double>(h + 56, t0 != 0 ? t0 + WFM_J1950_OFFSET : 0.0, be);
    if (fc != 0) {
        // At most 4 + 24 characters: always fits the 92-byte field.
        const int n = std::snprintf(reinterpret_cast<char *>(h + 164), WFM_HCB_KW_BYTES, "FREQ=%.17g", fc);
        wfm::put<int32_t>(h + 160, n + 1, be);
    }
    wfm::put<double>(h + 264, fs != 0 ? 1.0 / fs : 0.0, be);
    wfm::put<int32_t>(h + 272, 1, be);
    return std::fwrite(h, 1, sizeof h, f) == sizeof h ? 0 : -1;
}

uint32_t wfm_kw_elem_size(char code)
{
    switch (code) {
    case 'A': case 'B': return 1;
    case 'I': return 2;
    case 'L': case 'T': case 'F': return 4;
    case 'X': case 'D': return 8;
    default: return 0;
    }
}

uint64_t wfm_kw_entry_size(uint64_t ltag, uint64_t data_bytes)
{
    const uint64_t body = ltag + data_bytes;
    return body + ((0 - body) & 7u) + 8;
}

uint64_t wfm_kw_encode(void *dst, uint64_t cap, const char *tag, char code, const void *values, uint64_t count,
                       int big_endian)
{
    const uint32_t size = wfm_kw_elem_size(code);
    if (!dst || !tag || !values || size == 0 || count == 0)
        return 0;
    const size_t ltag = std::strlen(tag);
    if (ltag < 1 || ltag > 255 || count > KW_CAP_LIMIT / size)
        return 0;
    const uint64_t data = count * size;
    const uint64_t lkey = wfm_kw_entry_size(ltag, data);
    if (lkey > (cap < KW_CAP_LIMIT ? cap : KW_CAP_LIMIT))
        return 0;
    auto *p = static_cast<unsigned char *>(dst);
    const bool be = big_endian != 0;
    std::memset(p, 0, lkey);
    wfm::put<int32_t>(p, static_cast<int32_t>(lkey), be);
    wfm::put<int16_t>(p + 4, static_cast<int16_t>(lkey - data), be);
    p[6] = static_cast<unsigned char>(ltag);
    p[7] = static_cast<unsigned char>(code);
    std::memcpy(p + 8, values, data);
    if (wfm::needs_swap(be))
        for (uint64_t i = 0; i < count; ++i)
            wfm::swap_bytes(p + 8 + i * size, size);
    std::memcpy(p + 8 + data, tag, ltag);
    return lkey;
}

int wfm_kw_decode(const void *bytes, uint64_t avail, int big_endian, wfm_kw *kw, uint64_t *len_out)
{
    if (!bytes || !kw || avail < 8)
        return -1;
    const auto *p = static_cast<const unsigned char *>(bytes);
    const bool be = big_endian != 0;
    const int64_t lkey = wfm::get<int32_t>(p, be);
    const int64_t lext = wfm::get<int16_t>(p + 4, be);
    const uint32_t ltag = p[6];
    const char code = static_cast<char>(p[7]);
    if (lkey < 8 || static_cast<uint64_t>(lkey) > avail || lext < 8 + static_cast<int64_t>(ltag) || lext > lkey)
        return -1;
    if (len_out)
        *len_out = static_cast<uint64_t>(lkey);
    const uint64_t data = static_cast<uint64_t>(lkey - lext);
    const uint32_t size = wfm_kw_elem_size(code);
    if (size == 0 || ltag == 0 || data == 0 || data % size != 0)
        return 1;
    void *values = std::malloc(data + 1);
    if (!values)
        return -1;
    std::memcpy(values, p + 8, data);
    static_cast<unsigned char *>(values)[data] = 0;
    if (wfm::needs_swap(be))
        for (uint64_t i = 0; i < data / size; ++i)
            wfm::swap_bytes(static_cast<unsigned char *>(values) + i * size, size);
    std::memcpy(kw->tag, p + 8 + data, ltag);
    kw->tag[ltag] = 0;
    kw->code = code;
    kw->elem_size = size;
    kw->count = data / size;
    kw->values = values;
    return 0;
}

void wfm_kw_free(wfm_kw *kw)
{
    if (kw) {
        std::free(kw->values);
        kw->values = nullptr;
    }
}

int wfm_kw_check_standard(const char *tag, char code, const void *value, uint64_t len)
{
    if (!tag)
        return 0;
    const auto *v = static_cast<const char *>(value);
    auto digits = [&](uint64_t from, uint64_t to, char also) {
        for (uint64_t i = from; i < to; ++i)
            if (!(v[i] >= '0' && v[i] <= '9') && !(also && v[i] == also))
                return false;
        return true;
    };
    if (!std::strcmp(tag, "ACQDATE")) {
        if (code != 'A' || !v)
            return -1;
        const bool shape = len == 8 || (len == 6 && v[2] == '.');
        return shape && digits(0, len, '.') ? 1 : -1;
    }
    if (!std::strcmp(tag, "ACQTIME")) {
        if (code != 'A' || !v || len != 8 || v[2] != ':' || v[5] != ':')
            return -1;
        return digits(0, 2, 0) && digits(3, 5, 0) && digits(6, 8, 0) ? 1 : -1;
    }
    if (!std::strcmp(tag, "COMMENT") || !std::strcmp(tag, "TIMELINE"))
        return code == 'A' ? 1 : -1;
    if (!std::strcmp(tag, "SUBREC_DEF") || !std::strcmp(tag, "SUBREC_DESCRIP") || !std::strcmp(tag, "T4INDEX"))
        return -1;
    return 0;
}

}  // extern "C"
