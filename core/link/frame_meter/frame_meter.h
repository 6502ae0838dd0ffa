/* frame_meter: frame outcomes (sync detected, CRC result) and the frame-error and
 * sync-miss rates with the BER meter's exact intervals. Compiles as C99 and C++. */
#ifndef VX_FRAME_METER_H
#define VX_FRAME_METER_H

#include "ber_meter.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FRAME_METER_STATE_BYTES 48u

typedef struct frame_meter frame_meter;

/* target_errors 0 means BER_TARGET_ERRORS; conf 0 means BER_CONF, else it must lie in
 * (0, 1). NULL otherwise or when memory runs out. */
VX_API frame_meter *frame_meter_create(uint64_t target_errors, double conf);
VX_API void frame_meter_destroy(frame_meter *fm);
/* Zero the four counters; target and conf stay. */
VX_API void frame_meter_reset(frame_meter *fm);

/* One frame: without sync (sync_ok = 0) it is an error; with sync, crc > 0 passed,
 * crc = 0 failed (an error), crc < 0 carries no CRC (delivered). */
VX_API void frame_meter_add(frame_meter *fm, int sync_ok, int crc);

/* Frame error rate: the stopped (inverse-binomial) interval once errors >= target_errors,
 * else the fixed-N one (see ber_confidence). */
VX_API ber_interval frame_meter_fer(const frame_meter *fm);
/* Sync-miss rate, frames - sync_detected in frames: fixed-N. */
VX_API ber_interval frame_meter_sync_miss(const frame_meter *fm);

VX_API uint64_t frame_meter_get_frames(const frame_meter *fm);
VX_API uint64_t frame_meter_get_sync_detected(const frame_meter *fm);
VX_API uint64_t frame_meter_get_crc_passed(const frame_meter *fm);
VX_API uint64_t frame_meter_get_errors(const frame_meter *fm);
VX_API uint64_t frame_meter_get_target_errors(const frame_meter *fm);
VX_API double frame_meter_get_conf(const frame_meter *fm);
/* 1 when errors >= target_errors. */
VX_API int frame_meter_get_enough(const frame_meter *fm);

/* Blob "FRMM": header, then frames, sync_detected, crc_passed, errors (u64). A blob whose
 * counts no sequence of add calls could reach is rejected. */
VX_API uint64_t frame_meter_state_bytes(const frame_meter *fm);
VX_API void frame_meter_get_state(const frame_meter *fm, void *out);
VX_API int frame_meter_set_state(frame_meter *fm, const void *blob);

#ifdef __cplusplus
}
#endif

#endif
