// Convolutional encoder and Viterbi decoder through the C ABI: vector kernels against the
// scalar reference, node synchronisation, refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "blob_check.hpp"
#include "conv_enc.h"
#include "viterbi.h"
#include "viterbi_kernel.hpp"

namespace {

namespace vk = vx::viterbi_kernel;

const uint32_t K7[2] = {0171, 0133};

std::vector<uint8_t> random_bits(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> b(n);
    for (auto &x : b)
        x = rng() & 1u;
    return b;
}

// Encoded symbols as LLRs (+1 for 0) with Gaussian noise of deviation `sigma`.
std::vector<float> channel(const std::vector<uint8_t> &sym, float sigma, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, sigma);
    std::vector<float> l(sym.size());
    for (size_t i = 0; i < sym.size(); ++i)
        l[i] = (sym[i] ? -1.0f : 1.0f) + g(rng);
    return l;
}

std::vector<uint8_t> encode(const uint32_t *polys, int n, int k, const std::vector<uint8_t> &bits)
{
    conv_enc *e = conv_enc_create(polys, n, k, 0);
    std::vector<uint8_t> sym(bits.size() * n);
    EXPECT_EQ(conv_enc_encode(e, bits.data(), bits.size(), sym.data(), sym.size()), sym.size());
    conv_enc_destroy(e);
    return sym;
}

std::vector<uint8_t> state(viterbi *v)
{
    return vxtest::save(v, viterbi_state_bytes, viterbi_get_state);
}

}  // namespace

// A trellis of its own for a kernel under test.
struct OwnTrellis {
    vk::Trellis t{};
    std::vector<uint8_t> arena;
    OwnTrellis(const conv_code &c, uint64_t depth) : arena(vk::arena_bytes(c, depth))
    {
        vk::init(t, c, depth, arena.data());
    }
};

// Variants this machine runs (its SIMD level and every one below) that fit `states`.
std::vector<const vk::Variant *> runnable(uint32_t states)
{
    std::vector<const vk::Variant *> out;
    bool reached = false;
    for (const vk::Variant &v : vk::VARIANTS) {
        reached = reached || std::strcmp(v.level, vx_simd_level()) == 0;
        if (reached && states / 2 >= v.width)
            out.push_back(&v);
    }
    return out;
}

// Every variant this machine runs reproduces the scalar reference bit for bit (bits,
// metrics and decision ring) for codes of every width the variants accept, over blocks
// cut anywhere, with erasures, infinities, huge values and signed zeros in the input.
TEST(ViterbiKernel, VariantsMatchScalarReferenceBitForBit)
{
    const uint32_t base[6] = {0753, 0561, 0715, 0447, 0651, 0533};
    int compared = 0;
    for (int k = 4; k <= 9; ++k) {
        for (int code = 0; code < 8; ++code) {
            // n = 1, 2, 3, 6; every polynomial tapping both ends of the register, or not.
            const int widths[4] = {1, 2, 3, 6};
            const int n = widths[code % 4];
            conv_code c{};
            c.k = k;
            c.n = n;
            c.invert = 0b101;
            for (int j = 0; j < n; ++j)
                c.polys[j] = (base[j] & ((1u << k) - 1)) | 1u << (k - 1) | 1u;
            if (code >= 4)
                c.polys[0] = (c.polys[0] & ~1u) | 2u;
            ASSERT_EQ(vk::symmetric(c), code < 4);
            const size_t nb = 500;
            std::vector<uint8_t> sym = encode(c.polys, n, k, random_bits(nb, k * 10 + n));
            std::vector<float> l = channel(sym, 0.9f, k + n);
            l[3] = NAN, l[50] = INFINITY, l[51] = -INFINITY, l[52] = -0.0f, l[90] = 3e38f;
            OwnTrellis ref(c, 24);
            std::vector<uint8_t> want(nb), got(nb);
            want.resize(vk::reference(ref.t, l.data(), nb, want.data()));
            std::vector<std::pair<const char *, vk::kernel_fn>> kernels;
            for (const vk::Variant *var : runnable(ref.t.states)) {
                kernels.emplace_back(var->level, var->fn[vk::symmetric(c)][n - 1]);
                if (ref.t.states == vk::FIXED_STATES && var->fixed[vk::symmetric(c)][n - 1])
                    kernels.emplace_back(var->level, var->fixed[vk::symmetric(c)][n - 1]);
            }
            for (auto [level, fn] : kernels) {
                OwnTrellis t(c, 24);
                size_t done = 0, b = 0;
                for (size_t cut : {1u, 17u, 23u, 24u, 25u, 200u, 500u}) {
                    done += fn(t.t, l.data() + b * n, cut - b, got.data() + done);
                    b = cut;
                }
                ASSERT_EQ(done, want.size()) << level << " k=" << k << " n=" << n;
                EXPECT_EQ(0, std::memcmp(got.data(), want.data(), done)) << level << " k=" << k;
                EXPECT_EQ(0, std::memcmp(t.t.metrics, ref.t.metrics, 4 * ref.t.states)) << level << " k=" << k;
                // Path and decision ring follow the sign tables at the end of the arena.
                const size_t tail = 24 + 24 * ref.t.states;
                EXPECT_EQ(0, std::memcmp(t.arena.data() + t.arena.size() - tail,
                                         ref.arena.data() + ref.arena.size() - tail, tail))
                    << level << " k=" << k << " n=" << n;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 0);
}

// The scan finds the symbol alignment of a stream that starts mid-branch.
TEST(NodeSync, ScanFindsTheOffsetOfAShiftedStream)
{
    const std::vector<uint8_t> bits = random_bits(2000, 5);
    std::vector<uint8_t> sym = encode(K7, 2, 7, bits);
    std::vector<float> l = channel(sym, 0.6f, 9);
    l.insert(l.begin(), 0.3f);  // one stray symbol before the first branch
    viterbi *v = viterbi_create(K7, 2, 7, 0, 35);
    node_sync_result r{};
    ASSERT_EQ(node_sync_scan(v, l.data(), l.size(), &r), 1);
    EXPECT_EQ(r.offset, 1u);
    const uint64_t len = (l.size() + 1 - 2) / 2 * 2;
    EXPECT_EQ(r.scored, node_sync_scored_symbols(v, len));
    EXPECT_EQ(r.scored, 2 * ((len / 2 - 34) - 35));
    EXPECT_LT(r.score * 4, r.second);  // channel errors only, against ~30% when misaligned
    EXPECT_EQ(r.margin, r.second - r.score);
    EXPECT_EQ(r.score, node_sync_score(v, l.data() + 1, len));

    EXPECT_EQ(node_sync_scan(v, l.data(), 1, &r), 0);
    EXPECT_EQ(node_sync_scan(v, nullptr, 100, &r), 0);
    EXPECT_EQ(node_sync_score(v, l.data(), 1), 0u);
    EXPECT_EQ(node_sync_scored_symbols(v, 100), 0u);
    viterbi_destroy(v);

    const uint32_t one[1] = {07};
    viterbi *r1 = viterbi_create(one, 1, 3, 0, 4);
    std::vector<uint8_t> s1 = encode(one, 1, 3, random_bits(100, 3));
    std::vector<float> l1 = channel(s1, 0.1f, 3);
    ASSERT_EQ(node_sync_scan(r1, l1.data(), l1.size(), &r), 1);
    EXPECT_EQ(r.offset, 0u);
    EXPECT_EQ(r.second, r.score);  // n = 1: no second offset
    EXPECT_EQ(r.margin, 0u);
    viterbi_destroy(r1);
}

TEST(Viterbi, CreateRefusalsAndEncoderCapacity)
{
    EXPECT_EQ(viterbi_create(K7, 2, 7, 0, 0), nullptr);
    EXPECT_EQ(viterbi_create(K7, 2, 10, 0, 35), nullptr);
    EXPECT_EQ(viterbi_create(K7, 7, 7, 0, 35), nullptr);
    EXPECT_EQ(viterbi_create(nullptr, 2, 7, 0, 35), nullptr);
    const uint32_t k9[2] = {0753, 0561};
    // The blob (256·(depth + 4) + 80 bytes) must fit the 32-bit size field.
    EXPECT_EQ(viterbi_create(k9, 2, 9, 0, (UINT32_MAX - 80) / 256 - 3), nullptr);
    EXPECT_EQ(viterbi_create(k9, 2, 9, 0, UINT64_MAX), nullptr);
    viterbi_destroy(nullptr);
    conv_enc_destroy(nullptr);

    conv_enc *e = conv_enc_create(K7, 2, 7, 0);
    const std::vector<uint8_t> b = random_bits(10, 1);
    uint8_t out[20];
    conv_enc_encode(e, b.data(), 3, out, 6);
    const std::vector<uint8_t> before = vxtest::save(e, conv_enc_state_bytes, conv_enc_get_state);
    EXPECT_EQ(conv_enc_encode(e, b.data(), 10, out, 19), 0u);  // refused, register kept
    EXPECT_EQ(vxtest::save(e, conv_enc_state_bytes, conv_enc_get_state), before);
    EXPECT_EQ(conv_enc_encode_max_out(e, UINT64_MAX), UINT64_MAX);
    vxtest::expect_header_rules(e, conv_enc_state_bytes, conv_enc_get_state, conv_enc_set_state);
    conv_enc_destroy(e);

    viterbi *v = viterbi_create(K7, 2, 7, 0, 35);
    std::vector<float> l = channel(encode(K7, 2, 7, random_bits(100, 2)), 0.5f, 2);
    std::vector<uint8_t> bits(100);
    viterbi_decode(v, l.data(), l.size(), bits.data(), bits.size());
    const std::vector<uint8_t> saved = state(v);
    EXPECT_EQ(viterbi_decode(v, l.data(), 4, bits.data(), 1), 0u);  // needs 2
    EXPECT_EQ(state(v), saved);
    vxtest::expect_header_rules(v, viterbi_state_bytes, viterbi_get_state, viterbi_set_state);
    viterbi_destroy(v);
}
