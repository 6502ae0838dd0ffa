#include "frame_meter.h"

#include "vx_blob.hpp"

struct frame_meter {
    uint64_t target_errors;
    double conf;
    uint64_t frames, sync_detected, crc_passed, errors;
};

extern "C" {

VX_API frame_meter *frame_meter_create(uint64_t target_errors, double conf)
{
    if (!(conf == 0.0 || (conf > 0.0 && conf < 1.0)))
        return nullptr;
    frame_meter *fm = vx::alloc_object<frame_meter>();
    if (!fm)
        return nullptr;
    fm->target_errors = target_errors ? target_errors : BER_TARGET_ERRORS;
    fm->conf = conf == 0.0 ? BER_CONF : conf;
    return fm;
}

VX_API void frame_meter_destroy(frame_meter *fm) { vx_free(fm); }

VX_API void frame_meter_reset(frame_meter *fm)
{
    fm->frames = fm->sync_detected = fm->crc_passed = fm->errors = 0;
}

VX_API void frame_meter_add(frame_meter *fm, int sync_ok, int crc)
{
    ++fm->frames;
    if (!sync_ok) {
        ++fm->errors;
        return;
    }
    ++fm->sync_detected;
    if (crc > 0)
        ++fm->crc_passed;
    else if (crc == 0)
        ++fm->errors;
}

VX_API ber_interval frame_meter_fer(const frame_meter *fm)
{
    return frame_meter_get_enough(fm) ? ber_confidence_stopped(fm->errors, fm->frames, fm->conf)
                                      : ber_confidence(fm->errors, fm->frames, fm->conf);
}

VX_API ber_interval frame_meter_sync_miss(const frame_meter *fm)
{
    return ber_confidence(fm->frames - fm->sync_detected, fm->frames, fm->conf);
}

VX_API uint64_t frame_meter_get_frames(const frame_meter *fm) { return fm->frames; }
VX_API uint64_t frame_meter_get_sync_detected(const frame_meter *fm) { return fm->sync_detected; }
VX_API uint64_t frame_meter_get_crc_passed(const frame_meter *fm) { return fm->crc_passed; }
VX_API uint64_t frame_meter_get_errors(const frame_meter *fm) { return fm->errors; }
VX_API uint64_t frame_meter_get_target_errors(const frame_meter *fm) { return fm->target_errors; }
VX_API double frame_meter_get_conf(const frame_meter *fm) { return fm->conf; }
VX_API int frame_meter_get_enough(const frame_meter *fm) { return fm->errors >= fm->target_errors; }

VX_API uint64_t frame_meter_state_bytes(const frame_meter *) { return FRAME_METER_STATE_BYTES; }

VX_API void frame_meter_get_state(const frame_meter *fm, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_FRAME_METER, VX_VERSION_FRAME_METER, FRAME_METER_STATE_BYTES)
        .put(fm->frames).put(fm->sync_detected).put(fm->crc_passed).put(fm->errors);
}

VX_API int frame_meter_set_state(frame_meter *fm, const void *blob)
{
    if (!fm || vx_state_check_header(blob, VX_MAGIC_FRAME_METER, VX_VERSION_FRAME_METER,
                                     FRAME_METER_STATE_BYTES) != VX_OK)
        return VX_ERR_INVALID;
    uint64_t frames, sync, crc, errors;
    vx::BlobReader(blob).get(frames).get(sync).get(crc).get(errors);
    // Every frame without sync is an error, every passed CRC had sync and is not one:
    // crc <= sync <= frames and frames - sync <= errors <= frames - crc.
    // No run reaches 2^62 frames; a blob that claims them could count past 2^64 and wrap.
    if (crc > sync || sync > frames || errors < frames - sync || errors > frames - crc ||
        frames >= uint64_t{1} << 62)
        return VX_ERR_INVALID;
    fm->frames = frames;
    fm->sync_detected = sync;
    fm->crc_passed = crc;
    fm->errors = errors;
    return VX_OK;
}

}  // extern "C"
