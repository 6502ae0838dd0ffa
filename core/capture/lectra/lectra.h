/* lectra: the capture reader. Opens raw, CSV, BLUE and SigMF captures (the container is
 * detected from the content), recovers sample rate, centre frequency and start time with
 * where each came from, and returns unit-scale cf32 samples: to the end of a finished file,
 * or following a file that is still being written until its writer seals it.
 *
 * Hostile files fail the open or end a keyword scan; they never make the reader index
 * outside what it read. A BLUE capture is sealed when its `pipe` word is 0 (the writer
 * clears it last, after the final data_size and before any byte past the data). */
#ifndef VX_LECTRA_H
#define VX_LECTRA_H

#include "vx_base.h"
#include "wfm_blue.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lectra lectra;

/* Provenance of fs, fc and t0, and how a follow ended. */
enum { LECTRA_FS_NONE = 0, LECTRA_FS_XDELTA = 1, LECTRA_FS_SIGMF = 2 };
enum { LECTRA_FC_NONE = 0, LECTRA_FC_FREQ = 1, LECTRA_FC_RF_FREQ = 2, LECTRA_FC_CENTER_FREQ = 3,
       LECTRA_FC_F_C = 4, LECTRA_FC_SIGMF = 5 };
enum { LECTRA_T0_NONE = 0, LECTRA_T0_TIMECODE = 1, LECTRA_T0_SIGMF = 2 };
enum { LECTRA_END_NONE = 0, LECTRA_END_EOF = 1, LECTRA_END_TIMEOUT = 2, LECTRA_END_INTERRUPTED = 3 };

/* Open path: sample_type hint -1 (auto) or 0..9, big-endian hint 0/1 (both used for raw
 * and CSV; a SigMF or BLUE capture says its own). NULL for a missing or unreadable file,
 * an invalid or unsupported header or metadata (a datatype outside c/r f32 f64 i32 i16 i8
 * fails, never decodes as cf32), a missing detached header or data file, or a hint out of
 * range. */
VX_API lectra *lectra_create(const char *path, int sample_type_hint, int big_endian_hint);
VX_API void lectra_destroy(lectra *r);

/* Read up to min(count, cap) samples from the current position; 0 at the end. Only whole
 * samples (CSV: whole lines) are consumed. */
VX_API uint64_t lectra_read(lectra *r, uint64_t count, vx_cf32 *out, uint64_t cap);
VX_API uint64_t lectra_read_max_out(const lectra *r, uint64_t count); /* count */

/* Like lectra_read, but wait for a growing file: returns as soon as samples are available;
 * 0 only when the capture ended (lectra_get_ending says how: eof once the writer sealed it
 * and every sample was read, timeout after follow_timeout_ms, interrupted when the stop
 * predicate fired, after follow_grace_ms more, or at once when that is 0). Budgets of 0 are
 * unbounded. Polls every 100 ms, and the stop predicate every 10 ms. */
VX_API uint64_t lectra_read_follow(lectra *r, uint64_t count, vx_cf32 *out, uint64_t cap);
VX_API uint64_t lectra_read_follow_max_out(const lectra *r, uint64_t count);

/* Move to sample `index` (0 <= index <= samples available); VX_ERR_INVALID leaves the
 * position unchanged. seek_time needs a sample rate from the file: index = floor(fs*t + 0.5). */
VX_API int lectra_seek(lectra *r, int64_t index);
VX_API int lectra_seek_time(lectra *r, double seconds);
VX_API void lectra_reset(lectra *r);

VX_API const char *lectra_get_path(const lectra *r);  /* as given to lectra_create */
VX_API int lectra_get_file_type(const lectra *r);    /* WFM_RAW ... WFM_SIGMF */
VX_API int lectra_get_sample_type(const lectra *r);  /* 0..9 */
VX_API int lectra_get_mode(const lectra *r);         /* 0 complex, 1 scalar */
VX_API int lectra_get_endian(const lectra *r);       /* 0 le, 1 be */
VX_API double lectra_get_fs(const lectra *r);
VX_API int lectra_get_fs_source(const lectra *r);
VX_API double lectra_get_fc(const lectra *r);
VX_API int lectra_get_fc_source(const lectra *r);
VX_API double lectra_get_t0(const lectra *r);
VX_API int lectra_get_t0_source(const lectra *r);
/* Samples in the capture: the sealed payload, else the whole samples on disk now (CSV:
 * lines, counted once). */
VX_API uint64_t lectra_get_num_samples(lectra *r);
VX_API uint64_t lectra_get_position(const lectra *r);
VX_API uint64_t lectra_get_trailing_bytes(lectra *r);
VX_API int lectra_get_ending(const lectra *r);
VX_API uint32_t lectra_get_follow_timeout_ms(const lectra *r);
VX_API void lectra_set_follow_timeout_ms(lectra *r, uint32_t ms);
VX_API uint32_t lectra_get_follow_grace_ms(const lectra *r);
VX_API void lectra_set_follow_grace_ms(lectra *r, uint32_t ms);

/* Keywords (main header, then extended, in file order) and the BLUE header fields (in
 * header order; none for other containers), each as a wfm_kw owned by the reader. */
VX_API uint64_t lectra_num_keywords(const lectra *r);
VX_API const wfm_kw *lectra_keyword(const lectra *r, uint64_t i);
VX_API const char *lectra_keyword_tag(const lectra *r, uint64_t i);
VX_API int64_t lectra_find_keyword(const lectra *r, const char *tag); /* last match, or -1 */
VX_API uint64_t lectra_num_header_fields(const lectra *r);
VX_API const wfm_kw *lectra_header_field(const lectra *r, uint64_t i);
VX_API const char *lectra_header_tag(const lectra *r, uint64_t i);
VX_API int64_t lectra_find_header_field(const lectra *r, const char *tag);

/* Predicate polled while following (NULL: none); non-zero means stop. */
typedef int (*lectra_stop_fn)(void);
VX_API void lectra_set_stop_fn(lectra *r, lectra_stop_fn fn);

/* Parse a SigMF "core:datetime" stamp to seconds since 1970; 0 on success, -1 when the
 * stamp breaks the ISO 8601 rules (a zone is required). */
VX_API int lectra_parse_datetime(const char *stamp, double *t0);

#ifdef __cplusplus
}
#endif

#endif
