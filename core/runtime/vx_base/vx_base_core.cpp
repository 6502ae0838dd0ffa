// Shared conventions: blob header, checked sizes, guarded conversions.
#include "vx_base.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

extern "C" {

VX_API void vx_state_write_header(void *blob, uint32_t magic, uint16_t version, uint64_t size)
{
    auto *b = static_cast<uint8_t *>(blob);
    const uint32_t size32 = static_cast<uint32_t>(size);
    const uint32_t zero = 0;
    std::memcpy(b + 0, &magic, 4);
    std::memcpy(b + 4, &version, 2);
    b[6] = VX_STATE_FORMAT;
    b[7] = 0;
    std::memcpy(b + 8, &size32, 4);
    std::memcpy(b + 12, &zero, 4);
}

VX_API int vx_state_check_header(const void *blob, uint32_t magic, uint16_t version,
                                 uint64_t size)
{
    if (!blob)
        return VX_ERR_INVALID;
    const auto *b = static_cast<const uint8_t *>(blob);
    uint32_t m, s;
    uint16_t v;
    std::memcpy(&m, b + 0, 4);
    std::memcpy(&v, b + 4, 2);
    std::memcpy(&s, b + 8, 4);
    if (m != magic || v != version || b[6] != VX_STATE_FORMAT ||
        s != static_cast<uint32_t>(size))
        return VX_ERR_INVALID;
    return VX_OK;
}

VX_API int vx_size_mul(uint64_t a, uint64_t b, uint64_t *out)
{
    uint64_t r;
    if (__builtin_mul_overflow(a, b, &r) || r > VX_SIZE_LIMIT)
        return 0;
    if (out)
        *out = r;
    return 1;
}

VX_API void *vx_calloc(uint64_t n, uint64_t size)
{
    uint64_t bytes;
    if (!vx_size_mul(n, size, &bytes))
        return nullptr;
    return std::calloc(bytes ? bytes : 1, 1);
}

VX_API void vx_free(void *p) { std::free(p); }

VX_API int64_t vx_double_to_i64(double x, int64_t lo, int64_t hi, int64_t nan_value)
{
    if (std::isnan(x))
        return nan_value;
    if (x <= static_cast<double>(lo))
        return lo;
    if (x >= static_cast<double>(hi))
        return hi;
    return static_cast<int64_t>(x);
}

VX_API uint32_t vx_phase_inc(double norm_freq) { return vx_phase_inc_of(norm_freq); }

VX_API const char *vx_simd_level(void)
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return "avx512f";
    if (__builtin_cpu_supports("avx2"))
        return "avx2";
    return "sse2";
}

}  // extern "C"
