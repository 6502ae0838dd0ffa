// One producer thread emitting while one consumer thread drains: every record is read
// exactly once, in order, whole, or counted as dropped. Also built with ThreadSanitizer
// (`make tsan`), which checks the release/acquire publication itself.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "vx_tlm.h"

namespace {

// Records to emit: VX_STRESS_RECORDS when set, else ten million.
uint64_t record_count()
{
    const char *s = std::getenv("VX_STRESS_RECORDS");
    return s ? std::strtoull(s, nullptr, 10) : 10'000'000;
}

}  // namespace

TEST(TlmThreads, EveryRecordIsReadOnceInOrderOrCountedAsDropped)
{
    const uint64_t total = record_count();
    constexpr int PROBES = 3;
    vx_tlm *ctx = vx_tlm_create(4096);
    ASSERT_NE(ctx, nullptr);
    for (int p = 0; p < PROBES; ++p)
        ASSERT_EQ(vx_tlm_probe(ctx, std::to_string(p).c_str(), 1), p);

    // Record i carries stamp i, probe i % 3 and value i mod 2^24 (exact in float32).
    std::atomic<bool> finished{false};
    std::thread producer([&] {
        for (uint64_t i = 0; i < total; ++i) {
            vx_tlm_set_stamp(ctx, static_cast<int64_t>(i));
            vx_tlm_emit_checked(ctx, static_cast<int32_t>(i % PROBES),
                                static_cast<float>(i & 0xFFFFFF));
        }
        finished.store(true, std::memory_order_release);
    });

    uint64_t read = 0, bad = 0;
    int64_t last = -1;
    std::vector<vx_tlm_record> buf(5000);
    // Let the ring overflow once so the drop path runs too, then drain in uneven bites.
    while (vx_tlm_dropped(ctx) == 0 && total > 4096)
        std::this_thread::yield();
    for (uint64_t turn = 0;; ++turn) {
        const bool done = finished.load(std::memory_order_acquire);
        const uint64_t want = 1 + (turn * 7919) % buf.size();
        const uint64_t k = vx_tlm_read(ctx, want, buf.data(), buf.size());
        for (uint64_t j = 0; j < k; ++j) {
            const vx_tlm_record &r = buf[j];
            const auto s = static_cast<uint64_t>(r.stamp);
            bad += r.stamp <= last || r.probe != s % PROBES ||
                   r.value != static_cast<float>(s & 0xFFFFFF) || r.zero != 0;
            last = r.stamp;
        }
        read += k;
        if (done && k == 0)
            break;
    }
    producer.join();

    EXPECT_EQ(bad, 0u) << "duplicated, reordered or torn records";
    EXPECT_EQ(read + vx_tlm_dropped(ctx), total);
    EXPECT_EQ(vx_tlm_stats(ctx).emitted, read);
    EXPECT_GT(vx_tlm_dropped(ctx), 0u);
    EXPECT_GT(read, 0u);
    vx_tlm_destroy(ctx);
}

// The owner closes the context while an attached object emits from another thread: every
// emission is either in the ring or counted as dropped (all of those after the close), and
// the context is freed only when the object detaches.
TEST(TlmThreads, ClosingWhileAnAttachedObjectEmits)
{
    static const char *const PROBES[] = {"x"};
    struct Obj {
        vx_tlm *tlm = nullptr;
        int32_t ids[1] = {-1};
    } o;
    vx_tlm *ctx = vx_tlm_create(1 << 16);
    ASSERT_EQ(vx_tlm_attach(&o.tlm, o.ids, ctx, "o", "o", PROBES, 1, 1), VX_OK);
    std::atomic<bool> started{false};
    uint64_t emitted = 0;
    std::thread producer([&] {
        const float v = 1.f;
        for (uint64_t after = 0; after < 1000;) {
            const int closed = vx_tlm_closed(o.tlm);  // before the flush: that one is dropped
            vx_tlm_flush(o.tlm, o.ids, &v, 1);
            after += closed;
            if (++emitted == 100)
                started.store(true, std::memory_order_release);
        }
    });
    while (!started.load(std::memory_order_acquire))
        std::this_thread::yield();
    vx_tlm_destroy(ctx);
    producer.join();
    EXPECT_EQ(vx_tlm_avail(ctx) + vx_tlm_dropped(ctx), emitted);
    EXPECT_GE(vx_tlm_dropped(ctx), 1000u);
    vx_tlm_swap(&o.tlm, nullptr);  // the last reference: freed here
}
