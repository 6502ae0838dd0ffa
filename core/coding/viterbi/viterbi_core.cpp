#include "viterbi.h"

#include <cmath>
#include <cstring>

#include "viterbi_kernel.hpp"
#include "vx_blob.hpp"

namespace vk = vx::viterbi_kernel;

static_assert(VITERBI_LLR_CLAMP == vk::LLR_CLAMP);

struct viterbi {
    conv_code code;
    vk::Trellis t;
    vk::kernel_fn kernel;
    void *arena;  // every array of `t`, sized at create
};

namespace {

constexpr uint64_t BLOB_FIXED = 80;  // header and fields before the metrics
constexpr uint64_t NODE_SYNC_CHUNK = 256;          // decoded bits per chunk when scoring

uint64_t blob_bytes(uint64_t states, uint64_t depth) { return states * (depth + 4) + BLOB_FIXED; }

}  // namespace

extern "C" {

VX_API viterbi *viterbi_create_code(const conv_code *code, uint64_t depth)
{
    if (!conv_code_valid(code) || depth == 0)
        return nullptr;
    const uint64_t states = 1u << (code->k - 1);
    if (depth > (UINT32_MAX - BLOB_FIXED) / states - 4)  // the blob's size field is 32 bits
        return nullptr;
    viterbi *v = vx::alloc_object<viterbi>();
    if (!v)
        return nullptr;
    conv_code_from(code->polys, code->n, code->k, code->invert, &v->code);

    v->arena = vx_calloc(vk::arena_bytes(v->code, depth), 1);  // depth·states < 2^32 (above)
    if (!v->arena) {
        viterbi_destroy(v);
        return nullptr;
    }
    vk::init(v->t, v->code, depth, v->arena);
    v->kernel = vk::best(v->code);
    return v;
}

VX_API viterbi *viterbi_create(const uint32_t *polys, int32_t n, int32_t k, uint32_t invert,
                               uint64_t depth)
{
    conv_code c;
    return conv_code_from(polys, n, k, invert, &c) ? viterbi_create_code(&c, depth) : nullptr;
}

VX_API void viterbi_destroy(viterbi *v)
{
    if (!v)
        return;
    vx_free(v->arena);
    vx_free(v);
}

VX_API void viterbi_reset(viterbi *v) { vk::reset(v->t); }

VX_API conv_code viterbi_code(const viterbi *v) { return v->code; }

VX_API uint64_t viterbi_depth(const viterbi *v) { return v->t.depth; }

VX_API uint64_t viterbi_decode_max_out(const viterbi *v, uint64_t n_sym)
{
    const uint64_t branches = n_sym / static_cast<uint64_t>(v->code.n);
    const uint64_t owed = (v->t.depth - 1) - (v->t.fill < v->t.depth - 1 ? v->t.fill : v->t.depth - 1);
    return branches > owed ? branches - owed : 0;
}

VX_API uint64_t viterbi_decode(viterbi *v, const float *llr, uint64_t n_sym, uint8_t *out,
                               uint64_t out_cap)
{
    if (!v || n_sym % static_cast<uint64_t>(v->code.n) != 0 || out_cap < viterbi_decode_max_out(v, n_sym))
        return 0;
    if (n_sym == 0)
        return 0;
    if (!llr || !out)
        return 0;
    return v->kernel(v->t, llr, n_sym / static_cast<uint64_t>(v->code.n), out);
}

VX_API uint64_t viterbi_state_bytes(const viterbi *v) { return blob_bytes(v->t.states, v->t.depth); }

VX_API void viterbi_get_state(const viterbi *v, void *out)
{
    const vk::Trellis &t = v->t;
    vx::BlobWriter(out, VX_MAGIC_VITERBI, VX_VERSION_VITERBI, viterbi_state_bytes(v))
        .put(t.depth)
        .put(t.ring_pos)
        .put(t.fill)
        .put(v->code.k)
        .put(v->code.n)
        .put(v->code.invert)
        .put(v->code.polys)
        .put(uint32_t{0})
        .put_bytes(t.metrics, t.states * sizeof(float))
        .put_bytes(t.decisions, t.depth * t.states);
}

VX_API int viterbi_set_state(viterbi *v, const void *blob)
{
    if (!v || vx_state_check_header(blob, VX_MAGIC_VITERBI, VX_VERSION_VITERBI, viterbi_state_bytes(v)) != VX_OK)
        return VX_ERR_INVALID;
    vk::Trellis &t = v->t;
    vx::BlobReader r(blob);
    conv_code c{};
    const uint64_t depth = r.get<uint64_t>(), ring_pos = r.get<uint64_t>(), fill = r.get<uint64_t>();
    r.get(c.k).get(c.n).get(c.invert).get_bytes(c.polys, sizeof c.polys);
    const uint32_t zero = r.get<uint32_t>();
    if (depth != t.depth || ring_pos >= depth || fill > depth || zero != 0 || std::memcmp(&c, &v->code, sizeof c) != 0)
        return VX_ERR_INVALID;
    // Metrics are normalised (best +0), so each lies in [-FLT_MAX, 0] and none is -0 (the
    // kernels rely on it); decisions are 0/1.
    const uint8_t *metrics = r.cursor();
    for (uint32_t s = 0; s < t.states; ++s) {
        float m;
        std::memcpy(&m, metrics + 4 * s, 4);
        if (!(m <= 0.0f) || !vx_finite(m) || (m == 0.0f && std::signbit(m)))
            return VX_ERR_INVALID;
    }
    const uint8_t *decisions = metrics + 4 * t.states;
    for (uint64_t i = 0; i < depth * t.states; ++i)
        if (decisions[i] > 1)
            return VX_ERR_INVALID;
    std::memcpy(t.metrics, metrics, 4 * t.states);
    std::memcpy(t.decisions, decisions, depth * t.states);
    t.ring_pos = ring_pos;
    t.fill = fill;
    t.path_valid = 0;
    return VX_OK;
}

// ---- node synchronisation ------------------------------------------------------------

VX_API uint64_t node_sync_scored_symbols(const viterbi *v, uint64_t n_sym)
{
    if (!v)
        return 0;
    const uint64_t n = static_cast<uint64_t>(v->code.n), branches = n_sym / n;
    const uint64_t decodable = branches >= v->t.depth - 1 ? branches - (v->t.depth - 1) : 0;
    return decodable > v->t.depth ? n * (decodable - v->t.depth) : 0;
}

VX_API uint64_t node_sync_score(viterbi *v, const float *llr, uint64_t n_sym)
{
    if (!v || !llr || n_sym < static_cast<uint64_t>(v->code.n))
        return 0;
    viterbi_reset(v);
    const uint64_t n = static_cast<uint64_t>(v->code.n);
    const uint64_t branches = n_sym / n;
    uint32_t reg;
    conv_enc_init(&reg);
    uint8_t bits[NODE_SYNC_CHUNK], sym[NODE_SYNC_CHUNK * CONV_MAX_POLYS];
    uint64_t decoded = 0, errors = 0;
    // Each chunk of branches returns at most NODE_SYNC_CHUNK bits.
    for (uint64_t b = 0; b < branches; b += NODE_SYNC_CHUNK) {
        const uint64_t nb = branches - b < NODE_SYNC_CHUNK ? branches - b : NODE_SYNC_CHUNK;
        const uint64_t got = viterbi_decode(v, llr + b * n, nb * n, bits, NODE_SYNC_CHUNK);
        conv_encode(&reg, &v->code, bits, got, sym, sizeof sym);
        // Decoded bit i re-encodes to the symbols of branch i.
        for (uint64_t i = 0; i < got; ++i, ++decoded) {
            if (decoded < v->t.depth)
                continue;
            for (uint64_t j = 0; j < n; ++j)
                errors += (llr[decoded * n + j] < 0.0f) != (sym[i * n + j] != 0);
        }
    }
    return errors;
}

VX_API int node_sync_scan(viterbi *v, const float *llr, uint64_t n_sym, node_sync_result *result)
{
    if (!v || !llr || !result)
        return 0;
    const uint64_t n = static_cast<uint64_t>(v->code.n);
    if (n_sym < n)
        return 0;
    const uint64_t len = (n_sym + 1 - n) / n * n;
    if (len < n)
        return 0;
    node_sync_result r{};
    bool have_second = false;
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t score = node_sync_score(v, llr + i, len);
        if (i == 0 || score < r.score) {
            if (i > 0) {
                r.second = r.score;
                have_second = true;
            }
            r.offset = i;
            r.score = score;
        } else if (!have_second || score < r.second) {
            r.second = score;
            have_second = true;
        }
    }
    if (!have_second)
        r.second = r.score;
    r.scored = node_sync_scored_symbols(v, len);
    r.margin = have_second ? r.second - r.score : 0;
    *result = r;
    return 1;
}

}  // extern "C"
