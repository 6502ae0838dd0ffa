#include "acc_trace.h"

#include <cstring>

#include "vx_blob.hpp"

struct acc_trace {
    double *trace;  // n values
    uint64_t n;
    unsigned mode;
    double alpha;
    uint64_t count;  // frames folded in
};

extern "C" {

VX_API acc_trace *acc_trace_create(uint64_t n, unsigned mode, double alpha)
{
    uint64_t blob;  // the blob must be sizeable too
    if (n == 0 || mode > ACC_TRACE_MINHOLD || !vx_size_mul(n, sizeof(double), &blob) ||
        blob > VX_SIZE_LIMIT - 24)
        return nullptr;
    acc_trace *t = vx::alloc_object<acc_trace>();
    if (!t)
        return nullptr;
    t->trace = static_cast<double *>(vx_calloc(n, sizeof(double)));
    if (!t->trace) {
        vx_free(t);
        return nullptr;
    }
    t->n = n;
    t->mode = mode;
    t->alpha = alpha;
    return t;
}

VX_API void acc_trace_destroy(acc_trace *t)
{
    if (!t)
        return;
    vx_free(t->trace);
    vx_free(t);
}

VX_API void acc_trace_reset(acc_trace *t)
{
    std::memset(t->trace, 0, t->n * sizeof(double));
    t->count = 0;
}

VX_API void acc_trace_accumulate(acc_trace *t, const float *p, uint64_t len)
{
    if (!t || !p || len < t->n)
        return;
    double *r = t->trace;
    const uint64_t n = t->n;
    if (t->count == 0) {
        for (uint64_t j = 0; j < n; ++j)
            r[j] = p[j];
        t->count = 1;
        return;
    }
    if (t->count < UINT64_MAX)  // a restored count cannot wrap the mean's divisor to 0
        ++t->count;
    switch (t->mode) {
    case ACC_TRACE_MEAN: {
        const double c = static_cast<double>(t->count);
        for (uint64_t j = 0; j < n; ++j)
            r[j] += (p[j] - r[j]) / c;
        break;
    }
    case ACC_TRACE_EXP:
        if (t->alpha >= 1.0) {
            for (uint64_t j = 0; j < n; ++j)
                r[j] = p[j];
        } else {
            for (uint64_t j = 0; j < n; ++j)
                r[j] += (p[j] - r[j]) * t->alpha;
        }
        break;
    case ACC_TRACE_MAXHOLD:
        for (uint64_t j = 0; j < n; ++j)
            if (r[j] < p[j])
                r[j] = p[j];
        break;
    default:
        for (uint64_t j = 0; j < n; ++j)
            if (r[j] > p[j])
                r[j] = p[j];
        break;
    }
}

VX_API uint64_t acc_trace_value(const acc_trace *t, uint64_t, float *out, uint64_t cap)
{
    if (!t || !out || t->count == 0)
        return 0;
    const uint64_t k = cap < t->n ? cap : t->n;
    for (uint64_t j = 0; j < k; ++j)
        out[j] = static_cast<float>(t->trace[j]);
    return k;
}

VX_API uint64_t acc_trace_value_max_out(const acc_trace *t) { return t->n; }
VX_API const double *acc_trace_data(const acc_trace *t) { return t->trace; }
VX_API uint64_t acc_trace_get_n(const acc_trace *t) { return t->n; }
VX_API unsigned acc_trace_get_mode(const acc_trace *t) { return t->mode; }
VX_API uint64_t acc_trace_get_count(const acc_trace *t) { return t->count; }
VX_API double acc_trace_get_alpha(const acc_trace *t) { return t->alpha; }
VX_API void acc_trace_set_alpha(acc_trace *t, double alpha) { t->alpha = alpha; }

VX_API uint64_t acc_trace_state_bytes(const acc_trace *t)
{
    return VX_STATE_HEADER_BYTES + sizeof(uint64_t) + t->n * sizeof(double);
}

VX_API void acc_trace_get_state(const acc_trace *t, void *out)
{
    vx::BlobWriter(out, VX_MAGIC_ACC_TRACE, VX_VERSION_ACC_TRACE, acc_trace_state_bytes(t))
        .put(t->count)
        .put_bytes(t->trace, t->n * sizeof(double));
}

VX_API int acc_trace_set_state(acc_trace *t, const void *blob)
{
    if (!t || vx_state_check_header(blob, VX_MAGIC_ACC_TRACE, VX_VERSION_ACC_TRACE,
                                    acc_trace_state_bytes(t)) != VX_OK)
        return VX_ERR_INVALID;
    // The count only gates the first-frame copy and divides the mean; any value is usable.
    vx::BlobReader(blob).get(t->count).get_bytes(t->trace, t->n * sizeof(double));
    return VX_OK;
}

}  // extern "C"
