// BLUE keyword entries, the composer's timeline and the SigMF metadata builder, over the C ABI.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scriba.h"
#include "wfm_blue.h"
#include "wfm_compose.h"

namespace {

TEST(WfmKeyword, EncodeDecodeRoundTripInBothOrders)
{
    unsigned char buf[64];
    ASSERT_EQ(wfm_kw_encode(buf, sizeof buf, "COMMENT", 'A', "demo", 4, 0), 24u);
    EXPECT_EQ(buf[0], 24);  // lkey, little-endian
    EXPECT_EQ(buf[4], 20);  // lext
    EXPECT_EQ(buf[6], 7);
    EXPECT_EQ(buf[7], 'A');
    const int16_t v[3] = {1, -2, 300};
    for (int be = 0; be < 2; ++be) {
        const uint64_t n = wfm_kw_encode(buf, sizeof buf, "G", 'I', v, 3, be);
        ASSERT_EQ(n, wfm_kw_entry_size(1, 6));
        wfm_kw kw{};
        uint64_t len = 0;
        ASSERT_EQ(wfm_kw_decode(buf, n, be, &kw, &len), 0);
        EXPECT_EQ(len, n);
        EXPECT_STREQ(kw.tag, "G");
        EXPECT_EQ(kw.count, 3u);
        EXPECT_EQ(std::memcmp(kw.values, v, sizeof v), 0);
        wfm_kw_free(&kw);
    }
}

TEST(WfmKeyword, RefusalsAndMalformedEntries)
{
    unsigned char buf[600];
    const double d = 1.0;
    const std::string long_tag(256, 'T');
    EXPECT_EQ(wfm_kw_encode(buf, sizeof buf, "", 'D', &d, 1, 0), 0u);
    EXPECT_EQ(wfm_kw_encode(buf, sizeof buf, long_tag.c_str(), 'D', &d, 1, 0), 0u);
    EXPECT_EQ(wfm_kw_encode(buf, sizeof buf, "T", 'Q', &d, 1, 0), 0u);
    EXPECT_EQ(wfm_kw_encode(buf, sizeof buf, "T", 'D', &d, 0, 0), 0u);
    EXPECT_EQ(wfm_kw_encode(buf, 16, "T", 'D', &d, 1, 0), 0u);  // needs 24

    const uint64_t n = wfm_kw_encode(buf, sizeof buf, "FREQ", 'D', &d, 1, 0);
    wfm_kw kw{};
    uint64_t len = 0;
    EXPECT_EQ(wfm_kw_decode(buf, n - 1, 0, &kw, &len), -1);  // lkey beyond the region
    EXPECT_EQ(wfm_kw_decode(buf, 7, 0, &kw, &len), -1);
    auto patched = [&](int32_t lkey, int16_t lext) {
        unsigned char b[32];
        std::memcpy(b, buf, n);
        std::memcpy(b, &lkey, 4);
        std::memcpy(b + 4, &lext, 2);
        return wfm_kw_decode(b, n, 0, &kw, &len);
    };
    EXPECT_EQ(patched(4, 4), -1);    // lkey < 8
    EXPECT_EQ(patched(24, 11), -1);  // lext < 8 + ltag
    EXPECT_EQ(patched(24, 25), -1);  // lext > lkey
    EXPECT_EQ(patched(24, 24), 1);   // no data: skipped, length known
    EXPECT_EQ(len, 24u);
    EXPECT_EQ(patched(24, 21), 1);   // 3 data bytes of an 8-byte type
    buf[7] = 'Z';
    EXPECT_EQ(wfm_kw_decode(buf, n, 0, &kw, &len), 1);
}

TEST(WfmKeyword, StandardChecks)
{
    EXPECT_EQ(wfm_kw_check_standard("ACQTIME", 'A', "12:34:56", 8), 1);
    EXPECT_EQ(wfm_kw_check_standard("ACQTIME", 'A', "12-34-56", 8), -1);
    EXPECT_EQ(wfm_kw_check_standard("ACQTIME", 'A', "12:3\0:56", 8), -1);
    EXPECT_EQ(wfm_kw_check_standard("ACQDATE", 'A', "20240101", 8), 1);
    EXPECT_EQ(wfm_kw_check_standard("ACQDATE", 'A', "24.001", 6), 1);
    EXPECT_EQ(wfm_kw_check_standard("ACQDATE", 'A', "240001", 6), -1);
    EXPECT_EQ(wfm_kw_check_standard("COMMENT", 'A', "x", 1), 1);
    EXPECT_EQ(wfm_kw_check_standard("TIMELINE", 'D', "x", 1), -1);
    EXPECT_EQ(wfm_kw_check_standard("T4INDEX", 'A', "x", 1), -1);
    EXPECT_EQ(wfm_kw_check_standard("OTHER", 'A', "x", 1), 0);
}

TEST(WfmCompose, SpansRunOnAcrossSegmentsAndCountingMatchesFilling)
{
    wfm_segment segs[2] = {};
    segs[0].gap_before = 10;
    segs[0].num_samples = 100;
    segs[0].gap_after = 5;
    segs[1].num_samples = 50;
    segs[1].instances = 0;  // counts as 1
    wfm_span spans[4];
    ASSERT_EQ(wfm_compose_spans(segs, 2, nullptr, 0), 2u);
    ASSERT_EQ(wfm_compose_spans(segs, 2, spans, 4), 2u);
    EXPECT_EQ(spans[0].start, 0u);
    EXPECT_EQ(spans[1].start, 115u);
    EXPECT_EQ(spans[1].start + spans[1].gap_before, 115u);
    EXPECT_EQ(wfm_compose_draws(segs, 2, nullptr, 0), 0u);  // no sources: spans but no draws
}

TEST(WfmCompose, DrawsDependOnEveryIndexAndHonourTheirBounds)
{
    const double base = wfm_draw_range(7, 0, 0, 0, 0, WFM_DRAW_FREQ, 0, 1, nullptr);
    EXPECT_EQ(base, wfm_draw_range(7, 0, 0, 0, 0, WFM_DRAW_FREQ, 0, 1, nullptr));
    const double others[] = {
        wfm_draw_range(8, 0, 0, 0, 0, WFM_DRAW_FREQ, 0, 1, nullptr),
        wfm_draw_range(7, 1, 0, 0, 0, WFM_DRAW_FREQ, 0, 1, nullptr),
        wfm_draw_range(7, 0, 1, 0, 0, WFM_DRAW_FREQ, 0, 1, nullptr),
        wfm_draw_range(7, 0, 65536, 0, 0, WFM_DRAW_FREQ, 0, 1, nullptr),
        wfm_draw_range(7, 0, 0, 1, 0, WFM_DRAW_FREQ, 0, 1, nullptr),
        wfm_draw_range(7, 0, 0, uint64_t{1} << 24, 0, WFM_DRAW_FREQ, 0, 1, nullptr),
        wfm_draw_range(7, 0, 0, 0, 1, WFM_DRAW_FREQ, 0, 1, nullptr),
        wfm_draw_range(7, 0, 0, 0, 0, WFM_DRAW_SNR, 0, 1, nullptr),
    };
    for (double o : others)
        EXPECT_NE(o, base);
    EXPECT_EQ(wfm_draw_samples(7, 0, 3, 0, WFM_DRAW_NUM_SAMPLES, 40, 40), 40u);
    for (uint64_t k = 0; k < 200; ++k) {
        const uint64_t c = wfm_draw_samples(7, 0, k, 0, WFM_DRAW_NUM_SAMPLES, 10, 20);
        EXPECT_GE(c, 10u);
        EXPECT_LE(c, 20u);
    }
}

cJSON *meta(const wfm_segment *segs, uint64_t n, double fc, const char *extra = nullptr,
            const char *const *ann = nullptr, uint64_t n_ann = 0)
{
    char *text = wfm_sigmf_meta_json_ex(WFM_CF32, 0, segs, n, 0.0, fc, 0.0, extra, ann, n_ann);
    EXPECT_NE(text, nullptr);
    cJSON *j = text ? cJSON_Parse(text) : nullptr;
    std::free(text);
    return j;
}

double num(const cJSON *o, const char *key) { return cJSON_GetObjectItemCaseSensitive(o, key)->valuedouble; }

TEST(WfmMeta, AnnotationsOfComposedDraws)
{
    wfm_source src{};
    src.kind = WFM_SRC_BPSK;
    src.freq_hz = 1000;
    src.sps = 8;
    src.seed = 5;
    wfm_segment seg{};
    seg.sources = &src;
    seg.n_sources = 1;
    seg.fs = 8000;
    seg.num_samples = 64;
    seg.gap_before = uint64_t{1} << 60;  // beyond a double's exact integers
    const char *extra[] = {"{\"core:sample_start\":3,\"acme:tag\":1}", "[1]"};
    cJSON *j = meta(&seg, 1, 1e6, "{\"core:datatype\":\"ri8\",\"core:description\":\"d\"}", extra, 2);
    ASSERT_NE(j, nullptr);
    const cJSON *g = cJSON_GetObjectItemCaseSensitive(j, "global");
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(g, "core:datatype")->valuestring, "cf32_le");  // kept
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(g, "core:description")->valuestring, "d");
    EXPECT_EQ(num(g, "core:sample_rate"), 8000);  // the segments' one rate
    const cJSON *exts = cJSON_GetObjectItemCaseSensitive(g, "core:extensions");
    ASSERT_EQ(cJSON_GetArraySize(exts), 2);
    const cJSON *anns = cJSON_GetObjectItemCaseSensitive(j, "annotations");
    ASSERT_EQ(cJSON_GetArraySize(anns), 2);  // "[1]" is not an annotation
    EXPECT_EQ(num(cJSON_GetArrayItem(anns, 0), "core:sample_start"), 3);  // sorted by start
    const cJSON *a = cJSON_GetArrayItem(anns, 1);
    EXPECT_EQ(num(a, "core:freq_lower_edge"), 1e6 + 500);  // at RF
    EXPECT_EQ(num(a, "core:freq_upper_edge"), 1e6 + 1500);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(a, "core:label")->valuestring, "bpsk");
    cJSON_Delete(j);

    char *text = wfm_sigmf_meta_json(WFM_CF32, 0, &seg, 1, 0.0, 0.0, 0.0);
    ASSERT_NE(text, nullptr);
    EXPECT_NE(std::strstr(text, "\"core:sample_start\":1152921504606846976,"), nullptr);  // exact
    std::free(text);
}

TEST(WfmMeta, RefusesValuesTheSchemaCannotHold)
{
    EXPECT_EQ(wfm_sigmf_meta_json(WFM_CF32, 0, nullptr, 0, -1.0, 0, 0), nullptr);
    EXPECT_EQ(wfm_sigmf_meta_json(WFM_CF32, 0, nullptr, 0, 1.0, 2e12, 0), nullptr);
    EXPECT_EQ(wfm_sigmf_meta_json(WFM_CF32, 0, nullptr, 0, 1.0, 0, 1e300), nullptr);
    EXPECT_EQ(wfm_sigmf_meta_json(10, 0, nullptr, 0, 1.0, 0, 0), nullptr);
    const char *missing_start[] = {"{\"core:label\":\"x\"}"};
    EXPECT_EQ(wfm_sigmf_meta_json_ex(WFM_CF32, 0, nullptr, 0, 1.0, 0, 0, nullptr, missing_start, 1), nullptr);
}

TEST(Scriba, HeaderPatchIsRelativeToWhereTheWriterStarted)
{
    FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const char lead[100] = {};
    ASSERT_EQ(std::fwrite(lead, 1, sizeof lead, f), sizeof lead);
    scriba *w = scriba_open(f, WFM_BLUE, WFM_CI16, 1, 0, 1e3, 0, 0);
    ASSERT_NE(w, nullptr);
    const vx_cf32 x[3] = {{0.5f, 0}, {0, -0.5f}, {1, 1}};
    EXPECT_EQ(scriba_write(w, x, 3), 3u);
    const int32_t v = 7;
    ASSERT_EQ(scriba_add_keyword(w, "K", 'L', &v, 1), 0);
    ASSERT_EQ(scriba_close(w), 0);
    unsigned char h[512];
    ASSERT_EQ(std::fseek(f, 100, SEEK_SET), 0);
    ASSERT_EQ(std::fread(h, 1, 512, f), 512u);
    EXPECT_EQ(std::memcmp(h, "BLUEIEEE", 8), 0);
    EXPECT_EQ(h[24 + 3], 2);  // ext_start: block 2 from the header (512 + 12 bytes of data)
    EXPECT_EQ(h[28 + 3], 16); // ext_size: one 16-byte entry
    EXPECT_EQ(h[40], 0x40);   // data_size 12.0, big-endian double 0x4028...
    EXPECT_EQ(h[41], 0x28);
    std::fseek(f, 0, SEEK_END);
    EXPECT_EQ(std::ftell(f), 100 + 1024 + 16);
    std::fclose(f);
}

}  // namespace
