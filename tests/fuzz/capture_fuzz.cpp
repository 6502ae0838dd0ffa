// libFuzzer target over the capture reader's parsers: BLUE headers and keyword blocks,
// SigMF metadata, CSV text and raw data, each opened, read, sought and followed.
//
// Input: byte 0 picks the layout, byte 1 the sample-type hint (modulo 11) and whether a
// follow at the end waits out its 1 ms timeout (one in eight) or is stopped at once; the
// rest is the file (for SigMF and sidecars: metadata, a 0xFF byte, then data; for detached
// BLUE: 512 header bytes, then data).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "lectra.h"
#include "wfm_blue.h"

namespace {

const char *const kFiles[] = {"f.bin", "f.sigmf-meta", "f.sigmf-data", "f.csv.sigmf-meta", "f.csv", "f.hdr", "f.det"};

// On tmpfs where there is one (files created and removed on every run made ext4's inode
// search the bulk of the work), removed with its files when the run ends.
char g_dir[64];

void remove_dir()
{
    for (const char *f : kFiles)
        std::remove((std::string(g_dir) + "/" + f).c_str());
    rmdir(g_dir);
}

std::string dir()
{
    if (!g_dir[0]) {
        std::strcpy(g_dir, "/dev/shm/veltra_fuzz_XXXXXX");
        if (!mkdtemp(g_dir)) {
            std::strcpy(g_dir, "/tmp/veltra_fuzz_XXXXXX");
            mkdtemp(g_dir);
        }
        std::atexit(remove_dir);
    }
    return g_dir;
}

int stop_now() { return 1; }

void put(const std::string &path, const uint8_t *p, size_t n)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f) {
        std::fwrite(p, 1, n, f);
        std::fclose(f);
    }
}

void exercise(const std::string &path, int hint, bool wait)
{
    lectra *r = lectra_create(path.c_str(), hint, hint & 1);
    if (!r)
        return;
    vx_cf32 out[256];
    uint64_t total = 0;
    for (int i = 0; i < 64 && lectra_read(r, 256, out, 256) > 0; ++i)
        total += 1;
    lectra_get_num_samples(r);
    lectra_get_trailing_bytes(r);
    lectra_seek(r, 3);
    lectra_seek(r, static_cast<int64_t>(total));
    lectra_seek_time(r, 0.5);
    for (uint64_t i = 0; i < lectra_num_keywords(r); ++i)
        lectra_keyword(r, i);
    for (uint64_t i = 0; i < lectra_num_header_fields(r); ++i)
        lectra_header_field(r, i);
    lectra_find_keyword(r, "FREQ");
    lectra_reset(r);
    // A follow reaching the end of an unsealed file sleeps its timeout: only some runs wait,
    // the rest take the same path up to the wait and are stopped there.
    if (wait)
        lectra_set_follow_timeout_ms(r, 1);
    else
        lectra_set_stop_fn(r, stop_now);
    for (int i = 0; i < 4 && lectra_read_follow(r, 256, out, 256) > 0; ++i) {
    }
    lectra_destroy(r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int layout = data[0] % 5, hint = static_cast<int>(data[1] % 11) - 1;
    const bool wait = data[1] / 11 % 8 == 0;
    const uint8_t *p = data + 2;
    const size_t n = size - 2;
    const uint8_t *sep = static_cast<const uint8_t *>(std::memchr(p, 0xFF, n));
    const size_t meta = sep ? static_cast<size_t>(sep - p) : n;
    const std::string d = dir();
    switch (layout) {
    case 0:  // sniffed: BLUE, CSV or raw
        put(d + "/f.bin", p, n);
        exercise(d + "/f.bin", hint, wait);
        std::remove((d + "/f.bin").c_str());
        break;
    case 1:  // SigMF pair
        put(d + "/f.sigmf-meta", p, meta);
        put(d + "/f.sigmf-data", sep ? sep + 1 : p, sep ? n - meta - 1 : 0);
        exercise(d + "/f.sigmf-data", hint, wait);
        break;
    case 2:  // raw or CSV with a sidecar
        put(d + "/f.csv.sigmf-meta", p, meta);
        put(d + "/f.csv", sep ? sep + 1 : p, sep ? n - meta - 1 : 0);
        exercise(d + "/f.csv", hint, wait);
        std::remove((d + "/f.csv.sigmf-meta").c_str());
        break;
    case 3: {  // detached BLUE
        const size_t h = n < 512 ? n : 512;
        put(d + "/f.hdr", p, h);
        put(d + "/f.det", p + h, n - h);
        exercise(d + "/f.det", hint, wait);
        exercise(d + "/f.hdr", hint, wait);
        std::remove((d + "/f.hdr").c_str());
        break;
    }
    default: {  // keyword entries and time stamps straight from memory
        for (size_t at = 0; at + 8 <= n;) {
            wfm_kw kw{};
            uint64_t len = 0;
            const int rc = wfm_kw_decode(p + at, n - at, hint & 1, &kw, &len);
            if (rc < 0)
                break;
            wfm_kw_free(&kw);
            at += len;
        }
        std::string text(reinterpret_cast<const char *>(p), n);
        double t0;
        lectra_parse_datetime(text.c_str(), &t0);
        wfm_kw_check_standard(text.c_str(), 'A', p, n);
    }
    }
    return 0;
}
