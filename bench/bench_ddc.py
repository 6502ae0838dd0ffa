"""Down-converter throughput against a NumPy + scipy chain doing the same work.

The peer mixes with a precomputed exponential and decimates with
scipy.signal.resample_poly. Lines read ``name: ours X Msps, peer Y Msps, ratio Z``
(input samples per CPU second of this single-threaded process, median of several
repeats, all pieces of one rate timed in the same rounds, so a busy shared machine does
not skew them; ratio above 1 means veltra is faster). After each rate comes the split
of our time over the mixer and the converter's stages, each stage timed alone on the
sample count it sees in the cascade through the module's exported core functions. Last,
the one-sample push path in ns per sample.

Usage: python bench/bench_ddc.py [N]   (N input samples, default 1e6)
"""

import ctypes
import os
import sys

import numpy as np
import scipy.signal as ss

sys.path.insert(0, os.path.dirname(__file__))
from common import median_times  # noqa: E402

import veltra.ddc as vd  # noqa: E402

RATES = [("1/4", 4), ("1/8", 8), ("1/64", 64)]
F0 = 0.1


def core_library():
    lib = ctypes.CDLL(vd.__file__)
    vp, u64, dbl = ctypes.c_void_p, ctypes.c_uint64, ctypes.c_double
    for name, res, args in [
        ("RateConverter_create", vp, [ctypes.c_int, dbl]),
        ("RateConverter_destroy", None, [vp]),
        ("RateConverter_execute", u64, [vp, vp, u64, vp, u64]),
        ("RateConverter_execute_bound", u64, [vp, u64]),
        ("RateConverter_num_stages", ctypes.c_int, [vp]),
        ("RateConverter_stages_value", ctypes.c_char_p, [vp, ctypes.c_int]),
    ]:
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = res, args
    return lib


class Converter:
    """A plain RateConverter driven through the exported core functions."""

    def __init__(self, lib, rate):
        self.lib, self.rc = lib, lib.RateConverter_create(0, rate)
        if not self.rc:
            raise ValueError(f"RateConverter_create({rate}) returned NULL")

    def labels(self):
        n = self.lib.RateConverter_num_stages(self.rc)
        return [self.lib.RateConverter_stages_value(self.rc, i).decode() for i in range(n)]

    def timer(self, x):
        y = np.empty(self.lib.RateConverter_execute_bound(self.rc, len(x)) + 16, np.complex64)

        def run(x=x, y=y):  # the defaults keep both arrays alive while timing
            return self.lib.RateConverter_execute(self.rc, x.ctypes.data, len(x), y.ctypes.data,
                                                  len(y))
        return run

    def __del__(self):
        self.lib.RateConverter_destroy(self.rc)


def stage_rate(label):
    """Single-stage converter rate that plans exactly this stage."""
    if label == "HalfbandDecimator":
        return 0.5
    if label.startswith("CIC("):
        return 1.0 / int(label[4:].split(")")[0])
    return float(label[len("Resampler("):].rstrip(")"))


def msps(n, seconds):
    return n / seconds / 1e6


def line(name, ours, peer, n):
    print(f"{name}: ours {msps(n, ours):.1f} Msps, peer {msps(n, peer):.1f} Msps, "
          f"ratio {peer / ours:.2f}")


def main():
    n = int(float(sys.argv[1])) if len(sys.argv) > 1 else 1_000_000
    lib = core_library()
    rng = np.random.default_rng(0)
    x = (0.3 * (rng.normal(size=n) + 1j * rng.normal(size=n))).astype(np.complex64)
    lo = np.exp(-2j * np.pi * F0 * np.arange(n)).astype(np.complex64)
    print(f"# {n} complex64 samples; SIMD level {vd._build_info()['simd_level']}; CPU time; "
          f"peer: x * exp(-j2π·{F0}·n) then scipy.signal.resample_poly(1, D)")
    repeats = 7 if n <= 2_000_000 else 3

    for name, down in RATES:
        # Ours, the peer, the whole converter and each stage alone, timed in the same rounds.
        d = vd.DDC(norm_freq=-F0, rate=1.0 / down)
        mixed = (x * lo).astype(np.complex64)
        whole = Converter(lib, 1.0 / down)
        stages, labels, counts, count = [], [], [], n
        for label in whole.labels():
            stages.append(Converter(lib, stage_rate(label)))
            labels.append(f"{label} on {count}")
            counts.append(count)
            count = int(count * stage_rate(label))
        fns = [lambda: d.execute(x), lambda: ss.resample_poly(x * lo, 1, down),
               whole.timer(mixed)] + [st.timer(mixed[:c]) for st, c in zip(stages, counts)]
        ours, peer, conv, *times = median_times(fns, repeats)
        line(f"DDC(-{F0}, {name}) vs mix + resample_poly", ours, peer, n)
        parts = list(zip(labels, times))
        split = ", ".join(f"{lbl} {100 * t / ours:.0f}%" for lbl, t in parts)
        print(f"  split of {ours * 1e3:.2f} ms: mixer {100 * (ours - conv) / ours:.0f}%, "
              f"converter {100 * conv / ours:.0f}% ({split})")

    d = vd.DDC(norm_freq=-F0, rate=0.25)
    k = 20000
    samples = [complex(v) for v in x[:k]]

    def push_all():
        for v in samples:
            d.execute_ctrl_push(v, 0.0, 0.0)

    push, block = median_times([push_all, lambda: d.execute(x)], 5)
    push, block = push / k, block / n
    print(f"DDC(-{F0}, 1/4).execute_ctrl_push: {push * 1e9:.0f} ns/sample "
          f"(block execute {block * 1e9:.2f} ns/sample)")


if __name__ == "__main__":
    main()
