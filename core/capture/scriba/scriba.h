/* scriba: the capture writer. Blocks of unit-scale cf32 samples become a capture file in
 * one of four containers (WFM_RAW, WFM_CSV, WFM_BLUE, WFM_SIGMF) and one of ten wire sample
 * types (wfm_blue.h), with optional gain, saturation of integer types, peak and clip
 * statistics, BLUE keywords and a SigMF metadata file beside the data.
 *
 * Integer types scale by 128, 32768 (single precision) or 2^31 (double precision),
 * saturate, and round halves away from zero; NaN quantises to 0 and counts as clipped.
 * A block that fails part-way leaves the file on its last whole sample (CSV: line). */
#ifndef VX_SCRIBA_H
#define VX_SCRIBA_H

#include <stdio.h>

#include "vx_base.h"
#include "wfm_blue.h"
#include "wfm_compose.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct scriba scriba;

/* Create a writer that owns the file at path (opened "wb"). file_type 0..3, sample_type
 * 0..9; total: samples expected (BLUE data_size until close); sidecar: for raw and CSV,
 * write "<path>.sigmf-meta" (SigMF always writes "<base>.sigmf-meta"); fs >= 0 Hz; fc in
 * Hz; headroom_db: output backoff (gain 10^(-headroom_db/20)); t0: seconds since
 * 1970-01-01 UTC, 0 for none. NULL when a SigMF path does not end in ".sigmf-data", the
 * file cannot be opened, a value is out of range or not finite (with metadata: fs and
 * |fc| at most 1e12), t0 lies outside years 1..9999, or the header or metadata cannot be
 * written. The metadata file is written at create and again at close, each time under a
 * temporary name renamed into place, so it never describes a previous run's data. */
VX_API scriba *scriba_create(const char *path, int file_type, int sample_type, int big_endian, uint64_t total,
                             int sidecar, double fs, double fc, double headroom_db, double t0);
/* A writer over a caller's stream, which it neither closes nor truncates; the header
 * (BLUE) is written at the stream's position and patched relative to it at close. */
VX_API scriba *scriba_open(FILE *f, int file_type, int sample_type, int big_endian, uint64_t total, double fs,
                           double fc, double t0);

/* Write n samples; returns how many landed in the file (fewer after a failed write). */
VX_API uint64_t scriba_write(scriba *w, const vx_cf32 *x, uint64_t n);
/* 0, or -1 on a stream error (now or from an earlier write) or a failed flush. */
VX_API int scriba_flush(scriba *w);

/* BLUE writers only: one keyword of count >= 1 values (host order) of a type code of
 * wfm_kw_elem_size. Text keywords of the tags CREATOR, IO, PACKET, PKT_BYTE_COUNT, TC_PREC
 * and VER go to the main header while they fit; all others become extended entries. 0, or
 * -1 (another file type, an unsupported code, no values, a tag of 0 or more than 255
 * bytes, text holding a zero byte, or no memory). */
VX_API int scriba_add_keyword(scriba *w, const char *tag, char code, const void *values, uint64_t count);

VX_API void scriba_set_gain(scriba *w, float gain);
VX_API void scriba_track_clipping(scriba *w, int on);
/* Largest per-axis magnitude after gain; 20*log10 of it (-inf when 0). */
VX_API float scriba_peak(const scriba *w);
VX_API double scriba_get_peak_dbfs(const scriba *w);
/* Saturated components counted while tracking, over the components written (0 before any
 * sample). */
VX_API double scriba_clip_fraction(const scriba *w);
VX_API double scriba_get_clip_fraction(const scriba *w);
/* 1 once any integer value saturated (or was NaN). */
VX_API int scriba_get_clipped(const scriba *w);

/* The construction arguments, for callers that describe a writer. */
VX_API const char *scriba_get_path(const scriba *w); /* "" for scriba_open */
VX_API int scriba_get_file_type(const scriba *w);
VX_API int scriba_get_sample_type(const scriba *w);
VX_API int scriba_get_big_endian(const scriba *w);
VX_API double scriba_get_fs(const scriba *w);
VX_API double scriba_get_fc(const scriba *w);
VX_API double scriba_get_t0(const scriba *w);
VX_API float scriba_get_gain(const scriba *w);
VX_API uint64_t scriba_get_samples_written(const scriba *w);

/* Finalise (BLUE header patch and extended keywords, metadata) and free; NULL allowed.
 * 0, or -1 when anything failed. The two are the same. */
VX_API int scriba_close(scriba *w);
VX_API int scriba_destroy(scriba *w);

/* SigMF metadata as compact JSON, newly allocated (release with free()); NULL on invalid
 * arguments (a type above 9, fs or fc outside the schema's ranges or not finite, t0 out of
 * range) or no memory. segs (count n_segs, may be NULL) add one annotation per composed
 * draw. _ex adds the members of extra_global (a JSON object text; keys the builder sets
 * under "core:" are kept, except description and author) and every extra annotation text
 * that parses as an object. Annotations are sorted by core:sample_start; every namespace
 * other than core is declared in core:extensions. */
VX_API char *wfm_sigmf_meta_json(int sample_type, int big_endian, const wfm_segment *segs, uint64_t n_segs,
                                 double fs, double fc, double t0);
VX_API char *wfm_sigmf_meta_json_ex(int sample_type, int big_endian, const wfm_segment *segs, uint64_t n_segs,
                                    double fs, double fc, double t0, const char *extra_global,
                                    const char *const *extra_annotations, uint64_t n_extra);

/* Write the metadata of the capture at data_path: "<base>.sigmf-meta" for a path ending in
 * ".sigmf-data", else "<data_path>.sigmf-meta" naming the data file in core:dataset. The
 * text goes to a temporary file renamed into place. 0, or -1. */
VX_API int write_sigmf_sidecar(const char *data_path, int sample_type, int big_endian, double fs, double fc,
                               double t0);

#ifdef __cplusplus
}
#endif

#endif
