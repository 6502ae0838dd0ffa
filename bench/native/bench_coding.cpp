// Channel coding cores: Reed-Solomon (255,223) decoding of clean words and of words with t
// errors, and K=7 rate-1/2 Viterbi decoding. Medians of several runs; MB/s counts codeword
// bytes in, Mbit/s decoded bits out.
#include <ctime>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "bench_timing.hpp"

#include "conv_enc.h"
#include "rs_codec.h"
#include "viterbi.h"

namespace {

// CPU seconds of one run of fn (the machine is shared: wall time alone says little).
double cpu_seconds(const std::function<void()> &fn)
{
    timespec a, b;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    fn();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    return static_cast<double>(b.tv_sec - a.tv_sec) + 1e-9 * static_cast<double>(b.tv_nsec - a.tv_nsec);
}

}  // namespace

int main()
{
    std::printf("SIMD level: %s\n", vx_simd_level());
    std::mt19937 rng(1);
    rs_codec *rs = rs_codec_create(32, 8, 0x1D, 1, 1);
    const size_t words = 100000, n = 255, k = 223;
    std::vector<uint8_t> clean(words * n), noisy, work(words * n);
    for (size_t w = 0; w < words; ++w) {
        uint8_t *cw = &clean[w * n];
        for (size_t i = 0; i < k; ++i)
            cw[i] = static_cast<uint8_t>(rng());
        rs_codec_encode(rs, cw, k, cw, n);
    }
    noisy = clean;
    for (size_t w = 0; w < words; ++w)
        for (int e = 0; e < 16; ++e)  // t errors (positions may repeat: at most t)
            noisy[w * n + rng() % n] ^= static_cast<uint8_t>(1 + rng() % 255);
    for (const auto &[name, src] : {std::pair{"clean", &clean}, std::pair{"t errors", &noisy}}) {
        long corrected = 0;
        const auto run = [&] {
            std::memcpy(work.data(), src->data(), work.size());
            corrected = 0;
            for (size_t w = 0; w < words; ++w)
                corrected += rs_codec_decode(rs, &work[w * n], n);
        };
        const double s = median_seconds(run, 5), c = cpu_seconds(run);
        std::printf("rs(255,223) decode, %-8s %8.1f MB/s of codewords (%.1f per CPU second; %ld symbols "
                    "corrected)\n", name, words * n / s * 1e-6, words * n / c * 1e-6, corrected);
    }
    const auto encode = [&] {
        for (size_t w = 0; w < words; ++w)
            rs_codec_encode(rs, &work[w * n], k, &work[w * n], n);
    };
    const double enc = median_seconds(encode, 5), enc_cpu = cpu_seconds(encode);
    std::printf("rs(255,223) encode          %8.1f MB/s of codewords (%.1f per CPU second)\n",
                words * n / enc * 1e-6, words * n / enc_cpu * 1e-6);
    rs_codec_destroy(rs);

    const uint32_t polys[2] = {0171, 0133};
    const size_t bits = 2000000;
    std::vector<float> llr(2 * bits);
    std::normal_distribution<float> g(0.0f, 0.7f);
    for (auto &l : llr)
        l = ((rng() & 1) ? -1.0f : 1.0f) + g(rng);
    std::vector<uint8_t> out(bits);
    const auto decode = [&] {
        viterbi *v = viterbi_create(polys, 2, 7, 0, 35);
        viterbi_decode(v, llr.data(), llr.size(), out.data(), out.size());
        viterbi_destroy(v);
    };
    const double vs = median_seconds(decode, 5), vs_cpu = cpu_seconds(decode);
    std::printf("viterbi K=7 r=1/2 soft        %8.1f Mbit/s decoded (%.1f per CPU second)\n", bits / vs * 1e-6,
                bits / vs_cpu * 1e-6);
    return 0;
}
