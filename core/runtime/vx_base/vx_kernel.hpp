// Hot kernels are compiled once per instruction set (AVX-512, AVX2, baseline x86-64) and
// the loader picks the clone for the machine. Every clone performs the same operations in
// the same order: kernels vectorise across independent outputs or accumulators, never by
// reordering a sum, and the build forbids contraction, so results never depend on the CPU.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VX_KERNEL __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VX_KERNEL
#endif

#ifdef __cplusplus
#include <cstring>

#include "vx_base.h"

namespace vx {

// Of hand-written per-ISA variants listed best first (each with a `level` named as
// vx_simd_level() reports it, the last the baseline), the one for this machine.
template <class Variant, size_t N> const Variant &best_variant(const Variant (&variants)[N])
{
    const char *level = vx_simd_level();
    for (const Variant &v : variants)
        if (std::strcmp(v.level, level) == 0)
            return v;
    return variants[N - 1];
}

}  // namespace vx
#endif
