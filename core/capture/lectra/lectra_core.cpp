#include "lectra.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wfm_endian.hpp"
#include "wfm_path.hpp"

struct lectra {
    std::string path;
    FILE *file = nullptr;  // data stream
    int hdr_fd = -1;       // BLUE: where the header is re-read while following
    int file_type = WFM_RAW, sample_type = WFM_CF32;
    bool big_endian = false;
    double fs = 0, fc = 0, t0 = 0;
    int fs_source = 0, fc_source = 0, t0_source = 0;
    uint64_t data_offset = 0;
    bool sealed = false;         // BLUE: the payload length below is final
    uint64_t payload_bytes = 0;  // BLUE: data_size once sealed
    uint64_t position = 0;
    uint64_t csv_offset = 0;     // CSV: byte offset of the line at `position`
    bool csv_counted = false;
    uint64_t csv_count = 0;
    uint32_t timeout_ms = 0, grace_ms = 0;
    int ending = LECTRA_END_NONE;
    lectra_stop_fn stop = nullptr;
    std::vector<wfm_kw> keywords, header;
    std::vector<unsigned char> buf;
    ~lectra()
    {
        for (wfm_kw &k : keywords)
            wfm_kw_free(&k);
        for (wfm_kw &k : header)
            wfm_kw_free(&k);
        if (file)
            std::fclose(file);
        if (hdr_fd >= 0)
            ::close(hdr_fd);
    }
};

namespace {

constexpr uint64_t CHUNK = 1 << 16;           // samples converted per pass
constexpr uint64_t EXT_LIMIT = 64u << 20;     // extended header bytes read at most
constexpr uint64_t KEYWORD_LIMIT = 1u << 20;  // keywords kept at most
constexpr uint32_t POLL_MS = 100, STOP_POLL_MS = 10;
constexpr const char *FC_TAGS[4] = {"FREQ", "RF_FREQ", "CENTER_FREQ", "F_C"};
constexpr size_t CSV_SNIFF_LINE = 255;
constexpr size_t CSV_LINE_LIMIT = 4096;  // longest CSV line read as a sample

uint64_t file_size(FILE *f)
{
    struct stat st;
    return f && fstat(fileno(f), &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint64_t stride(const lectra *r) { return wfm_sample_bytes(r->sample_type); }

// A keyword or header field from raw bytes (count elements of `size`, file order).
wfm_kw make_kw(const char *tag, char code, const unsigned char *p, uint64_t count, bool be)
{
    wfm_kw k{};
    std::snprintf(k.tag, sizeof k.tag, "%s", tag);
    k.code = code;
    k.elem_size = wfm_kw_elem_size(code);
    k.count = count;
    const uint64_t n = count * k.elem_size;
    auto *v = static_cast<unsigned char *>(std::calloc(n + 1, 1));
    if (v) {
        std::memcpy(v, p, n);
        if (wfm::needs_swap(be))
            for (uint64_t i = 0; i < count; ++i)
                wfm::swap_bytes(v + i * k.elem_size, k.elem_size);
    }
    k.values = v;
    return k;
}

// ---- BLUE ----------------------------------------------------------------------------------

struct HcbField {
    const char *name;
    uint32_t offset;
    char code;
    uint32_t count;
};
constexpr HcbField HCB_FIELDS[] = {
    {"version", 0, 'A', 4},    {"head_rep", 4, 'A', 4},  {"data_rep", 8, 'A', 4},   {"detached", 12, 'L', 1},
    {"protected", 16, 'L', 1}, {"pipe", 20, 'L', 1},     {"ext_start", 24, 'L', 1}, {"ext_size", 28, 'L', 1},
    {"data_start", 32, 'D', 1}, {"data_size", 40, 'D', 1}, {"type", 48, 'L', 1},    {"format", 52, 'A', 2},
    {"flagmask", 54, 'I', 1},  {"timecode", 56, 'D', 1}, {"inlet", 64, 'I', 1},     {"outlets", 66, 'I', 1},
    {"outmask", 68, 'L', 1},   {"pipeloc", 72, 'L', 1},  {"pipesize", 76, 'L', 1},  {"in_byte", 80, 'D', 1},
    {"out_byte", 88, 'D', 1},  {"outbytes", 96, 'D', 8}, {"keylength", 160, 'L', 1}, {"xstart", 256, 'D', 1},
    {"xdelta", 264, 'D', 1},   {"xunits", 272, 'L', 1},
};

struct Hcb {
    bool be;
    int sample_type;
    int32_t detached, pipe;
    uint64_t ext_start, ext_size;  // bytes
    double data_start, data_size, timecode, xdelta;
    uint32_t keylength;
};

// Check and decode the fields the reader uses; false for a block that is not a readable
// type 1000/2000 BLUE header.
bool parse_hcb(const unsigned char *h, Hcb &c)
{
    if (std::memcmp(h, "BLUE", 4) != 0)
        return false;
    c.be = std::memcmp(h + 4, "IEEE", 4) == 0;
    const char *kinds = "FDLIB";  // element kinds in sample-type order
    const char *k = h[53] ? std::strchr(kinds, h[53]) : nullptr;
    if ((h[52] != 'C' && h[52] != 'S') || !k)
        return false;
    c.sample_type = static_cast<int>(k - kinds) + (h[52] == 'S' ? 5 : 0);
    const int32_t type = wfm::get<int32_t>(h + 48, c.be);
    if (type / 1000 != 1 && type / 1000 != 2)
        return false;
    c.detached = wfm::get<int32_t>(h + 12, c.be);
    c.pipe = wfm::get<int32_t>(h + 20, c.be);
    const int32_t es = wfm::get<int32_t>(h + 24, c.be), ez = wfm::get<int32_t>(h + 28, c.be);
    c.ext_start = es < 1 ? 0 : static_cast<uint64_t>(es) * 512;
    c.ext_size = ez < 0 ? 0 : static_cast<uint64_t>(ez);
    c.data_start = wfm::get<double>(h + 32, c.be);
    c.data_size = wfm::get<double>(h + 40, c.be);
    c.timecode = wfm::get<double>(h + 56, c.be);
    c.xdelta = wfm::get<double>(h + 264, c.be);
    const int32_t kl = wfm::get<int32_t>(h + 160, c.be);
    c.keylength = kl < 0 ? 0 : std::min<uint32_t>(static_cast<uint32_t>(kl), WFM_HCB_KW_BYTES);
    // Sizes and offsets must be usable: finite, non-negative, whole bytes below 2^62.
    auto usable = [](double v) { return vx_finite(v) && v >= 0 && v == std::floor(v) && v < 0x1p62; };
    return usable(c.data_start) && vx_finite(c.data_size) && c.data_size >= 0 && c.data_size < 0x1p62 &&
           vx_finite(c.timecode) && vx_finite(c.xdelta);
}

// Sealed: the writer cleared `pipe` and the header gives a length (data_size, or an
// extended header that can only follow finished data).
bool hcb_sealed(const Hcb &c) { return c.pipe == 0 && (c.data_size > 0 || c.ext_start > 0); }

bool read_at(int fd, uint64_t at, void *p, size_t n)
{
    return pread(fd, p, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
}

// Main-header text keywords: runs split at zero bytes, TAG=value with a 1..255-byte tag.
void main_keywords(lectra *r, const unsigned char *h, uint32_t len)
{
    const char *t = reinterpret_cast<const char *>(h + 164);
    for (uint32_t i = 0; i < len;) {
        uint32_t j = i;
        while (j < len && t[j])
            ++j;
        const char *eq = static_cast<const char *>(std::memchr(t + i, '=', j - i));
        const uint32_t ltag = eq ? static_cast<uint32_t>(eq - (t + i)) : 0;
        if (ltag >= 1 && ltag <= 255) {
            char tag[256];
            std::memcpy(tag, t + i, ltag);
            tag[ltag] = 0;
            const uint32_t n = j - i - ltag - 1;
            static const unsigned char zero = 0;  // an empty value is one zero byte
            r->keywords.push_back(make_kw(tag, 'A', n ? reinterpret_cast<const unsigned char *>(eq + 1) : &zero,
                                          n ? n : 1, false));
        }
        i = j + 1;
    }
}

void extended_keywords(lectra *r, int fd, uint64_t file_len, const Hcb &c)
{
    if (c.ext_start == 0 || c.ext_size <= 7 || c.ext_start >= file_len)
        return;
    const uint64_t n = std::min({c.ext_size, file_len - c.ext_start, EXT_LIMIT});
    std::vector<unsigned char> ext(n);
    if (!read_at(fd, c.ext_start, ext.data(), n))
        return;
    for (uint64_t at = 0; at + 8 <= n && r->keywords.size() < KEYWORD_LIMIT;) {
        wfm_kw k{};
        uint64_t len = 0;
        const int rc = wfm_kw_decode(ext.data() + at, n - at, c.be, &k, &len);
        if (rc < 0)
            break;  // malformed: keep what was read so far
        if (rc == 0)
            r->keywords.push_back(k);
        at += len;
    }
}

// Centre frequency: the first of the tags with a usable keyword; numeric values before
// text, the last one of a kind winning.
void fc_from_keywords(lectra *r)
{
    for (int t = 0; t < 4; ++t) {
        bool have_num = false, have_text = false;
        double num = 0, text = 0;
        for (const wfm_kw &k : r->keywords) {
            if (std::strcmp(k.tag, FC_TAGS[t]) != 0 || !k.values)
                continue;
            const auto *v = static_cast<const unsigned char *>(k.values);
            double x;
            switch (k.code) {
            case 'B': x = static_cast<int8_t>(v[0]); break;
            case 'I': { int16_t i; std::memcpy(&i, v, 2); x = i; break; }
            case 'L': case 'T': { int32_t i; std::memcpy(&i, v, 4); x = i; break; }
            case 'X': { int64_t i; std::memcpy(&i, v, 8); x = static_cast<double>(i); break; }
            case 'F': { float f; std::memcpy(&f, v, 4); x = f; break; }
            case 'D': std::memcpy(&x, v, 8); break;
            case 'A': {
                char s[64];
                const size_t n = std::min<uint64_t>(k.count, 63);
                std::memcpy(s, v, n);
                s[n] = 0;
                char *end;
                x = std::strtod(s, &end);
                if (end == s)
                    continue;
                while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
                    ++end;
                if (*end)
                    continue;
                text = x;
                have_text = true;
                continue;
            }
            default: continue;
            }
            num = x;
            have_num = true;
        }
        if (have_num || have_text) {
            r->fc = have_num ? num : text;
            r->fc_source = LECTRA_FC_FREQ + t;
            return;
        }
    }
}

// Load a BLUE header read from fd (512 bytes at 0); data in r->file from data_offset.
bool load_blue(lectra *r, const unsigned char *h, int fd, uint64_t hdr_file_len)
{
    Hcb c;
    if (!parse_hcb(h, c))
        return false;
    r->file_type = WFM_BLUE;
    r->sample_type = c.sample_type;
    r->big_endian = c.be;
    if (c.xdelta != 0) {
        r->fs = 1.0 / c.xdelta;
        r->fs_source = LECTRA_FS_XDELTA;
    }
    if (c.timecode != 0) {
        r->t0 = c.timecode - WFM_J1950_OFFSET;
        r->t0_source = LECTRA_T0_TIMECODE;
    }
    for (const HcbField &f : HCB_FIELDS)
        r->header.push_back(make_kw(f.name, f.code, h + f.offset, f.count, c.be));
    main_keywords(r, h, c.keylength);
    extended_keywords(r, fd, hdr_file_len, c);
    fc_from_keywords(r);
    r->sealed = hcb_sealed(c);
    r->payload_bytes = static_cast<uint64_t>(c.data_size);
    r->data_offset = static_cast<uint64_t>(c.data_start);
    return true;
}

// ---- SigMF ---------------------------------------------------------------------------------

int datatype_of(const char *s, bool &be)
{
    if (!s || (s[0] != 'c' && s[0] != 'r'))
        return -1;
    for (int k = 0; k < 5; ++k) {
        const size_t n = std::strlen(wfm::SIGMF_KINDS[k]);
        if (std::strncmp(s + 1, wfm::SIGMF_KINDS[k], n) == 0) {
            const char *rest = s + 1 + n;
            if (*rest && std::strcmp(rest, "_le") != 0 && std::strcmp(rest, "_be") != 0)
                return -1;  // unsigned types and unknown suffixes are not ours to decode
            be = std::strstr(rest, "be") != nullptr;
            return k + (s[0] == 'r' ? 5 : 0);
        }
    }
    return -1;
}

struct Meta {
    int sample_type = -1;
    bool be = false;
    double fs = 0, fc = 0, t0 = 0;
    bool has_fc = false, has_t0 = false;
};

// Parse a metadata file; false when it is missing, not JSON, or its datatype unsupported.
bool read_meta(const std::string &path, Meta &m)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    const uint64_t n = file_size(f);
    std::string text(n < (64u << 20) ? n : 0, '\0');
    const bool got = !text.empty() && std::fread(text.data(), 1, text.size(), f) == text.size();
    std::fclose(f);
    cJSON *j = got ? cJSON_ParseWithLength(text.data(), text.size()) : nullptr;
    const cJSON *g = cJSON_GetObjectItemCaseSensitive(j, "global");
    const cJSON *dt = cJSON_GetObjectItemCaseSensitive(g, "core:datatype");
    bool ok = cJSON_IsObject(g) && cJSON_IsString(dt);
    if (ok)
        m.sample_type = datatype_of(dt->valuestring, m.be);
    ok = ok && m.sample_type >= 0;
    if (ok) {
        const cJSON *fs = cJSON_GetObjectItemCaseSensitive(g, "core:sample_rate");
        if (cJSON_IsNumber(fs) && vx_finite(fs->valuedouble))
            m.fs = fs->valuedouble;
        const cJSON *cap = cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(j, "captures"), 0);
        const cJSON *fc = cJSON_GetObjectItemCaseSensitive(cap, "core:frequency");
        if (cJSON_IsNumber(fc) && vx_finite(fc->valuedouble)) {
            m.fc = fc->valuedouble;
            m.has_fc = true;
        }
        const cJSON *dtm = cJSON_GetObjectItemCaseSensitive(cap, "core:datetime");
        m.has_t0 = cJSON_IsString(dtm) && lectra_parse_datetime(dtm->valuestring, &m.t0) == 0;
    }
    cJSON_Delete(j);
    return ok;
}

// ---- CSV -----------------------------------------------------------------------------------

const char *skip_blank(const char *p)
{
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

// A number at p (after blanks); NULL when there is none.
const char *number(const char *p, double *v)
{
    p = skip_blank(p);
    char *end;
    *v = std::strtod(p, &end);
    return end == p ? nullptr : end;
}

// Sniff the first line: a number, and for complex hints a comma and a second number.
bool looks_like_csv(const unsigned char *b, size_t n, bool complex)
{
    if (std::memchr(b, 0, n))
        return false;
    size_t i = 0;
    while (i < n && (b[i] == '\r' || b[i] == '\n'))
        ++i;
    size_t j = i;
    while (j < n && b[j] != '\r' && b[j] != '\n')
        ++j;
    if (j - i >= CSV_SNIFF_LINE || j == i)
        return false;
    const std::string line(reinterpret_cast<const char *>(b + i), j - i);
    double v;
    const char *p = number(line.c_str(), &v);
    if (p && complex) {
        p = skip_blank(p);
        p = *p == ',' ? number(p + 1, &v) : nullptr;
    }
    return p && *skip_blank(p) == 0;
}

// One CSV sample from a line (scanf's " %lf , %lf" or " %lf"); false when it does not parse.
bool parse_csv_line(const char *line, bool complex, double *re, double *im)
{
    const char *p = number(line, re);
    *im = 0;
    if (p && complex) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
            ++p;
        p = *p == ',' ? number(p + 1, im) : nullptr;
    }
    return p != nullptr;
}

bool blank_line(const char *s)
{
    for (; *s; ++s)
        if (*s != ' ' && *s != '\t' && *s != '\r' && *s != '\n')
            return false;
    return true;
}

double csv_scale(int sample_type)
{
    switch (sample_type % 5) {
    case 2: return 0x1p-31;
    case 3: return 0x1p-15;
    case 4: return 0x1p-7;
    default: return 1.0;
    }
}

// Walk up to n samples of CSV from csv_offset (out may be NULL to skip); whole_only keeps a
// last line without its newline for later. Advances position and csv_offset.
// One line (its newline included) into buf; returns its length, 0 at the end, or -1 for a
// line longer than the buffer, which is no sample (so a hostile file cannot make the reader
// hold a gigabyte line).
ssize_t read_line(FILE *f, char *buf, size_t cap)
{
    size_t n = 0;
    for (int c; (c = getc_unlocked(f)) != EOF;) {
        if (n + 1 >= cap)
            return -1;
        buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[n] = 0;
    return static_cast<ssize_t>(n);
}

uint64_t csv_walk(lectra *r, uint64_t n, vx_cf32 *out, bool whole_only)
{
    if (n == 0 || fseeko(r->file, static_cast<off_t>(r->csv_offset), SEEK_SET) != 0)
        return 0;
    const bool complex = r->sample_type < 5;
    const double scale = csv_scale(r->sample_type);
    char line[CSV_LINE_LIMIT];
    uint64_t done = 0;
    while (done < n) {
        const ssize_t len = read_line(r->file, line, sizeof line);
        if (len <= 0 || (whole_only && line[len - 1] != '\n'))
            break;
        if (blank_line(line)) {
            r->csv_offset += static_cast<uint64_t>(len);
            continue;
        }
        double re, im;
        if (std::memchr(line, 0, static_cast<size_t>(len)) || !parse_csv_line(line, complex, &re, &im))
            break;
        if (out)
            out[done] = {static_cast<float>(re * scale), static_cast<float>(im * scale)};
        r->csv_offset += static_cast<uint64_t>(len);
        ++done;
    }
    std::clearerr(r->file);
    r->position += done;
    return done;
}

// ---- binary samples ------------------------------------------------------------------------

template <class T> void to_cf32(const unsigned char *in, uint64_t n, bool complex, bool be, float scale, vx_cf32 *out)
{
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t c = complex ? 2 : 1;
        const T a = wfm::get<T>(in + (i * c) * sizeof(T), be);
        const float re = static_cast<float>(a) * scale;
        float im = 0.0f;
        if (complex)
            im = static_cast<float>(wfm::get<T>(in + (i * 2 + 1) * sizeof(T), be)) * scale;
        out[i] = {re, im};
    }
}

void convert(const lectra *r, const unsigned char *in, uint64_t n, vx_cf32 *out)
{
    const bool c = r->sample_type < 5, be = r->big_endian;
    switch (r->sample_type % 5) {
    case 0: to_cf32<float>(in, n, c, be, 1.0f, out); break;
    case 1: to_cf32<double>(in, n, c, be, 1.0f, out); break;
    case 2: to_cf32<int32_t>(in, n, c, be, 0x1p-31f, out); break;
    case 3: to_cf32<int16_t>(in, n, c, be, 0x1p-15f, out); break;
    default: to_cf32<int8_t>(in, n, c, be, 0x1p-7f, out); break;
    }
}

// Re-read a BLUE header that was not sealed; adopt the final payload once it is.
void refresh_seal(lectra *r)
{
    unsigned char h[WFM_HCB_BYTES];
    Hcb c;
    if (r->file_type != WFM_BLUE || r->sealed || r->hdr_fd < 0 || !read_at(r->hdr_fd, 0, h, sizeof h) ||
        !parse_hcb(h, c) || !hcb_sealed(c))
        return;
    r->sealed = true;
    r->payload_bytes = static_cast<uint64_t>(c.data_size);
}

uint64_t disk_samples(const lectra *r)
{
    const uint64_t size = file_size(r->file);
    return size > r->data_offset ? (size - r->data_offset) / stride(r) : 0;
}

// Samples from the start that may be read now: the sealed payload, else what is on disk.
uint64_t bound(const lectra *r)
{
    const uint64_t disk = disk_samples(r);
    return r->sealed ? std::min(disk, r->payload_bytes / stride(r)) : disk;
}

uint64_t read_binary(lectra *r, uint64_t n, vx_cf32 *out)
{
    const uint64_t s = stride(r);
    uint64_t done = 0;
    while (done < n) {
        const uint64_t limit = bound(r);
        const uint64_t m = std::min({n - done, CHUNK, limit > r->position ? limit - r->position : 0});
        if (m == 0 || fseeko(r->file, static_cast<off_t>(r->data_offset + r->position * s), SEEK_SET) != 0)
            break;
        uint64_t got = std::fread(r->buf.data(), 1, m * s, r->file) / s;
        std::clearerr(r->file);
        if (!r->sealed) {  // bytes past the data appear only after the seal: check it now
            refresh_seal(r);
            if (r->sealed)
                got = std::min(got, r->payload_bytes / s > r->position ? r->payload_bytes / s - r->position : 0);
        }
        convert(r, r->buf.data(), got, out + done);
        r->position += got;
        done += got;
        if (got < m)
            break;
    }
    return done;
}

uint64_t read_any(lectra *r, uint64_t n, vx_cf32 *out, bool following)
{
    return r->file_type == WFM_CSV ? csv_walk(r, n, out, following) : read_binary(r, n, out);
}

void sleep_ms(uint32_t ms)
{
    struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

extern "C" {

int lectra_parse_datetime(const char *s, double *t0)
{
    if (!s || !t0 || std::strlen(s) < 16)
        return -1;
    const char *p = s;
    auto digits = [&](int n, int &v) {
        v = 0;
        for (int i = 0; i < n; ++i, ++p) {
            if (*p < '0' || *p > '9')
                return false;
            v = v * 10 + (*p - '0');
        }
        return true;
    };
    int y, mo, d, h, mi, sec;
    if (!digits(4, y))
        return -1;
    const bool sep = *p == '-';
    auto separator = [&](char c) { return !sep || *p++ == c; };
    if (!separator('-') || !digits(2, mo) || !separator('-') || !digits(2, d))
        return -1;
    if (*p != 'T' && *p != 't' && *p != ' ')
        return -1;
    ++p;
    if (!digits(2, h) || !separator(':') || !digits(2, mi) || !separator(':') || !digits(2, sec))
        return -1;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60)
        return -1;
    double frac = 0;
    if (*p == '.' || *p == ',') {
        ++p;
        if (*p < '0' || *p > '9')
            return -1;
        long ns = 0;
        int used = 0;
        for (; *p >= '0' && *p <= '9'; ++p)
            if (used < 9) {
                ns = ns * 10 + (*p - '0');
                ++used;
            }
        for (; used < 9; ++used)
            ns *= 10;
        frac = static_cast<double>(ns) * 1e-9;
    }
    int offset = 0;
    if (*p == 'Z' || *p == 'z') {
        ++p;
    } else if (*p == '+' || *p == '-') {
        const int sign = *p++ == '-' ? -1 : 1;
        int oh, om = 0;
        if (!digits(2, oh) || oh > 23)
            return -1;
        const bool colon = *p == ':';
        if (colon)
            ++p;
        if (*p >= '0' && *p <= '9') {
            if (!digits(2, om) || om >= 60)
                return -1;
        } else if (colon) {
            return -1;
        }
        offset = sign * (oh * 3600 + om * 60);
    } else {
        return -1;  // a zone is required
    }
    if (*p)
        return -1;
    const int64_t secs = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec - offset;
    *t0 = static_cast<double>(secs) + frac;
    return 0;
}

lectra *lectra_create(const char *path, int hint, int big_endian_hint)
{
    if (!path || hint < -1 || hint >= WFM_NUM_SAMPLE_TYPES)
        return nullptr;
    auto *r = new (std::nothrow) lectra();
    if (!r)
        return nullptr;
    auto fail = [&]() -> lectra * { delete r; return nullptr; };
    const std::string p(path);
    r->path = p;
    r->sample_type = hint < 0 ? WFM_CF32 : hint;
    r->big_endian = big_endian_hint != 0;

    if (wfm::ends_with(p, ".sigmf-data")) {
        Meta m;
        if (!read_meta(wfm::with_extension(p, ".sigmf-meta"), m) || !(r->file = std::fopen(path, "rb")))
            return fail();
        r->file_type = WFM_SIGMF;
        r->sample_type = m.sample_type;
        r->big_endian = m.be;
        r->fs = m.fs;
        r->fs_source = m.fs != 0 ? LECTRA_FS_SIGMF : LECTRA_FS_NONE;
        if (m.has_fc) {
            r->fc = m.fc;
            r->fc_source = LECTRA_FC_SIGMF;
        }
        if (m.has_t0) {
            r->t0 = m.t0;
            r->t0_source = LECTRA_T0_SIGMF;
        }
    } else if (wfm::ends_with(p, ".det")) {
        unsigned char h[WFM_HCB_BYTES];
        for (const char *ext : {".hdr", ".prm", ".tmp"}) {
            r->hdr_fd = ::open(wfm::with_extension(p, ext).c_str(), O_RDONLY | O_CLOEXEC);
            if (r->hdr_fd >= 0)
                break;
        }
        struct stat st;
        if (r->hdr_fd < 0 || fstat(r->hdr_fd, &st) != 0 || !read_at(r->hdr_fd, 0, h, sizeof h) ||
            !load_blue(r, h, r->hdr_fd, static_cast<uint64_t>(st.st_size)) || !(r->file = std::fopen(path, "rb")))
            return fail();
        r->data_offset = 0;
    } else {
        if (!(r->file = std::fopen(path, "rb")))
            return fail();
        unsigned char h[WFM_HCB_BYTES];
        const size_t got = std::fread(h, 1, sizeof h, r->file);
        if (got >= 4 && std::memcmp(h, "BLUE", 4) == 0) {
            r->hdr_fd = ::dup(fileno(r->file));
            if (got < sizeof h || r->hdr_fd < 0 || !load_blue(r, h, r->hdr_fd, file_size(r->file)))
                return fail();
            if (wfm::get<int32_t>(h + 12, r->big_endian) != 0) {  // detached: the data are beside
                std::fclose(r->file);
                if (!(r->file = std::fopen(wfm::with_extension(p, ".det").c_str(), "rb")))
                    return fail();
                r->data_offset = 0;
            } else if (r->data_offset > file_size(r->file)) {
                return fail();
            }
        } else {
            const std::string side = wfm::meta_name(p);
            Meta m;
            struct stat st;
            const bool has_side = stat(side.c_str(), &st) == 0;
            const bool parsed = has_side && read_meta(side, m);
            if (has_side && !parsed && hint < 0)
                return fail();  // a sidecar we cannot follow: never guess cf32
            // The sniff expects the type the file will be read as (a sidecar's, with auto).
            const bool complex = parsed && hint < 0 ? m.sample_type < 5 : r->sample_type < 5;
            const bool csv = looks_like_csv(h, got, complex) || wfm::ends_with(p, ".csv");
            r->file_type = csv ? WFM_CSV : WFM_RAW;
            {
                if (parsed) {
                    if (hint < 0) {
                        r->sample_type = m.sample_type;
                        r->big_endian = m.be;
                    }
                    if (m.fs > 0) {
                        r->fs = m.fs;
                        r->fs_source = LECTRA_FS_SIGMF;
                    }
                    if (m.has_fc) {
                        r->fc = m.fc;
                        r->fc_source = LECTRA_FC_SIGMF;
                    }
                    if (m.has_t0) {
                        r->t0 = m.t0;
                        r->t0_source = LECTRA_T0_SIGMF;
                    }
                }
            }
        }
    }
    if (r->file_type != WFM_CSV)
        r->buf.resize(CHUNK * stride(r));
    return r;
}

void lectra_destroy(lectra *r) { delete r; }

uint64_t lectra_read(lectra *r, uint64_t count, vx_cf32 *out, uint64_t cap)
{
    if (!r || !out)
        return 0;
    return read_any(r, std::min(count, cap), out, false);
}

uint64_t lectra_read_max_out(const lectra *, uint64_t count) { return count; }
uint64_t lectra_read_follow_max_out(const lectra *, uint64_t count) { return count; }

uint64_t lectra_read_follow(lectra *r, uint64_t count, vx_cf32 *out, uint64_t cap)
{
    if (!r || !out)
        return 0;
    r->ending = LECTRA_END_NONE;
    const uint64_t n = std::min(count, cap);
    if (n == 0)
        return 0;
    uint32_t budget = r->timeout_ms;
    bool stopped = false;
    for (;;) {
        const uint64_t got = read_any(r, n, out, true);
        if (got)
            return got;
        refresh_seal(r);
        if (r->sealed && r->position >= bound(r)) {
            r->ending = LECTRA_END_EOF;
            return 0;
        }
        if (r->sealed)
            continue;  // sealed just now with samples left
        // Wait one poll step (or what is left of the budget), looking at the stop request.
        const uint32_t step = budget == 0 ? POLL_MS : std::min(budget, POLL_MS);
        bool restart = false;
        for (uint32_t slept = 0; slept < step && !restart; slept += STOP_POLL_MS) {
            if (!stopped && r->stop && r->stop()) {
                stopped = true;
                if (r->grace_ms == 0) {  // no grace: a stop ends the wait now
                    r->ending = LECTRA_END_INTERRUPTED;
                    return 0;
                }
                budget = r->grace_ms;
                restart = true;
                break;
            }
            sleep_ms(std::min(STOP_POLL_MS, step - slept));
        }
        if (restart || budget == 0)
            continue;
        budget -= step;
        if (budget == 0) {
            r->ending = stopped ? LECTRA_END_INTERRUPTED : LECTRA_END_TIMEOUT;
            return 0;
        }
    }
}

int lectra_seek(lectra *r, int64_t index)
{
    if (!r || index < 0)
        return VX_ERR_INVALID;
    const auto a = static_cast<uint64_t>(index);
    if (r->file_type == WFM_CSV) {
        const uint64_t pos = r->position, off = r->csv_offset;
        if (a < r->position) {
            r->position = 0;
            r->csv_offset = 0;
        }
        const uint64_t want = a - r->position;
        if (csv_walk(r, want, nullptr, false) != want) {
            r->position = pos;
            r->csv_offset = off;
            return VX_ERR_INVALID;
        }
        return VX_OK;
    }
    if (a > bound(r))
        return VX_ERR_INVALID;
    r->position = a;
    return VX_OK;
}

int lectra_seek_time(lectra *r, double x)
{
    if (!r || r->fs_source == LECTRA_FS_NONE || !vx_finite(x) || x < 0 || !(r->fs > 0))
        return VX_ERR_INVALID;
    const double index = std::floor(r->fs * x + 0.5);
    if (!(index <= 0x1p63) || index >= 0x1p63)
        return VX_ERR_INVALID;
    return lectra_seek(r, static_cast<int64_t>(index));
}

void lectra_reset(lectra *r)
{
    if (r) {
        r->position = 0;
        r->csv_offset = 0;
    }
}

const char *lectra_get_path(const lectra *r) { return r ? r->path.c_str() : ""; }
int lectra_get_file_type(const lectra *r) { return r ? r->file_type : -1; }
int lectra_get_sample_type(const lectra *r) { return r ? r->sample_type : -1; }
int lectra_get_mode(const lectra *r) { return r && r->sample_type >= 5 ? 1 : 0; }
int lectra_get_endian(const lectra *r) { return r && r->big_endian ? 1 : 0; }
double lectra_get_fs(const lectra *r) { return r ? r->fs : 0.0; }
int lectra_get_fs_source(const lectra *r) { return r ? r->fs_source : 0; }
double lectra_get_fc(const lectra *r) { return r ? r->fc : 0.0; }
int lectra_get_fc_source(const lectra *r) { return r ? r->fc_source : 0; }
double lectra_get_t0(const lectra *r) { return r ? r->t0 : 0.0; }
int lectra_get_t0_source(const lectra *r) { return r ? r->t0_source : 0; }

uint64_t lectra_get_num_samples(lectra *r)
{
    if (!r)
        return 0;
    if (r->file_type != WFM_CSV)
        return r->sealed ? r->payload_bytes / stride(r) : disk_samples(r);
    if (!r->csv_counted) {
        const uint64_t pos = r->position, off = r->csv_offset;
        r->position = 0;
        r->csv_offset = 0;
        r->csv_count = csv_walk(r, UINT64_MAX, nullptr, false);
        r->position = pos;
        r->csv_offset = off;
        r->csv_counted = true;
    }
    return r->csv_count;
}

uint64_t lectra_get_position(const lectra *r) { return r ? r->position : 0; }

uint64_t lectra_get_trailing_bytes(lectra *r)
{
    if (!r || r->file_type == WFM_CSV)
        return 0;
    const uint64_t size = file_size(r->file);
    uint64_t bytes = size > r->data_offset ? size - r->data_offset : 0;
    if (r->sealed)
        bytes = std::min(bytes, r->payload_bytes);
    return bytes % stride(r);
}

int lectra_get_ending(const lectra *r) { return r ? r->ending : 0; }
uint32_t lectra_get_follow_timeout_ms(const lectra *r) { return r ? r->timeout_ms : 0; }
void lectra_set_follow_timeout_ms(lectra *r, uint32_t ms)
{
    if (r)
        r->timeout_ms = ms;
}
uint32_t lectra_get_follow_grace_ms(const lectra *r) { return r ? r->grace_ms : 0; }
void lectra_set_follow_grace_ms(lectra *r, uint32_t ms)
{
    if (r)
        r->grace_ms = ms;
}

uint64_t lectra_num_keywords(const lectra *r) { return r ? r->keywords.size() : 0; }
const wfm_kw *lectra_keyword(const lectra *r, uint64_t i) { return r && i < r->keywords.size() ? &r->keywords[i] : nullptr; }
const char *lectra_keyword_tag(const lectra *r, uint64_t i)
{
    const wfm_kw *k = lectra_keyword(r, i);
    return k ? k->tag : nullptr;
}
int64_t lectra_find_keyword(const lectra *r, const char *tag)
{
    for (uint64_t i = lectra_num_keywords(r); tag && i-- > 0;)
        if (!std::strcmp(r->keywords[i].tag, tag))
            return static_cast<int64_t>(i);
    return -1;
}
uint64_t lectra_num_header_fields(const lectra *r) { return r ? r->header.size() : 0; }
const wfm_kw *lectra_header_field(const lectra *r, uint64_t i) { return r && i < r->header.size() ? &r->header[i] : nullptr; }
const char *lectra_header_tag(const lectra *r, uint64_t i)
{
    const wfm_kw *k = lectra_header_field(r, i);
    return k ? k->tag : nullptr;
}
int64_t lectra_find_header_field(const lectra *r, const char *tag)
{
    for (uint64_t i = 0; tag && i < lectra_num_header_fields(r); ++i)
        if (!std::strcmp(r->header[i].tag, tag))
            return static_cast<int64_t>(i);
    return -1;
}

void lectra_set_stop_fn(lectra *r, lectra_stop_fn fn)
{
    if (r)
        r->stop = fn;
}

}  // extern "C"
