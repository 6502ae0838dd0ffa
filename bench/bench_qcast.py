"""Sample conversion throughput: veltra.qcast next to VOLK, a NumPy quantiser and a copy.

In-cache blocks (10^5 and 10^6 samples) compare float32 -> int16, int16 -> float32 and the
ADC with VOLK's kernels (``volk_32f_s32f_convert_16i``, ``volk_16i_s32f_convert_32f``,
through ctypes from Debian's libvolk; skipped when absent) and with the NumPy code a user
would write (scale, clip, round, cast). VOLK rounds half to even and ignores NaN and the
clip flag, so it does less than we do. On 10^8 samples each conversion is set beside
``np.copyto`` of its larger array (input or output), the memory limit. Lines read
``name: ours X, <peer> Y, ratio Z`` with times per sample; ratio > 1 means ours is faster.
"""

import ctypes
import ctypes.util

import numpy as np

from common import median_time, report
from veltra import qcast


def load_volk():
    path = ctypes.util.find_library("volk")
    if not path:
        return None
    lib = ctypes.CDLL(path)
    ptr = ctypes.c_void_p
    # The dispatchers are function-pointer variables resolved on first use.
    f2i = ctypes.CFUNCTYPE(None, ptr, ptr, ctypes.c_float, ctypes.c_uint).in_dll(lib, "volk_32f_s32f_convert_16i")
    i2f = ctypes.CFUNCTYPE(None, ptr, ptr, ctypes.c_float, ctypes.c_uint).in_dll(lib, "volk_16i_s32f_convert_32f")
    return f2i, i2f


def numpy_f32_to_i16(x):
    v = x * np.float32(32768.0)
    return np.copysign(np.floor(np.abs(np.clip(v, -32768.0, 32767.0)) + np.float32(0.5)), v).astype(np.int16)


def numpy_adc(x, scale):
    v = x.astype(np.float64) * scale
    return np.copysign(np.floor(np.abs(np.clip(v, -32768.0, 32767.0)) + 0.5), v).astype(np.int64)


def per_sample(n, fn, repeats=9):
    return median_time(fn, repeats) / n


def main():
    volk = load_volk()
    rng = np.random.default_rng(0)
    f2i, i2f, adc = qcast.F32ToI16(), qcast.I16ToF32(), qcast.ADC(16, 0.0, 0)
    print(f"# SIMD level {qcast._build_info()['simd_level']}; times in ps per sample")
    for n in (100_000, 1_000_000):
        x = rng.uniform(-1.1, 1.1, n).astype(np.float32)
        codes = f2i.steps(x)
        y16, yf, y64 = np.empty(n, np.int16), np.empty(n, np.float32), np.empty(n, np.int64)
        ours_f2i = per_sample(n, lambda: f2i.steps(x, out=y16))
        ours_i2f = per_sample(n, lambda: i2f.steps(codes, out=yf))
        ours_adc = per_sample(n, lambda: adc.steps(x, out=y64))
        if volk:
            vf2i = per_sample(n, lambda: volk[0](y16.ctypes.data, x.ctypes.data, 32768.0, n))
            vi2f = per_sample(n, lambda: volk[1](yf.ctypes.data, codes.ctypes.data, 32768.0, n))
            report(f"f32->i16 n={n}", ours_f2i, vf2i, "ps", 1e12, "volk")
            report(f"i16->f32 n={n}", ours_i2f, vi2f, "ps", 1e12, "volk")
        report(f"f32->i16 n={n}", ours_f2i, per_sample(n, lambda: numpy_f32_to_i16(x), 5), "ps", 1e12, "numpy")
        report(f"i16->f32 n={n}", ours_i2f,
               per_sample(n, lambda: np.multiply(codes, np.float32(1 / 32768), out=yf), 5), "ps", 1e12, "numpy")
        report(f"adc16 n={n}", ours_adc, per_sample(n, lambda: numpy_adc(x, adc.scale), 5), "ps", 1e12, "numpy")

    # Out of cache: each conversion beside a copy of its larger array, input or output.
    n = 100_000_000
    x = rng.uniform(-1.1, 1.1, n).astype(np.float32)
    for name, conv, src, dst in (("f32->i16", f2i, x, np.empty(n, np.int16)),
                                 ("adc16", adc, x, np.empty(n, np.int64)),
                                 ("i16->f32", i2f, f2i.steps(x), np.empty(n, np.float32))):
        big = src if src.itemsize >= dst.itemsize else dst
        copy = np.empty_like(big)
        report(f"{name} n={n}", per_sample(n, lambda: conv.steps(src, out=dst), 3),
               per_sample(n, lambda: np.copyto(copy, big), 3), "ps", 1e12, "copyto")
        del copy, dst, big

if __name__ == "__main__":
    main()
