"""Symbol timing: SymbolSync (sps 4), RateSync (sps 8) and the whole MpskReceiver (QPSK,
sps 8, 10^7 samples) throughput in Msamples/s; bench/native/bench_receiver splits the
receiver's cost into front end, timing, carrier and demapper.

Peers in the same run: liquid-dsp's symsync_crcf (a polyphase RRC timing loop, compiled
here from a small C harness when libliquid-dev is installed) at the same samples per
symbol, and a NumPy reference loop of the same Gardner recursion (per-sample Python).
Every figure is process CPU time, so waiting for a core on a shared machine does not count.
"""

import ctypes.util
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time  # noqa: E402

CPU = time.process_time

from veltra.track import MpskReceiver, RateSync, SymbolSync  # noqa: E402

LIQUID = r"""
#include <complex.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <liquid/liquid.h>
static double now(void) { struct timespec t; clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t); return t.tv_sec + 1e-9 * t.tv_nsec; }
int main(int argc, char **argv) {
    unsigned k = atoi(argv[1]), n = atoi(argv[2]), block = 4096;
    float complex *x = malloc(n * sizeof *x), *y = malloc((n + 64) * sizeof *y);
    srand(1);
    for (unsigned i = 0; i < n; ++i) x[i] = ((rand() & 1) ? 1.0f : -1.0f) + 0.01f * I;
    double t[7];
    for (int r = 0; r < 7; ++r) {
        symsync_crcf q = symsync_crcf_create_rnyquist(LIQUID_FIRFILT_RRC, k, 3, 0.35f, 32);
        symsync_crcf_set_lf_bw(q, 0.02f);
        unsigned total = 0, ny;
        double a = now();
        for (unsigned i = 0; i < n; i += block) {
            symsync_crcf_execute(q, x + i, (n - i < block ? n - i : block), y + total, &ny);
            total += ny;
            if (total > n) total = 0;
        }
        t[r] = now() - a;
        symsync_crcf_destroy(q);
    }
    for (int i = 0; i < 7; ++i) for (int j = i + 1; j < 7; ++j) if (t[j] < t[i]) { double s = t[i]; t[i] = t[j]; t[j] = s; }
    printf("%.6e\n", t[3]);
    return 0;
}
"""


def liquid_msps(k, n):
    """Median Msamples/s of symsync_crcf at k samples/symbol, or None without the library."""
    if not ctypes.util.find_library("liquid") or not os.path.exists("/usr/include/liquid/liquid.h"):
        return None
    with tempfile.TemporaryDirectory() as d:
        src, exe = os.path.join(d, "ls.c"), os.path.join(d, "ls")
        with open(src, "w") as f:
            f.write(LIQUID)
        subprocess.run(["cc", "-O3", src, "-o", exe, "-lliquid", "-lm"], check=True)
        out = subprocess.run([exe, str(k), str(n)], check=True, capture_output=True, text=True).stdout
    return n / float(out) / 1e6


def numpy_reference(x, sps):
    """The Gardner timing loop in plain Python/NumPy scalars (linear interpolation)."""
    nominal = 2.0 ** 32 / sps
    phase, inc, h1, h2 = 0.0, nominal, 0j, 0j
    prev = mid = 0j
    integ, kp, ki = 0.0, 0.0255, 0.00035
    out = []
    for v in x:
        h1, h2 = h2, v
        new = phase + inc
        if new >= 2.0 ** 32:
            new -= 2.0 ** 32
            mu = 1.0 - new / inc
            y = h1 + mu * (h2 - h1)
            e = (y.real - prev.real) * mid.real + (y.imag - prev.imag) * mid.imag
            integ += ki * e
            inc = nominal * (1.0 + kp * e + integ)
            prev = y
            out.append(y)
        elif phase < 2.0 ** 31 <= new:
            mu = 1.0 - (new - 2.0 ** 31) / inc
            mid = h1 + mu * (h2 - h1)
        phase = new
    return np.array(out)


def bpsk(n, sps, seed=1):
    d = np.random.default_rng(seed).choice([-1.0, 1.0], n // sps + 1)
    return np.repeat(d, sps)[:n].astype(np.complex64)


def line(name, ours, liquid, ref):
    peer = f"liquid-dsp symsync_crcf {liquid:.1f} Msps, ratio {ours / liquid:.2f}" if liquid else \
        "liquid-dsp not installed"
    print(f"{name}: ours {ours:.1f} Msps, {peer}, NumPy loop {ref:.3f} Msps")


def main():
    n = 1 << 21
    for cls, kw, sps in ((SymbolSync, dict(sps=4), 4), (RateSync, dict(sps=8.0), 8)):
        x = bpsk(n, sps)
        out = np.empty(n, np.complex64)
        obj = cls(**kw)
        ours = n / median_time(lambda: obj.steps(x, out=out), repeats=5, clock=CPU) / 1e6
        small = x[:20000]
        ref = small.size / median_time(lambda: numpy_reference(small, sps), repeats=3, clock=CPU) / 1e6
        line(f"{cls.__name__}(sps={sps}) steps", ours, liquid_msps(sps, n), ref)
    n = 10_000_000
    x = (0.7 * bpsk(n, 8) + 0.7j * bpsk(n, 8, seed=2)).astype(np.complex64)
    out = np.empty(n, np.complex64)
    for agc in (1, 0):
        rx = MpskReceiver(agc=agc)
        ours = n / median_time(lambda: rx.steps(x, out=out), repeats=3, clock=CPU) / 1e6
        liquid = liquid_msps(8, n)
        peer = f"liquid-dsp symsync_crcf alone {liquid:.1f} Msps, ratio {ours / liquid:.2f}" if liquid else \
            "liquid-dsp not installed"
        print(f"MpskReceiver(sps=8, agc={agc}) whole receiver: ours {ours:.1f} Msps, {peer}")


if __name__ == "__main__":
    main()
