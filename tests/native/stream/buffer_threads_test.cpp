// Stream buffer across two threads: a producer writes blocks of sequence numbers (whole
// blocks and partial writes), a consumer waits for, checks and releases them. Nothing may
// be lost, duplicated or torn; end of stream and interrupts end the wait. Also run under
// ThreadSanitizer (`make tsan`).
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "buffer.h"
#include "vx_interrupt.h"

namespace {

// 10^8 under ThreadSanitizer, which checks the ordering itself; fewer in the other builds,
// where two spinning threads on a small machine only cost time.
#ifdef VELTRA_TSAN_BUILD
constexpr uint64_t TOTAL = 100'000'000;
#else
constexpr uint64_t TOTAL = 10'000'000;
#endif

}  // namespace

TEST(BufferThreads, SequenceNumbersArriveInOrderOnce)
{
    vx_buffer *b = buffer_create(10000, sizeof(uint64_t));  // not a power of two
    ASSERT_NE(b, nullptr);
    std::thread producer([b] {
        std::vector<uint64_t> block(4096);
        uint64_t next = 0;
        for (uint64_t round = 0; next < TOTAL; ++round) {
            const uint64_t n = std::min<uint64_t>(1 + round % 4096, TOTAL - next);
            for (uint64_t i = 0; i < n; ++i)
                block[i] = next + i;
            if (round % 2) {
                while (!buffer_write(b, block.data(), n)) {
                }
                next += n;
            } else {
                next += buffer_write_some(b, block.data(), n);
            }
        }
        buffer_close(b);
    });
    uint64_t expect = 0, bad = 0;
    for (uint64_t want = 1;; want = want % 3000 + 1) {
        const int rc = buffer_wait(b, want, 1);
        if (rc == VX_ERR_EOF) {
            const uint64_t rest = buffer_available(b);
            if (rest == 0)
                break;
            want = rest;
            ASSERT_EQ(buffer_wait(b, want, 1), VX_OK);
        } else {
            ASSERT_EQ(rc, VX_OK);
        }
        const auto *v = static_cast<const uint64_t *>(buffer_view(b));
        for (uint64_t i = 0; i < want; ++i)
            bad += v[i] != expect + i;
        expect += want;
        ASSERT_EQ(buffer_consume(b, want), VX_OK);
    }
    producer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(expect, TOTAL);
    EXPECT_EQ(buffer_wait(b, 1, 1), VX_ERR_EOF);
    buffer_release(b);
}

TEST(BufferThreads, InterruptEndsAWait)
{
    vx_buffer *b = buffer_create(64, 8);
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        vx_interrupt();
    });
    EXPECT_EQ(buffer_wait(b, 1, 1), VX_ERR_INTERRUPTED);
    stopper.join();
    vx_resume();
    EXPECT_EQ(buffer_wait(b, 1, 0), VX_ERR_TIMEOUT);
    EXPECT_EQ(buffer_wait(b, 65, 1), VX_ERR_INVALID);
    buffer_release(b);
}

TEST(BufferThreads, RefusalsAndCounts)
{
    EXPECT_EQ(buffer_create(0, 8), nullptr);
    EXPECT_EQ(buffer_create((uint64_t{1} << 63) + 1, 8), nullptr);
    vx_buffer *b = buffer_create(4, 8);
    const uint64_t x[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(buffer_write(b, x, 5), 0);
    EXPECT_EQ(buffer_write(b, x, 3), 1);
    EXPECT_EQ(buffer_write(b, x, 2), 0);
    EXPECT_EQ(vx_ring_dropped(b->ring), 7u);
    EXPECT_EQ(buffer_write_some(b, x + 3, 2), 1u);
    EXPECT_EQ(buffer_space(b), 0u);
    EXPECT_EQ(buffer_consume(b, 5), VX_ERR_INVALID);
    EXPECT_EQ(buffer_available(b), 4u);
    buffer_retain(b);  // a view outliving the handle
    buffer_release(b);
    EXPECT_EQ(static_cast<const uint64_t *>(buffer_view(b))[3], 4u);
    buffer_reset(b);
    EXPECT_EQ(buffer_available(b), 0u);
    EXPECT_EQ(vx_ring_dropped(b->ring), 7u);
    buffer_release(b);
}
