#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "agc.h"
#include "ddc.h"
#include "rate_converter.h"
#include "vx_tlm.h"

namespace {

std::vector<vx_tlm_record> drain(vx_tlm *ctx)
{
    std::vector<vx_tlm_record> out(vx_tlm_read_max_out(ctx));
    out.resize(vx_tlm_read(ctx, 0, out.data(), out.size()));
    return out;
}

std::string name_of(int i) { return "probe" + std::to_string(i); }

}  // namespace

TEST(Tlm, CreateBuildsTheRing)
{
    EXPECT_EQ(vx_tlm_create(0), nullptr);
    EXPECT_EQ(vx_tlm_create(UINT64_MAX), nullptr);
    vx_tlm *ctx = vx_tlm_create(1);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(vx_tlm_capacity(ctx), 1u);
    EXPECT_EQ(vx_ring_slots(ctx->ring), 256u);  // one 4 KiB page of 16-byte records
    EXPECT_EQ(vx_tlm_probe_count(ctx), 0u);
    EXPECT_EQ(vx_tlm_stamp(ctx), 0);
    vx_tlm_destroy(ctx);
    vx_tlm_destroy(nullptr);
}

TEST(Tlm, FullRingDropsTheNewRecord)
{
    vx_tlm *ctx = vx_tlm_create(3);
    const int id = vx_tlm_probe(ctx, "lock", 1);
    ASSERT_EQ(id, 0);
    for (int i = 0; i < 4; ++i) {
        vx_tlm_set_stamp(ctx, 100 + i);
        EXPECT_EQ(vx_tlm_emit_checked(ctx, id, float(i)), VX_OK);
    }
    EXPECT_EQ(vx_tlm_dropped(ctx), 1u);
    EXPECT_EQ(vx_tlm_emitted(ctx, 0), 3u);
    EXPECT_EQ(vx_tlm_avail(ctx), 3u);
    const vx_tlm_totals t = vx_tlm_stats(ctx);
    EXPECT_EQ(t.dropped, 1u);
    EXPECT_EQ(t.emitted, 3u);
    EXPECT_EQ(t.capacity, 3u);
    EXPECT_EQ(t.probe_count, 1u);
    const auto recs = drain(ctx);
    ASSERT_EQ(recs.size(), 3u);
    for (int i = 0; i < 3; ++i) {  // the oldest are kept, the fourth was lost
        EXPECT_EQ(recs[i].stamp, 100 + i);
        EXPECT_EQ(recs[i].value, float(i));
        EXPECT_EQ(recs[i].probe, 0);
        EXPECT_EQ(recs[i].zero, 0);
    }
    vx_tlm_record spare;
    EXPECT_EQ(vx_tlm_read(ctx, 0, &spare, 1), 0u);
    vx_tlm_destroy(ctx);
}

TEST(Tlm, DecimationEmitsTheFirstAndEveryNthRequest)
{
    vx_tlm *ctx = vx_tlm_create(64);
    const int id = vx_tlm_probe(ctx, "e", 4);
    for (int i = 1; i <= 12; ++i)
        vx_tlm_emit_checked(ctx, id, float(i));
    auto recs = drain(ctx);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].value, 1.0f);
    EXPECT_EQ(recs[1].value, 5.0f);
    EXPECT_EQ(recs[2].value, 9.0f);
    // Registering again keeps the id, applies the new decimation and restarts its phase.
    EXPECT_EQ(vx_tlm_probe(ctx, "e", 2), id);
    EXPECT_EQ(vx_tlm_probe_count(ctx), 1u);
    const float v[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(vx_tlm_emit_block(ctx, id, v, 5), VX_OK);
    recs = drain(ctx);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[1].value, 3.0f);
    EXPECT_EQ(vx_tlm_set_decim(ctx, "e", 3), VX_OK);
    vx_tlm_emit_block(ctx, id, v, 5);
    recs = drain(ctx);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].value, 4.0f);
    EXPECT_EQ(vx_tlm_set_decim(ctx, "e", 0), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_set_decim(ctx, "nope", 2), VX_ERR_INVALID);
    vx_tlm_destroy(ctx);
}

TEST(Tlm, ProbeTableLimits)
{
    vx_tlm *ctx = vx_tlm_create(8);
    const std::string n31(31, 'x'), n32(32, 'x');
    EXPECT_EQ(vx_tlm_probe(ctx, n32.c_str(), 1), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_probe(ctx, "d", 0), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_probe(ctx, "d", VX_TLM_MAX_DECIM + 1), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_probe(ctx, "d", uint64_t(1) << 32 | 1), VX_ERR_INVALID);  // not cut to 1
    EXPECT_EQ(vx_tlm_probe(ctx, nullptr, 1), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_probe(nullptr, "d", 1), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_probe_count(ctx), 0u);
    EXPECT_EQ(vx_tlm_probe(ctx, n31.c_str(), VX_TLM_MAX_DECIM), 0);
    for (int i = 1; i < 64; ++i)
        ASSERT_EQ(vx_tlm_probe(ctx, name_of(i).c_str(), 1), i);
    EXPECT_EQ(vx_tlm_probe(ctx, "one_more", 1), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_probe(ctx, name_of(7).c_str(), 2), 7);  // re-registering still works
    EXPECT_EQ(vx_tlm_probe_count(ctx), 64u);
    EXPECT_EQ(vx_tlm_probe_id(ctx, "probe63"), 63);
    EXPECT_EQ(vx_tlm_probe_id(ctx, "probe64"), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_probe_id(ctx, nullptr), VX_ERR_INVALID);
    EXPECT_EQ(std::string(vx_tlm_probe_name(ctx, 0)), n31);
    EXPECT_EQ(vx_tlm_probe_name(ctx, 64), nullptr);
    EXPECT_EQ(vx_tlm_probe_id_at(ctx, 63), 63);
    EXPECT_EQ(vx_tlm_probe_id_at(ctx, 64), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_emit_checked(ctx, 64, 1.0f), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_emit_checked(ctx, -1, 1.0f), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_emit_checked(nullptr, 0, 1.0f), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_block_bound(ctx, 3), 192u);
    EXPECT_EQ(vx_tlm_block_bound(ctx, UINT64_MAX / 2), UINT64_MAX);
    EXPECT_EQ(vx_tlm_block_bound(ctx, 0), 0u);
    EXPECT_EQ(vx_tlm_emitted(ctx, 99), 0u);
    vx_tlm_destroy(ctx);
}

TEST(Tlm, NullContextIsHarmless)
{
    vx_tlm_record r;
    EXPECT_EQ(vx_tlm_capacity(nullptr), 0u);
    EXPECT_EQ(vx_tlm_avail(nullptr), 0u);
    EXPECT_EQ(vx_tlm_read(nullptr, 0, &r, 1), 0u);
    EXPECT_EQ(vx_tlm_dropped(nullptr), 0u);
    EXPECT_EQ(vx_tlm_probe_count(nullptr), 0u);
    EXPECT_EQ(vx_tlm_block_bound(nullptr, 5), 0u);
    EXPECT_EQ(vx_tlm_resize(nullptr, 5), VX_ERR_INVALID);
    const vx_tlm_totals t = vx_tlm_stats(nullptr);
    EXPECT_EQ(t.dropped | t.emitted | t.capacity | t.probe_count, 0u);
    vx_tlm *ctx = vx_tlm_create(4);
    EXPECT_EQ(vx_tlm_read(ctx, 0, nullptr, 4), 0u);
    vx_tlm_destroy(ctx);
}

TEST(Tlm, ReadsSpanThePhysicalEndInOrder)
{
    vx_tlm *ctx = vx_tlm_create(100);  // 256 slots
    const int a = vx_tlm_probe(ctx, "a", 1), b = vx_tlm_probe(ctx, "b", 1);
    EXPECT_EQ(vx_tlm_block_bound(ctx, 10), 20u);
    int next = 0;
    std::vector<vx_tlm_record> out(100);
    // Walk the counters around the ring several times with uneven reads.
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 37; ++i, ++next) {
            vx_tlm_set_stamp(ctx, next);
            vx_tlm_emit_checked(ctx, next % 2 ? b : a, float(next));
        }
        uint64_t k = vx_tlm_read(ctx, 0, out.data(), out.size());
        ASSERT_EQ(k, 37u);
        for (uint64_t i = 0; i < k; ++i) {
            const int want = next - 37 + int(i);
            ASSERT_EQ(out[i].stamp, want);
            ASSERT_EQ(out[i].value, float(want));
            ASSERT_EQ(out[i].probe, want % 2 ? b : a);
        }
    }
    EXPECT_GT(ctx->ring->tail, 5 * vx_ring_slots(ctx->ring));
    EXPECT_EQ(vx_tlm_dropped(ctx), 0u);
    // A bounded read takes n; out_cap bounds it too.
    for (int i = 0; i < 10; ++i)
        vx_tlm_emit_checked(ctx, a, float(i));
    EXPECT_EQ(vx_tlm_read(ctx, 4, out.data(), out.size()), 4u);
    EXPECT_EQ(vx_tlm_read(ctx, 0, out.data(), 2), 2u);
    EXPECT_EQ(out[0].value, 4.0f);
    EXPECT_EQ(vx_tlm_read(ctx, 50, out.data(), out.size()), 4u);
    EXPECT_EQ(out[3].value, 9.0f);
    vx_tlm_destroy(ctx);
}

TEST(Tlm, ResizeGrowsAndKeepsProbes)
{
    vx_tlm *ctx = vx_tlm_create(2);
    const int id = vx_tlm_probe(ctx, "x", 1);
    for (int i = 0; i < 3; ++i)
        vx_tlm_emit_checked(ctx, id, 1.0f);
    EXPECT_EQ(vx_tlm_resize(ctx, 2), VX_OK);  // not above: nothing changes
    EXPECT_EQ(vx_tlm_avail(ctx), 2u);
    EXPECT_EQ(vx_tlm_dropped(ctx), 1u);
    EXPECT_EQ(vx_tlm_resize(ctx, 1000), VX_OK);
    EXPECT_EQ(vx_tlm_capacity(ctx), 1000u);
    EXPECT_EQ(vx_tlm_avail(ctx), 0u);
    EXPECT_EQ(vx_tlm_dropped(ctx), 0u);
    EXPECT_EQ(vx_tlm_probe_id(ctx, "x"), id);
    EXPECT_EQ(vx_tlm_resize(ctx, UINT64_MAX), VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_capacity(ctx), 1000u);
    vx_tlm_emit_checked(ctx, id, 2.0f);
    EXPECT_EQ(drain(ctx).at(0).value, 2.0f);
    vx_tlm_destroy(ctx);
}

TEST(Tlm, DemuxSplitsPerProbe)
{
    const vx_tlm_record recs[] = {{1, 1.f, 0, 0}, {2, 2.f, 1, 0}, {3, 3.f, 0, 0},
                                  {4, 4.f, 2, 0}, {5, 5.f, 0, 0}, {6, 6.f, 70, 0}};
    uint64_t counts[3] = {9, 9, 9};
    vx_tlm_demux_counts(recs, 6, counts, 3);
    EXPECT_EQ(counts[0], 3u);
    EXPECT_EQ(counts[1], 1u);
    EXPECT_EQ(counts[2], 1u);
    vx_tlm_demux_counts(recs, 6, nullptr, 3);  // nothing to do

    float v0[3] = {}, v2[1] = {};
    int64_t s0[2] = {};
    float *values[3] = {v0, nullptr, v2};
    int64_t *stamps[3] = {s0, nullptr, nullptr};
    const uint64_t caps[3] = {3, 1, 1};
    const uint64_t caps_s[3] = {2, 1, 1};
    vx_tlm_demux(recs, 6, values, nullptr, caps, 3);
    EXPECT_EQ(v0[0], 1.f);
    EXPECT_EQ(v0[2], 5.f);
    EXPECT_EQ(v2[0], 4.f);
    // A probe's index advances even without destinations and stops at its cap.
    vx_tlm_demux(recs, 6, nullptr, stamps, caps_s, 3);
    EXPECT_EQ(s0[0], 1);
    EXPECT_EQ(s0[1], 3);
    // Ids beyond n_probes are ignored.
    float only0[3] = {};
    float *one[1] = {only0};
    vx_tlm_demux(recs, 6, one, nullptr, caps, 1);
    EXPECT_EQ(only0[1], 3.f);
}

TEST(Tlm, AttachAndFlushFollowTheObjectConvention)
{
    static const char *const PROBES[] = {"lock", "e", "freq"};
    struct Obj {
        vx_tlm *tlm = nullptr;
        int32_t ids[3] = {-1, -1, -1};
    } o;
    vx_tlm *ctx = vx_tlm_create(64);
    vx_tlm_probe(ctx, "other", 1);
    ASSERT_EQ(vx_tlm_attach(&o.tlm, o.ids, ctx, nullptr, "car", PROBES, 3, 2), VX_OK);
    EXPECT_EQ(o.tlm, ctx);
    EXPECT_EQ(o.ids[0], 1);
    EXPECT_EQ(std::string(vx_tlm_probe_name(ctx, 2)), "car.e");
    const float v[3] = {0.5f, -1.f, 2.f};
    for (int look = 0; look < 3; ++look)
        vx_tlm_flush(o.tlm, o.ids, v, 3);  // decim 2: looks 1 and 3 emit
    const auto recs = drain(ctx);
    ASSERT_EQ(recs.size(), 6u);
    EXPECT_EQ(recs[1].probe, 2);
    EXPECT_EQ(recs[1].value, -1.f);

    // Too long a name, a bad decimation or a full table keeps the old attachment.
    const std::string long_prefix(27, 'p');  // "<27>.freq" is 32 bytes
    EXPECT_EQ(vx_tlm_attach(&o.tlm, o.ids, ctx, long_prefix.c_str(), "car", PROBES, 3, 1),
              VX_ERR_INVALID);
    EXPECT_EQ(vx_tlm_probe_count(ctx), 4u);  // checked before anything was registered
    EXPECT_EQ(vx_tlm_attach(&o.tlm, o.ids, ctx, "rx", "car", PROBES, 3, 0), VX_ERR_INVALID);
    vx_tlm *full = vx_tlm_create(4);
    for (int i = 0; i < 63; ++i)
        vx_tlm_probe(full, name_of(i).c_str(), 1);
    EXPECT_EQ(vx_tlm_attach(&o.tlm, o.ids, full, "rx", "car", PROBES, 3, 1), VX_ERR_INVALID);
    EXPECT_EQ(o.tlm, ctx);
    EXPECT_EQ(o.ids[2], 3);
    // Detach.
    EXPECT_EQ(vx_tlm_attach(&o.tlm, o.ids, nullptr, "rx", "car", PROBES, 3, 1), VX_OK);
    EXPECT_EQ(o.tlm, nullptr);
    vx_tlm_flush(o.tlm, o.ids, v, 3);  // no context: nothing
    // Unregistered ids are skipped.
    const int32_t bad[3] = {-4, 0, 64};  // 0 is "other", decimation 1
    vx_tlm_flush(ctx, bad, v, 3);
    EXPECT_EQ(drain(ctx).size(), 1u);
    vx_tlm_destroy(full);
    vx_tlm_destroy(ctx);
}

// Every object that stores a context holds one reference to it: re-attaching, refusals,
// rebuilt parts and detaching leave the count exact, and the memory goes with the last
// holder after the creator's destroy (the sanitizer build checks the frees themselves).
TEST(Tlm, AttachmentsCountOnTheContext)
{
    vx_tlm *ctx = vx_tlm_create(64);
    agc *a = agc_create(0.0, 0.01, 0.1), *b = agc_create(0.0, 0.01, 0.1);
    RateConverter *rc = RateConverter_create_matched(1, RC_PULSE_RRC, 8, 32, 0.5, 0.35, 2.0);
    ddc *d = ddc_create(0.1, 0.25);
    ASSERT_TRUE(a && b && rc && d);
    ASSERT_EQ(RateConverter_enable_agc(rc, 0.01, 0.5), VX_OK);
    const std::string long_prefix(40, 'p');
    const struct {
        const char *what;
        std::function<int()> call;
        int rc;
        uint64_t refs;
    } steps[] = {
        {"agc a", [&] { return agc_set_telemetry(a, ctx, "a", 1); }, VX_OK, 2},
        {"agc a again", [&] { return agc_set_telemetry(a, ctx, "a", 2); }, VX_OK, 2},
        {"agc b", [&] { return agc_set_telemetry(b, ctx, "b", 1); }, VX_OK, 3},
        {"converter and its agc", [&] { return RateConverter_set_telemetry(rc, ctx, "rx", 1); }, VX_OK, 5},
        {"rebuilt plan", [&] { return RateConverter_set_rate(rc, 0.25); }, VX_OK, 5},
        {"rebuilt agc", [&] { return RateConverter_enable_agc(rc, 0.02, 0.5); }, VX_OK, 5},
        {"prefix too long", [&] { return RateConverter_set_telemetry(rc, ctx, long_prefix.c_str(), 1); },
         VX_ERR_INVALID, 5},
        {"ddc", [&] { return ddc_set_telemetry(d, ctx, "ddc", 1); }, VX_OK, 6},
        {"ddc detached", [&] { return ddc_set_telemetry(d, nullptr, nullptr, 1); }, VX_OK, 5},
        {"ddc again", [&] { return ddc_set_telemetry(d, ctx, "ddc", 1); }, VX_OK, 6},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(s.call(), s.rc) << s.what;
        EXPECT_EQ(ctx->refs, s.refs) << s.what;
    }
    ddc_destroy(d);
    EXPECT_EQ(ctx->refs, 5u);

    // Closed: still allocated for its holders, refused for new ones, emission dropped.
    vx_tlm_destroy(ctx);
    EXPECT_TRUE(vx_tlm_closed(ctx));
    EXPECT_EQ(ctx->refs, 4u);
    EXPECT_EQ(agc_set_telemetry(b, ctx, "c", 1), VX_ERR_INVALID);
    EXPECT_EQ(RateConverter_set_telemetry(rc, ctx, "c", 1), VX_ERR_INVALID);
    const uint64_t dropped = vx_tlm_dropped(ctx), avail = vx_tlm_avail(ctx);
    std::vector<vx_cf32> x(64, vx_cf32{1.f, 0.f}), y(64);
    agc_steps(b, x.data(), y.data(), 64);  // 8 updates of 2 probes
    EXPECT_EQ(vx_tlm_dropped(ctx) - dropped, 16u);
    EXPECT_EQ(vx_tlm_avail(ctx), avail);
    EXPECT_EQ(RateConverter_enable_agc(rc, 0.01, 0.5), VX_OK);  // cannot re-attach: still fine
    EXPECT_EQ(ctx->refs, 3u);

    agc_set_telemetry(a, nullptr, nullptr, 1);
    agc_destroy(b);
    EXPECT_EQ(ctx->refs, 1u);
    RateConverter_destroy(rc);  // the last holder frees the context
    agc_destroy(a);
}
