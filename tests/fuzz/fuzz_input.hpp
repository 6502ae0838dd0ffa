// What every fuzz target shares: reading typed values off the fuzz input, the hostile
// values creators are fed, and running a block operation with the room its bound asks for.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "vx_base.h"

// Allocations beyond 64 MB fail (NULL) instead of ending the run, so the creators' refusal
// and cleanup paths are exercised and a hostile size cannot make one run take seconds;
// leaks are still reported.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=64:detect_leaks=1";
}

namespace fuzz {

// A property the object broke: stop the run with a message libFuzzer records as a crash.
[[noreturn]] inline void fail(const char *target, const char *what)
{
    std::fprintf(stderr, "\n%s: %s\n", target, what);
    __builtin_trap();
}

// The fuzz input, read front to back; past its end every value reads as zero.
class Input {
  public:
    Input(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    template <class T> T take()
    {
        T v{};
        const size_t k = n_ < sizeof(T) ? n_ : sizeof(T);
        std::memcpy(&v, p_, k);
        p_ += k;
        n_ -= k;
        return v;
    }
    uint8_t byte() { return take<uint8_t>(); }
    // A small count in [lo, lo + span).
    uint64_t small(uint64_t lo, uint64_t span) { return lo + byte() % span; }
    // A size from the hostile table, or raw bits.
    uint64_t size()
    {
        static constexpr uint64_t H[] = {0, 1, 2, 3, 4, 7, 8, 15, 16, 17, 1023, 1024, 1025, 65535,
                                         65536, 65537, (1u << 26) + 1, 0x7fffffffu, 0x80000000u,
                                         0xffffffffu, 0x100000000u, 0x100000001u, 1ull << 40,
                                         1ull << 53, 1ull << 62, ~0ull >> 1, 1ull << 63, ~0ull - 1, ~0ull};
        const uint8_t sel = byte();
        return sel < 2 * std::size(H) ? H[sel % std::size(H)] : take<uint64_t>();
    }
    // A double from the hostile table, or raw bits (NaNs and infinities included).
    double real()
    {
        static constexpr double H[] = {0.0, -0.0, 1e-310, 1e-300, 1e-9, 0.001, 0.01, 0.25, 0.4999999,
                                       0.5, 0.5000001, 0.999999, 1.0, 1.0000001, 2.0, 3.0, 4.0, 8.0,
                                       65536.0, 65537.0, 1e9, 1e18, 1e155, 1e308, -1e-9, -0.5,
                                       -1.0, -1e308, __builtin_inf(), -__builtin_inf(),
                                       __builtin_nan("")};
        const uint8_t sel = byte();
        return sel < 2 * std::size(H) ? H[sel % std::size(H)] : take<double>();
    }
    const uint8_t *rest() const { return p_; }
    size_t left() const { return n_; }

  private:
    const uint8_t *p_;
    size_t n_;
};

// A fixed stream to feed objects after creation or a restore: tones, a full-scale step
// and one NaN, so a hostile state meets ordinary and awkward samples alike.
inline const std::vector<vx_cf32> &samples()
{
    static const std::vector<vx_cf32> x = [] {
        std::vector<vx_cf32> v(97);
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = {static_cast<float>((i * 37 % 19) / 9.5 - 1.0), static_cast<float>(i % 2 ? 0.7 : -0.3)};
        v[40] = {1e30f, -1e30f};
        v[60] = {__builtin_nanf(""), 0.0f};
        return v;
    }();
    return x;
}
inline std::vector<float> real_samples()
{
    std::vector<float> r;
    for (const vx_cf32 &s : samples())
        r.push_back(s.re);
    return r;
}

// The allocation cap of the options above: a state blob beyond it cannot be held here.
constexpr uint64_t kMaxAlloc = uint64_t{64} << 20;

// Room beyond which a bound counts as absurd for the short blocks fed here.
constexpr uint64_t kMaxRoom = uint64_t{1} << 20;

// Run f(y, cap) with `need` outputs of room, as a caller sizing from the bound would. A
// bound beyond kMaxRoom for this short input is a finding after a restore (the object's
// parameters are small there); from hostile construction parameters (an upsampling rate
// of 1e9) it is the caller's to refuse, and the block is not run.
template <class F> void with_room(const char *target, uint64_t need, F &&f)
{
    if (need > kMaxRoom) {
#ifndef VELTRA_FUZZ_CREATE
        fail(target, "output bound is absurd for a short block");
#endif
        return;
    }
    // Left uninitialised: zeroing a room of up to 8 MB on every run cost more than the
    // operation (the sanitizer still guards the end of the allocation).
    const std::unique_ptr<vx_cf32[]> y(new vx_cf32[need ? need : 1]);
    const uint64_t got = f(y.get(), need);
    if (got > need)
        fail(target, "block operation wrote more than its room");
}

}  // namespace fuzz
