/* wfm_blue: the X-Midas BLUE type 1000 header control block (HCB), its keyword encodings,
 * and the sample-type and file-type tables shared by the capture writer and reader.
 *
 * An HCB is 512 bytes; every multi-byte field, keyword value and sample is big-endian
 * when head_rep is "IEEE" and little-endian otherwise ("EEEI" is written). The data
 * follow at data_start; an optional block of extended keywords follows the data on a
 * 512-byte boundary. Times in the header count seconds from 1950-01-01 (J1950). */
#ifndef VX_WFM_BLUE_H
#define VX_WFM_BLUE_H

#include <stdio.h>

#include "vx_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Containers. */
enum { WFM_RAW = 0, WFM_CSV = 1, WFM_BLUE = 2, WFM_SIGMF = 3 };
#define WFM_NUM_FILE_TYPES 4

/* Wire sample types: complex 0..4, scalar 5..9 (a scalar type keeps only the real part). */
enum {
    WFM_CF32 = 0, WFM_CF64 = 1, WFM_CI32 = 2, WFM_CI16 = 3, WFM_CI8 = 4,
    WFM_F32 = 5, WFM_F64 = 6, WFM_I32 = 7, WFM_I16 = 8, WFM_I8 = 9
};
#define WFM_NUM_SAMPLE_TYPES 10

/* Seconds from 1950-01-01 to 1970-01-01: timecode = t0 + WFM_J1950_OFFSET. */
#define WFM_J1950_OFFSET 631152000.0
#define WFM_HCB_BYTES 512u
/* Room for main-header keyword text at byte 164. */
#define WFM_HCB_KW_BYTES 92u

/* Bytes of one element (4, 8, 4, 2, 1 by type mod 5), components per sample (2 or 1), and
 * bytes per sample; 0 for a type outside 0..9. */
VX_API uint32_t wfm_elem_bytes(int sample_type);
VX_API uint32_t wfm_components(int sample_type);
VX_API uint32_t wfm_sample_bytes(int sample_type);
/* The two-character BLUE format code ("CF" ... "SB"), or NULL for a type outside 0..9. */
VX_API const char *wfm_blue_format(int sample_type);

/* Write one 512-byte HCB at f's position: total samples declared (data_size), detached
 * flag, fs in Hz (xdelta = 1/fs, 0 when fs is 0), fc in Hz (main-header text "FREQ=%.17g"
 * when non-zero), data_start in bytes, t0 in seconds since 1970 (timecode t0 + 631152000
 * when non-zero). 0, or -1 on a NULL file, a type above 9, a negative or non-finite fs,
 * a non-finite fc, t0 or data_start, or a short write. */
VX_API int wfm_blue_write_hcb(FILE *f, int sample_type, int big_endian, uint64_t total, int detached,
                              double fs, double fc, double data_start, double t0);

/* Bytes per element of a keyword type code: A B 1, I 2, L T F 4, X D 8; 0 for any other. */
VX_API uint32_t wfm_kw_elem_size(char code);
/* Length of an extended keyword entry: ltag + data + pad to 8 + the 8-byte entry header. */
VX_API uint64_t wfm_kw_entry_size(uint64_t ltag, uint64_t data_bytes);

/* Encode one extended keyword entry into dst: tag of 1..255 bytes, count >= 1 values in
 * host order, written in the file's byte order. Bytes written, or 0 when the code is
 * unsupported, an argument is missing, count is 0, the tag length is out of range or the
 * entry does not fit in cap (counted at most 2^31 - 1). Nothing is written on refusal. */
VX_API uint64_t wfm_kw_encode(void *dst, uint64_t cap, const char *tag, char code, const void *values,
                              uint64_t count, int big_endian);

/* One decoded keyword: values are in host order, allocated by wfm_kw_decode. */
typedef struct wfm_kw {
    char tag[256]; /* NUL-terminated */
    char code;
    uint32_t elem_size;
    uint64_t count;
    void *values; /* count * elem_size bytes, plus one zero byte for text */
} wfm_kw;

/* Decode the entry at bytes (avail bytes readable). -1 malformed (fewer than 8 bytes,
 * lkey < 8 or beyond avail, lext < 8 + ltag or lext > lkey); 1 skipped (unsupported code,
 * empty tag, no data, or a data length not a multiple of the element size); 0 decoded
 * into *kw (free with wfm_kw_free); -1 also when memory runs out. *len_out receives lkey
 * whenever the entry header is well-formed. */
VX_API int wfm_kw_decode(const void *bytes, uint64_t avail, int big_endian, wfm_kw *kw,
                         uint64_t *len_out);
VX_API void wfm_kw_free(wfm_kw *kw);

/* Check a standard keyword: 1 valid, -1 invalid, 0 a tag outside the standard list
 * (ACQDATE, ACQTIME, COMMENT, TIMELINE, SUBREC_DEF, SUBREC_DESCRIP, T4INDEX). */
VX_API int wfm_kw_check_standard(const char *tag, char code, const void *value, uint64_t len);

#ifdef __cplusplus
}
#endif

#endif
