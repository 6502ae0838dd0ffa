"""FIR and moving-average throughput against scipy.signal and NumPy.

Each line reads ``name: ours X, peer Y, ratio Z`` with times as the median of several
repeats of the call a user would make (fresh output array each time); the ratio is
peer time / our time, so above 1 means veltra is faster. The FIR lines are followed by
the achieved GFLOP/s against the core's peak, taken as one FMA unit's width (the SIMD
level the kernels run at) times 2 flops times the clock.
"""

import statistics
import time

import numpy as np
import scipy.signal as ss

import veltra.filter as vf

N = 1_000_000
TAPS = 64
LANES = {"avx512f": 16, "avx2": 8, "sse2": 4}


def median_time(fn, repeats):
    fn()  # warm-up: page in inputs, size caches
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def clock_ghz():
    """Nominal maximum clock from cpufreq, else the clock /proc/cpuinfo reports."""
    try:
        with open("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq") as f:
            return int(f.read()) / 1e6, "cpufreq max"
    except OSError:
        pass
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("cpu MHz"):
                return float(line.split(":")[1]) / 1e3, "/proc/cpuinfo"
    return float("nan"), "unknown"


def line(name, ours, peer, unit="ms", scale=1e3):
    print(f"{name}: ours {ours * scale:.3f} {unit}, peer {peer * scale:.3f} {unit}, "
          f"ratio {peer / ours:.2f}")


def main():
    rng = np.random.default_rng(0)
    x = (rng.normal(size=N) + 1j * rng.normal(size=N)).astype(np.complex64)
    level = vf._build_info()["simd_level"]
    ghz, source = clock_ghz()
    peak = LANES[level] * 2 * ghz
    print(f"# {N} complex64 samples, {TAPS} taps; SIMD level {level}, clock {ghz:.2f} GHz "
          f"({source}); peak {peak:.1f} GFLOP/s = {LANES[level]} lanes x 2 flops x clock")

    cases = [("real", rng.normal(size=TAPS).astype(np.float32), 4),
             ("complex", (rng.normal(size=TAPS) + 1j * rng.normal(size=TAPS)).astype(np.complex64), 8)]
    for kind, h, flops_per_tap in cases:
        f = vf.FIR(h)
        ours = median_time(lambda: f.execute(x), 15)
        lfilter = median_time(lambda: ss.lfilter(h, 1.0, x), 5)
        convolve = median_time(lambda: np.convolve(x, h)[:N], 5)
        line(f"fir {kind} taps vs scipy.signal.lfilter", ours, lfilter)
        line(f"fir {kind} taps vs numpy.convolve", ours, convolve)
        gflops = flops_per_tap * TAPS * N / ours / 1e9
        print(f"fir {kind} taps throughput: {gflops:.1f} GFLOP/s, {100 * gflops / peak:.0f}% of "
              f"{peak:.1f} GFLOP/s peak")

    ma = vf.MovingAverage(64)
    box = np.full(64, 1 / 64, np.float32)
    ours = median_time(lambda: ma.steps(x), 15)
    peer = median_time(lambda: ss.lfilter(box, 1.0, x), 5)
    line("moving average len 64 vs scipy.signal.lfilter (ns/sample)", ours / N, peer / N,
         unit="ns", scale=1e9)


if __name__ == "__main__":
    main()
