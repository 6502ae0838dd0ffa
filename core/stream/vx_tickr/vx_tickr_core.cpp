#include "vx_tickr.h"

#include <cerrno>
#include <ctime>

#include "vx_blob.hpp"
#include "vx_interrupt.h"

namespace {

constexpr uint64_t NS_MAX = UINT64_MAX;

uint64_t now_ns(clockid_t id)
{
    timespec t;
    clock_gettime(id, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

uint64_t sat_add(uint64_t a, uint64_t b) { return a > NS_MAX - b ? NS_MAX : a + b; }
uint64_t sat_sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

// Offset of sample k in extended precision, saturated to the 64-bit range.
uint64_t offset_ns(const vx_tickr *c, uint64_t k)
{
    if (!(c->fs > 0.0))
        return 0;
    const long double t = static_cast<long double>(k) / c->fs * 1e9L + 0.5L;
    return t >= 18446744073709551616.0L ? NS_MAX : static_cast<uint64_t>(t);
}

// Sleep until the monotonic clock reaches `deadline`, in slices of at most latency_ms,
// reading the clock and the interrupt flag after each one.
void sleep_until(uint64_t deadline)
{
    for (uint64_t now = vx_mono_ns(); now < deadline && !vx_interrupted(); now = vx_mono_ns()) {
        const uint64_t slice = uint64_t{vx_interrupt_latency_ms()} * 1000000u;
        const uint64_t wake = deadline - now < slice ? deadline : now + slice;
        const timespec t = {static_cast<time_t>(wake / 1000000000u), static_cast<long>(wake % 1000000000u)};
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR && vx_interrupted())
            return;
    }
}

}  // namespace

extern "C" {

VX_API uint64_t vx_mono_ns(void) { return now_ns(CLOCK_MONOTONIC); }
VX_API uint64_t vx_real_ns(void) { return now_ns(CLOCK_REALTIME); }

VX_API void vx_tickr_init(vx_tickr *c, int32_t resync, double fs)
{
    *c = vx_tickr{};
    c->fs = fs;
    c->resync = resync;
    c->epoch_mono_ns = vx_mono_ns();
    c->epoch_real_ns = vx_real_ns();
}

VX_API vx_tickr *vx_tickr_create(int32_t resync, double fs)
{
    if (!vx_finite(fs))
        return nullptr;
    vx_tickr *c = vx::alloc_object<vx_tickr>();
    if (c)
        vx_tickr_init(c, resync, fs);
    return c;
}

VX_API void vx_tickr_destroy(vx_tickr *c) { vx_free(c); }

VX_API void vx_tickr_reset(vx_tickr *c) { vx_tickr_init(c, c->resync, c->fs); }

VX_API double vx_tickr_pace(vx_tickr *c, uint64_t count)
{
    c->n = sat_add(c->n, count);
    const uint64_t deadline = sat_add(c->epoch_mono_ns, offset_ns(c, c->n));
    const uint64_t now = vx_mono_ns();
    if (now < deadline) {
        sleep_until(deadline);
        return static_cast<double>(deadline - now) * 1e-9;
    }
    const uint64_t late = now - deadline;
    c->underruns += 1;
    if (late > c->max_lateness_ns)
        c->max_lateness_ns = late;
    if (c->resync)
        c->epoch_mono_ns = sat_add(c->epoch_mono_ns, late);
    return -static_cast<double>(late) * 1e-9;
}

VX_API uint64_t vx_tickr_stamp_at(const vx_tickr *c, uint64_t k)
{
    return sat_add(c->epoch_real_ns, offset_ns(c, k));
}

VX_API uint64_t vx_tickr_stamp(const vx_tickr *c) { return vx_tickr_stamp_at(c, c->n); }

VX_API int vx_tickr_track(vx_tickr *c, uint64_t observed_ns, uint64_t k_obs, uint64_t tolerance_ns)
{
    if (k_obs < c->n)
        return 0;  // stale, reordered or repeated: the epoch never moves backward
    if (c->has_anchor) {
        const uint64_t predicted = vx_tickr_stamp_at(c, k_obs);
        const uint64_t err = observed_ns > predicted ? observed_ns - predicted : predicted - observed_ns;
        c->n = k_obs;
        if (err <= tolerance_ns)
            return 0;
    }
    c->epoch_real_ns = sat_sub(observed_ns, offset_ns(c, k_obs));
    c->n = k_obs;
    c->has_anchor = 1;
    return 1;
}

VX_API void vx_tickr_resync(vx_tickr *c)
{
    const uint64_t due = sat_add(c->epoch_mono_ns, offset_ns(c, c->n));
    const uint64_t now = vx_mono_ns();
    if (due < now)
        c->epoch_mono_ns = sat_add(c->epoch_mono_ns, now - due);
}

VX_API void vx_tickr_stats(const vx_tickr *c, vx_tickr *out) { *out = *c; }

}  // extern "C"
