#include "fft.h"

#include <fftw3.h>

#include <climits>
#include <initializer_list>
#include <cstring>
#include <type_traits>

#include "vx_blob.hpp"

struct vx_fft_plan {
    uint64_t size;  // samples per transform
    // Double-precision engine: every plan has it (cf64 input, and the widened paths).
    fftw_plan p64;
    vx_cf64 *in64, *out64;
    // Single-precision engine: only when every dimension qualifies, else all NULL.
    fftwf_plan p32;
    vx_cf32 *in32, *out32;
};

struct fft {
    vx_fft_plan *plan;
    uint64_t n;
    int sign;
};

namespace {

// The planner is shared by every plan of the process (and by every module that links
// FFTW): make it safe for concurrent planning once, before the first plan.
void planner_thread_safe_once()
{
    static const bool done = [] {
        fftw_make_planner_thread_safe();
        fftwf_make_planner_thread_safe();
        return true;
    }();
    (void)done;
}

// The two engines behind one interface: buffers, alignment test and execution.
template <class T> struct Engine;

template <> struct Engine<vx_cf64> {
    static vx_cf64 *in(const vx_fft_plan *p) { return p->in64; }
    static vx_cf64 *out(const vx_fft_plan *p) { return p->out64; }
    // FFTW may run a plan on other arrays only at the alignment it was planned with.
    static bool aligned_like_plan(const vx_fft_plan *p, const void *a)
    {
        return fftw_alignment_of(reinterpret_cast<double *>(const_cast<void *>(a))) ==
               fftw_alignment_of(reinterpret_cast<double *>(p->in64));
    }
    static void exec(const vx_fft_plan *p, const vx_cf64 *in, vx_cf64 *out)
    {
        // The out-of-place plan preserves its input: the const cast is FFTW's signature only.
        fftw_execute_dft(p->p64, reinterpret_cast<fftw_complex *>(const_cast<vx_cf64 *>(in)),
                         reinterpret_cast<fftw_complex *>(out));
    }
};

template <> struct Engine<vx_cf32> {
    static vx_cf32 *in(const vx_fft_plan *p) { return p->in32; }
    static vx_cf32 *out(const vx_fft_plan *p) { return p->out32; }
    static bool aligned_like_plan(const vx_fft_plan *p, const void *a)
    {
        return fftwf_alignment_of(reinterpret_cast<float *>(const_cast<void *>(a))) ==
               fftwf_alignment_of(reinterpret_cast<float *>(p->in32));
    }
    static void exec(const vx_fft_plan *p, const vx_cf32 *in, vx_cf32 *out)
    {
        fftwf_execute_dft(p->p32, reinterpret_cast<fftwf_complex *>(const_cast<vx_cf32 *>(in)),
                          reinterpret_cast<fftwf_complex *>(out));
    }
};

bool overlap(const void *a, const void *b, uint64_t bytes)
{
    const auto *pa = static_cast<const char *>(a);
    const auto *pb = static_cast<const char *>(b);
    return pa < pb + bytes && pb < pa + bytes;
}

template <class O, class T> O narrow(const T &v)
{
    using R = decltype(O::re);
    return O{static_cast<R>(v.re), static_cast<R>(v.im)};
}

// One transform on engine T. `load(buf, m)` writes the m input samples into the engine's
// aligned input buffer; `direct`, when given, is the caller's own input of the engine's
// type holding the full plan size, which FFTW may read in place. The direct call and the
// buffered one run the same plan at the same alignment, so they give the same bits.
template <class T, class O, class Load>
uint64_t run(const vx_fft_plan *p, const T *direct, uint64_t m, Load load, O *out, uint64_t cap)
{
    using E = Engine<T>;
    const uint64_t n = p->size;
    const uint64_t k = cap < n ? cap : n;
    const T *src;
    if (direct && E::aligned_like_plan(p, direct)) {
        src = direct;
    } else {
        T *in = E::in(p);
        load(in, m);
        if (m < n)
            std::memset(static_cast<void *>(in + m), 0, (n - m) * sizeof(T));
        src = in;
    }
    if constexpr (std::is_same_v<T, O>) {
        if (k == n && E::aligned_like_plan(p, out) && !overlap(src, out, n * sizeof(T))) {
            E::exec(p, src, out);
            return n;
        }
    }
    T *res = E::out(p);
    E::exec(p, src, res);
    for (uint64_t i = 0; i < k; ++i)
        out[i] = narrow<O>(res[i]);
    return k;
}

uint64_t clamp_len(uint64_t len, uint64_t n) { return len < n ? len : n; }

// Complex samples of type S converted element-wise into the engine buffer.
template <class S> auto copy_from(const S *x)
{
    return [x](auto *buf, uint64_t m) {
        using T = std::remove_pointer_t<decltype(buf)>;
        if constexpr (std::is_same_v<S, T>) {
            if (m)
                std::memcpy(static_cast<void *>(buf), x, m * sizeof(T));
        } else {
            for (uint64_t i = 0; i < m; ++i)
                buf[i] = T{x[i].re, x[i].im};
        }
    };
}

// Integer I/Q scaled so that full scale maps to ±1.0: the float is formed first, as the
// single-precision engine uses it, and widened exactly for the double one.
template <class I> auto scale_from(const I *iq)
{
    constexpr float scale = std::is_same_v<I, int16_t> ? 0x1p-15f : 0x1p-7f;
    return [iq](auto *buf, uint64_t m) {
        for (uint64_t i = 0; i < m; ++i)
            buf[i] = {static_cast<float>(iq[2 * i]) * scale, static_cast<float>(iq[2 * i + 1]) * scale};
    };
}

uint64_t exec_cf64(vx_fft_plan *p, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap)
{
    if (!p || !out)
        return 0;
    const uint64_t m = x ? clamp_len(len, p->size) : 0;
    return run<vx_cf64>(p, m == p->size ? x : nullptr, m, copy_from(x), out, cap);
}

uint64_t exec_cf32(vx_fft_plan *p, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    if (!p || !out)
        return 0;
    const uint64_t m = x ? clamp_len(len, p->size) : 0;
    if (p->p32)
        return run<vx_cf32>(p, m == p->size ? x : nullptr, m, copy_from(x), out, cap);
    return run<vx_cf64>(p, nullptr, m, copy_from(x), out, cap);
}

template <class I> uint64_t exec_int(vx_fft_plan *p, const I *iq, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    if (!p || !out)
        return 0;
    const uint64_t m = iq ? clamp_len(len / 2, p->size) : 0;
    if (p->p32)
        return run<vx_cf32>(p, nullptr, m, scale_from(iq), out, cap);
    return run<vx_cf64>(p, nullptr, m, scale_from(iq), out, cap);
}

void release_single(vx_fft_plan *p)
{
    if (p->p32)
        fftwf_destroy_plan(p->p32);
    fftwf_free(p->in32);
    fftwf_free(p->out32);
    p->p32 = nullptr;
    p->in32 = p->out32 = nullptr;
}

vx_fft_plan *make_plan(int rank, const int *dims, int sign)
{
    uint64_t size = 1;
    for (int d = 0; d < rank; ++d)
        if (dims[d] <= 0 || !vx_size_mul(size, static_cast<uint64_t>(dims[d]), &size))
            return nullptr;
    uint64_t bytes64;
    if (!vx_size_mul(size, sizeof(vx_cf64), &bytes64))
        return nullptr;
    planner_thread_safe_once();
    vx_fft_plan *p = vx::alloc_object<vx_fft_plan>();
    if (!p)
        return nullptr;
    p->size = size;
    const int dir = sign < 0 ? FFTW_FORWARD : FFTW_BACKWARD;
    // ESTIMATE plans are a pure function of size, direction and alignment: deterministic.
    const unsigned flags = FFTW_ESTIMATE | FFTW_PRESERVE_INPUT;
    p->in64 = static_cast<vx_cf64 *>(fftw_malloc(bytes64));
    p->out64 = static_cast<vx_cf64 *>(fftw_malloc(bytes64));
    if (p->in64 && p->out64)
        p->p64 = fftw_plan_dft(rank, dims, reinterpret_cast<fftw_complex *>(p->in64),
                               reinterpret_cast<fftw_complex *>(p->out64), dir, flags);
    if (!p->p64) {
        vx_fft_destroy_plan(p);
        return nullptr;
    }
    bool single = true;
    for (int d = 0; d < rank; ++d)
        single = single && vx_fft_single_ok(static_cast<uint64_t>(dims[d]));
    if (single) {
        p->in32 = static_cast<vx_cf32 *>(fftwf_malloc(size * sizeof(vx_cf32)));
        p->out32 = static_cast<vx_cf32 *>(fftwf_malloc(size * sizeof(vx_cf32)));
        if (p->in32 && p->out32)
            p->p32 = fftwf_plan_dft(rank, dims, reinterpret_cast<fftwf_complex *>(p->in32),
                                    reinterpret_cast<fftwf_complex *>(p->out32), dir, flags);
        if (!p->p32)
            release_single(p);  // not an error: the widened double path serves instead
    }
    return p;
}

bool dim_ok(uint64_t n) { return n >= 1 && n <= VX_FFT_MAX_DIM; }

}  // namespace

extern "C" {

VX_API int vx_fft_single_ok(uint64_t len)
{
    if (len < 16 || len % 16 != 0)
        return 0;
    for (uint64_t f : {2u, 3u, 5u})
        while (len % f == 0)
            len /= f;
    return len == 1;
}

VX_API vx_fft_plan *vx_fft_plan_1d(uint64_t n, int sign)
{
    if (!dim_ok(n))
        return nullptr;
    const int dims[1] = {static_cast<int>(n)};
    return make_plan(1, dims, sign);
}

VX_API vx_fft_plan *vx_fft_plan_2d(uint64_t ny, uint64_t nx, int sign)
{
    if (!dim_ok(ny) || !dim_ok(nx))
        return nullptr;
    const int dims[2] = {static_cast<int>(ny), static_cast<int>(nx)};
    return make_plan(2, dims, sign);
}

VX_API void vx_fft_destroy_plan(vx_fft_plan *p)
{
    if (!p)
        return;
    release_single(p);
    if (p->p64)
        fftw_destroy_plan(p->p64);
    fftw_free(p->in64);
    fftw_free(p->out64);
    vx_free(p);
}

VX_API uint64_t vx_fft_plan_size(const vx_fft_plan *p) { return p ? p->size : 0; }

VX_API uint64_t vx_fft_execute_cf64(vx_fft_plan *p, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap)
{
    return exec_cf64(p, x, len, out, cap);
}

VX_API uint64_t vx_fft_execute_cf32(vx_fft_plan *p, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    return exec_cf32(p, x, len, out, cap);
}

VX_API uint64_t vx_fft_execute_ci16(vx_fft_plan *p, const int16_t *iq, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    return exec_int(p, iq, len, out, cap);
}

VX_API uint64_t vx_fft_execute_ci8(vx_fft_plan *p, const int8_t *iq, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    return exec_int(p, iq, len, out, cap);
}

/* ---- FFT --------------------------------------------------------------------------- */

VX_API fft *fft_create(uint64_t n, int sign, int)
{
    fft *f = vx::alloc_object<fft>();
    if (!f)
        return nullptr;
    f->plan = vx_fft_plan_1d(n, sign);
    if (!f->plan) {
        vx_free(f);
        return nullptr;
    }
    f->n = n;
    f->sign = sign;
    return f;
}

VX_API void fft_destroy(fft *f)
{
    if (!f)
        return;
    vx_fft_destroy_plan(f->plan);
    vx_free(f);
}

VX_API void fft_reset(fft *) {}
VX_API uint64_t fft_get_n(const fft *f) { return f->n; }
VX_API int fft_get_sign(const fft *f) { return f->sign; }

VX_API uint64_t fft_execute_cf64(fft *f, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap)
{
    return f ? exec_cf64(f->plan, x, len, out, cap) : 0;
}
VX_API uint64_t fft_execute_cf32(fft *f, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    return f ? exec_cf32(f->plan, x, len, out, cap) : 0;
}
VX_API uint64_t fft_execute_inplace_cf64(fft *f, const vx_cf64 *x, uint64_t len, vx_cf64 *out, uint64_t cap)
{
    return fft_execute_cf64(f, x, len, out, cap);
}
VX_API uint64_t fft_execute_inplace_cf32(fft *f, const vx_cf32 *x, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    return fft_execute_cf32(f, x, len, out, cap);
}
VX_API uint64_t fft_execute_ci16(fft *f, const int16_t *iq, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    return f ? exec_int(f->plan, iq, len, out, cap) : 0;
}
VX_API uint64_t fft_execute_ci8(fft *f, const int8_t *iq, uint64_t len, vx_cf32 *out, uint64_t cap)
{
    return f ? exec_int(f->plan, iq, len, out, cap) : 0;
}
VX_API uint64_t fft_execute_max_out(const fft *f) { return f->n; }

}  // extern "C"
