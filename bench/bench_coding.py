"""Channel coding: Viterbi decoding next to CommPy, and the measured BER curve.

Throughput lines read ``name: ours X, <peer> Y, ratio Z`` (ratio > 1: veltra faster), as
the median of several repeats on the same input. The machine is shared, so the process
CPU time per call is printed beside the wall time.
"""

import os
import sys
import time

import numpy as np
from commpy.channelcoding import convcode as cc

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time  # noqa: E402

from veltra.coding import ConvEncoder, Viterbi  # noqa: E402

K7 = [0o171, 0o133]


def awgn_llr(sym, ebn0_db, rng, rate=0.5):
    sigma = np.sqrt(1 / (2 * rate * 10 ** (ebn0_db / 10)))
    return (1.0 - 2.0 * sym + sigma * rng.normal(size=sym.size)).astype(np.float32)


def cpu_time(fn, repeats=5):
    t0 = time.process_time()
    for _ in range(repeats):
        fn()
    return (time.process_time() - t0) / repeats


def viterbi_throughput(rng):
    n_ours, n_peer = 2_000_000, 2_000
    msg = rng.integers(0, 2, n_ours).astype(np.uint8)
    llr = awgn_llr(ConvEncoder(K7).encode(msg), 3.0, rng)
    ours = median_time(lambda: Viterbi(K7).decode(llr), repeats=5)
    ours_cpu = cpu_time(lambda: Viterbi(K7).decode(llr))
    trellis = cc.Trellis(np.array([6]), np.array([K7]), polynomial_format="LSB")
    part = llr[:2 * n_peer].astype(np.float64)
    peer = median_time(lambda: cc.viterbi_decode(part, trellis, tb_depth=35, decoding_type="unquantized"),
                       repeats=3)
    ours_mbps, peer_mbps = n_ours / ours / 1e6, n_peer / peer / 1e6
    print(f"viterbi K=7 r=1/2 soft, Eb/N0 3 dB (Mbit/s decoded): ours {ours_mbps:.1f} "
          f"({n_ours / ours_cpu / 1e6:.1f} per CPU second), commpy unquantized {peer_mbps:.4f}, "
          f"ratio {ours_mbps / peer_mbps:.0f}")


def ber_curve(rng):
    n = 1_000_000
    msg = rng.integers(0, 2, n).astype(np.uint8)
    sym = ConvEncoder(K7).encode(msg)
    print("viterbi K=7 r=1/2 BER (Eb/N0 dB: soft, hard; %d bits each)" % n)
    for ebn0 in (2.0, 2.5, 3.0, 3.5, 4.0, 4.5, 5.0):
        llr = awgn_llr(sym, ebn0, rng)
        row = []
        for x in (llr, np.where(llr < 0, -1.0, 1.0).astype(np.float32)):
            out = Viterbi(K7).decode(x)
            row.append(np.count_nonzero(out != msg[:len(out)]) / len(out))
        print(f"  {ebn0:.1f}: soft {row[0]:.2e}, hard {row[1]:.2e}")


def main():
    rng = np.random.default_rng(0)
    viterbi_throughput(rng)
    ber_curve(rng)


if __name__ == "__main__":
    main()
