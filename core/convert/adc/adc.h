/* adc: an ideal analog-to-digital converter with optional TPDF dither. float32 in, int64
 * codes out; v = x·scale with scale = 2^(bits-1)·10^(-dbfs/20), so an input of amplitude
 * 10^(dbfs/20) reaches full scale. Codes saturate to [min_code, max_code]
 * (-2^(bits-1) .. 2^(bits-1) - 1); an out-of-range or NaN sample sets the sticky
 * `clipped` flag, and NaN converts to 0. Saturation is never an error. */
#ifndef VX_ADC_H
#define VX_ADC_H

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct adc {
    double scale;      /* 2^(bits-1)·10^(-dbfs/20), finite and > 0 */
    int64_t max_code;  /* 2^(bits-1) - 1 */
    int64_t min_code;  /* -2^(bits-1) */
    uint32_t bits;     /* 1..64 */
    float dbfs;        /* full-scale reference level [dBFS] */
    int32_t dithering; /* 0 none, nonzero TPDF dither of ±1 code */
    uint8_t clipped;   /* sticky */
    uint8_t pad[3];
    uint32_t prng;     /* xorshift32 state; 0x12345678 after create and reset */
    uint32_t pad2;
} adc;

/* bits 1..64, dithering >= 0, dbfs finite with a finite, positive scale; else NULL. */
VX_API adc *adc_create(uint32_t bits, int32_t dithering, float dbfs);
VX_API void adc_destroy(adc *a);

/* Convert n samples x -> codes y (y must not overlap x). With dithering the samples are
 * taken strictly in order, so any block split gives the per-sample sequence. */
VX_API void adc_steps(adc *a, const float *x, int64_t *y, uint64_t n);

/* Clear clipped and reseed the PRNG. */
VX_API void adc_reset(adc *a);

/* Blob "ADC " (64 bytes): header, then the object as laid out above (pads zero).
 * set_state rejects a scale that is not finite and > 0, bits outside 1..64,
 * min_code > max_code, a negative dithering or a clipped flag above 1. */
VX_API uint64_t adc_state_bytes(const adc *a);
VX_API void adc_get_state(const adc *a, void *out);
VX_API int adc_set_state(adc *a, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
