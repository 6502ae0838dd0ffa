/* Conventions shared by every core object: status codes, sample types, the state-blob
 * header and magic table, the capacity rule, checked sizes and guarded conversions.
 * Compiles as C99 and C++. */
#ifndef VX_BASE_H
#define VX_BASE_H

#include <math.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every core function is exported under its own name; everything else stays hidden. */
#define VX_API __attribute__((visibility("default")))

/* Status codes: 0 success, positive outcomes, -4 the one general error. */
enum {
    VX_OK = 0,
    VX_ERR_EOF = 1,          /* the producer closed the stream */
    VX_ERR_TIMEOUT = 2,      /* a bounded wait expired */
    VX_ERR_INTERRUPTED = 3,  /* a stop was requested while waiting */
    VX_ERR_INVALID = -4      /* invalid argument, rejected blob, failed setup */
};

/* Bit order within a byte for every bit-string operation (NumPy's `bitorder`). */
enum { VX_BITORDER_BIG = 0, VX_BITORDER_LITTLE = 1 };

/* Complex samples at the ABI, layout-identical to std::complex<float|double>. */
typedef struct { float re, im; } vx_cf32;
typedef struct { double re, im; } vx_cf64;

/* Telemetry context (opaque; an attached object holds one reference to it). */
typedef struct vx_tlm vx_tlm;

/* ---- state blobs ------------------------------------------------------------------
 * 16-byte little-endian header: u32 magic, u16 version, u8 format (=1), u8 pad,
 * u32 size (whole blob), u32 reserved; then the payload. */
#define VX_STATE_HEADER_BYTES 16u
#define VX_STATE_FORMAT 1u

/* Four characters in file order: the first in the lowest byte. */
#define VX_FOURCC(a, b, c, d) \
    ((uint32_t)(uint8_t)(a) | (uint32_t)(uint8_t)(b) << 8 | (uint32_t)(uint8_t)(c) << 16 | \
     (uint32_t)(uint8_t)(d) << 24)

/* Every blob of the package: object, magic characters, payload layout version. */
#define VX_BLOB_TABLE(X)                          \
    X(LOOP_FILTER, 'L', 'P', 'F', 'L', 1)         \
    X(LOCKDET, 'L', 'K', 'D', 'T', 1)             \
    X(NCO, 'N', 'C', 'O', '_', 1)                 \
    X(COSTAS, 'C', 'S', 'T', 'S', 3)              \
    X(CARRIER_MPSK, 'C', 'M', 'P', 'K', 1)        \
    X(CARRIER_NDA, 'C', 'N', 'D', 'A', 5)         \
    X(SYMSYNC, 'S', 'Y', 'N', 'C', 5)             \
    X(RATESYNC_LOOP, 'R', 'S', 'L', 'P', 2)       \
    X(RATESYNC, 'R', 'A', 'T', 'S', 2)            \
    X(DLL, 'D', 'L', 'L', ' ', 13)                \
    X(MPSK_RX_LOOPS, 'M', 'R', 'X', 'L', 7)       \
    X(MPSK_RECEIVER, 'M', 'P', 'S', 'K', 6)       \
    X(MPSK_RECEIVER_R, 'M', 'P', 'S', 'R', 2)     \
    X(LO, 'L', 'O', '_', '_', 1)                  \
    X(DDC, 'D', 'D', 'C', '_', 1)                 \
    X(DDCR, 'D', 'D', 'C', 'R', 1)                \
    X(FIR, 'F', 'I', 'R', '_', 1)                 \
    X(BOXCAR, 'B', 'O', 'X', 'C', 1)              \
    X(HBDECIM, 'H', 'B', 'D', 'C', 1)             \
    X(HBDECIM_R2C, 'H', 'B', 'R', '2', 1)         \
    X(CIC, 'C', 'I', 'C', '_', 2)                 \
    X(RESAMP, 'R', 'S', 'M', 'P', 2)              \
    X(FARROW, 'F', 'R', 'R', 'W', 1)              \
    X(RATE_CONVERTER, 'R', 'C', 'V', 'T', 2)      \
    X(PSD, 'P', 'S', 'D', ' ', 1)                 \
    X(CORR, 'C', 'O', 'R', 'R', 1)                \
    X(CORR2D, 'C', 'R', '2', 'D', 1)              \
    X(DETECTOR, 'D', 'E', 'T', '1', 2)            \
    X(DETECTOR2D, 'D', 'E', 'T', '2', 2)          \
    X(ACC_TRACE, 'A', 'T', 'R', 'C', 1)           \
    X(CARRIER_ACQ, 'C', 'A', 'Q', 'R', 2)         \
    X(F32_TO_I8, 'F', '2', '_', '8', 1)           \
    X(F32_TO_I16, 'F', '2', '1', '6', 1)          \
    X(F32_TO_I32, 'F', '2', '3', '2', 1)          \
    X(F32_TO_I16U32, 'F', 'U', '3', '2', 1)       \
    X(F32_TO_I16U64, 'F', 'U', '6', '4', 1)       \
    X(F32_TO_UQ15, 'F', 'U', '1', '5', 1)         \
    X(ADC, 'A', 'D', 'C', ' ', 1)                 \
    X(CONV_ENC, 'C', 'V', 'E', 'N', 1)            \
    X(VITERBI, 'V', 'T', 'R', 'B', 1)             \
    X(BER_METER, 'B', 'E', 'R', 'M', 2)           \
    X(FRAME_METER, 'F', 'R', 'M', 'M', 1)         \
    X(AGC, 'A', 'G', 'C', ' ', 3)                 \
    X(ACC_F32, 'A', 'C', 'C', 'F', 1)             \
    X(ACC_CF64, 'A', 'C', 'C', 'C', 1)            \
    X(DELAY, 'D', 'L', 'A', 'Y', 1)

#define VX_BLOB_ENUM_(name, a, b, c, d, ver) \
    VX_MAGIC_##name = VX_FOURCC(a, b, c, d), VX_VERSION_##name = ver,
enum { VX_BLOB_TABLE(VX_BLOB_ENUM_) VX_BLOB_ENUM_END_ = 0 };
#undef VX_BLOB_ENUM_

/* Write the header of a blob of `size` bytes (header included). */
VX_API void vx_state_write_header(void *blob, uint32_t magic, uint16_t version, uint64_t size);

/* Check a header in order: magic, version, format byte, size (low 32 bits).
 * Bytes 7 and 12..15 are not checked. Returns VX_OK or VX_ERR_INVALID. */
VX_API int vx_state_check_header(const void *blob, uint32_t magic, uint16_t version,
                                 uint64_t size);

/* ---- capacity rule ----------------------------------------------------------------
 * A `*_max_out(obj)` bound of 0 means "never more than the input": size outputs as the
 * larger of the input length and the bound. */
static inline uint64_t vx_capacity_need(uint64_t n_in, uint64_t bound)
{
    return bound > n_in ? bound : n_in;
}

/* ---- checked sizes ----------------------------------------------------------------
 * Caller counts wrap modulo 2^64 on the way in; no allocation is sized from an unchecked
 * product. VX_SIZE_LIMIT bounds any single allocation of a core object. */
#define VX_SIZE_LIMIT ((uint64_t)1 << 40)

/* *out = a * b; returns 0 when the product overflows or exceeds VX_SIZE_LIMIT. */
VX_API int vx_size_mul(uint64_t a, uint64_t b, uint64_t *out);

/* Zero-filled allocation of n elements of `size` bytes, NULL on overflow or failure. */
VX_API void *vx_calloc(uint64_t n, uint64_t size);
VX_API void vx_free(void *p);

/* ---- guarded float-to-integer conversions -----------------------------------------
 * Values that may be NaN or infinite never reach a cast unguarded. */

/* Saturating conversion: NaN -> nan_value, else trunc(x) clamped to [lo, hi]. */
VX_API int64_t vx_double_to_i64(double x, int64_t lo, int64_t hi, int64_t nan_value);

/* Frequency (cycles/sample) to a 32-bit phase increment: the fractional part in [0, 1)
 * times 2^32, truncated; negative frequencies wrap to the upper half. Non-finite -> 0. */
VX_API uint32_t vx_phase_inc(double norm_freq);

/* 1 when x is finite (not NaN, not infinite). */
static inline int vx_finite(double x) { return x - x == 0.0; }

/* The oscillator step of a normalised frequency: frac(norm_freq)·2^32 truncated, 0 for a
 * non-finite value. Inline for per-sample control paths; vx_phase_inc exports it. */
static inline uint32_t vx_phase_inc_of(double norm_freq)
{
    if (!vx_finite(norm_freq))
        return 0;
    const double f = norm_freq - floor(norm_freq);
    const double scaled = f * 4294967296.0;
    if (scaled <= 0.0)
        return 0;
    return f >= 1.0 ? 0xFFFFFFFFu : (uint32_t)scaled;
}

/* SIMD level this machine runs the kernels at: "avx512f", "avx2", "sse2". */
VX_API const char *vx_simd_level(void);

#ifdef __cplusplus
}
#endif

#endif /* VX_BASE_H */
