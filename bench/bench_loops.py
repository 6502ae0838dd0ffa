"""Carrier and code loops: Costas (BPSK, 16 samples/symbol), CarrierMpsk (QPSK),
CarrierNda (sps 8) and Dll (31 chips, 2 samples/chip, plain and 4 segments) throughput in
Msamples/s.

Peers in the same run: a liquid-dsp carrier PLL (nco_crcf mix-down, phase detector and
nco_crcf_pll_step per sample, compiled here from a small C harness when libliquid-dev is
installed) beside the carrier loops; NumPy's correlation of each code period at a fixed
code phase (no tracking, so a floor rather than a peer) beside the Dll.
"""

import ctypes.util
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time  # noqa: E402

from veltra.track import CarrierMpsk, CarrierNda, Costas, Dll  # noqa: E402

N = 2_000_000

LIQUID = r"""
#include <complex.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <liquid/liquid.h>
static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec + 1e-9 * t.tv_nsec; }
int main(int argc, char **argv) {
    unsigned n = atoi(argv[1]);
    float complex *x = malloc(n * sizeof *x), *y = malloc(n * sizeof *y);
    for (unsigned i = 0; i < n; ++i) x[i] = cexpf(I * 0.01f * i);
    double t[7];
    for (int r = 0; r < 7; ++r) {
        nco_crcf q = nco_crcf_create(LIQUID_VCO);
        nco_crcf_pll_set_bandwidth(q, 0.01f);
        double a = now();
        for (unsigned i = 0; i < n; ++i) {
            nco_crcf_mix_down(q, x[i], &y[i]);
            nco_crcf_pll_step(q, cargf(y[i]));
            nco_crcf_step(q);
        }
        t[r] = now() - a;
        nco_crcf_destroy(q);
    }
    for (int i = 0; i < 7; ++i) for (int j = i + 1; j < 7; ++j) if (t[j] < t[i]) { double s = t[i]; t[i] = t[j]; t[j] = s; }
    printf("%.6e %f\n", t[3], crealf(y[n - 1]));
    return 0;
}
"""


def liquid_pll_msps(n):
    """Median Msamples/s of liquid-dsp's per-sample carrier PLL, or None without the library."""
    if not ctypes.util.find_library("liquid") or not os.path.exists("/usr/include/liquid/liquid.h"):
        return None
    with tempfile.TemporaryDirectory() as d:
        src, exe = os.path.join(d, "pll.c"), os.path.join(d, "pll")
        with open(src, "w") as f:
            f.write(LIQUID)
        subprocess.run(["cc", "-O3", src, "-o", exe, "-lliquid", "-lm"], check=True)
        out = subprocess.run([exe, str(n)], check=True, capture_output=True, text=True).stdout
    return n / float(out.split()[0]) / 1e6


def msps(make, x):
    def run():
        make().steps(x)
    return x.size / median_time(run, repeats=5) / 1e6


def main():
    rng = np.random.default_rng(0)
    n = np.arange(N)
    bpsk = (np.repeat(rng.choice([-1.0, 1.0], N // 16), 16) * np.exp(2j * np.pi * 1e-3 * n)).astype(np.complex64)
    qpsk = (np.repeat(np.exp(1j * (np.pi / 2 * rng.integers(0, 4, N // 8) + np.pi / 4)), 8)
            * np.exp(2j * np.pi * 1e-3 * n)).astype(np.complex64)
    code = rng.integers(0, 2, 31).astype(np.uint8)
    spread = np.tile(np.repeat(1.0 - 2.0 * code, 2), N // 62).astype(np.complex64)

    peer = liquid_pll_msps(N)
    peer_text = f"liquid-dsp nco_crcf PLL {peer:.1f} Msps" if peer else "liquid-dsp not installed"
    for name, make, x in [("Costas (tsamps 16)", lambda: Costas(tsamps=16), bpsk),
                          ("CarrierMpsk (QPSK, tsamps 8)", lambda: CarrierMpsk(tsamps=8, m=4), qpsk),
                          ("CarrierNda (QPSK, sps 8)", lambda: CarrierNda(sps=8, n=4, m=4), qpsk)]:
        ours = msps(make, x)
        ratio = f", ratio {ours / peer:.2f}" if peer else ""
        print(f"{name}: ours {ours:.1f} Msps, {peer_text}{ratio}")

    chips = np.repeat(1.0 - 2.0 * code, 2).astype(np.complex64)
    floor = spread.size / median_time(lambda: spread.reshape(-1, 62) @ chips, repeats=5) / 1e6
    for name, make in [("Dll (31 chips, sps 2)", lambda: Dll(code, sps=2)),
                       ("Dll (31 chips, sps 2, 4 segments)", lambda: Dll(code, sps=2, segments=4))]:
        ours = msps(make, spread)
        print(f"{name}: ours {ours:.1f} Msps, NumPy fixed-phase despread {floor:.1f} Msps, "
              f"ratio {ours / floor:.2f}")


if __name__ == "__main__":
    main()
