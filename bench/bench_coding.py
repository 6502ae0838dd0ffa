"""Channel coding: Viterbi decoding next to CommPy with the measured BER curve, and
Reed-Solomon (255,223) decoding next to reedsolo (its C extension when installed).

Throughput lines read ``name: ours X, <peer> Y, ratio Z`` (ratio > 1: veltra faster), as
the median of several repeats on the same input. The machine is shared, so the process
CPU time per call is printed beside the wall time.
"""

import os
import sys
import time

import numpy as np
from commpy.channelcoding import convcode as cc

try:  # reedsolo's C extension, when built
    import creedsolo as reedsolo
    PEER = "creedsolo"
except ImportError:
    import reedsolo
    PEER = "reedsolo (pure Python)"

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time  # noqa: E402

from veltra.coding import ConvEncoder, ReedSolomon, Viterbi  # noqa: E402

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


def rs_throughput(rng):
    """MB/s of codewords: one call per codeword (Python's call overhead included), the
    batch call, and reedsolo decoding one codeword at a time."""
    rs = ReedSolomon(nroots=32)
    peer = reedsolo.RSCodec(32, nsize=255, fcr=1, prim=0x11D, generator=2)
    words = rs.encode_batch(rng.integers(0, 256, (100_000, rs.k)).astype(np.uint8))
    noisy = words.copy()
    for w in noisy:
        w[rng.choice(255, 16, replace=False)] ^= rng.integers(1, 256, 16).astype(np.uint8)
    n_peer = 50
    for name, src in (("clean", words), ("t=16 errors", noisy)):
        work = src.copy()

        def per_call():
            work[:] = src
            for w in work:
                rs.decode(w)

        def batch():
            work[:] = src
            rs.decode_batch(work)

        rows = [bytearray(w.tobytes()) for w in src[:n_peer]]

        def peer_decode():
            for r in rows:
                peer.decode(r)

        mb = src.size / 1e6
        t_call = median_time(per_call, repeats=3)
        t_batch = median_time(batch, repeats=3)
        t_peer = median_time(peer_decode, repeats=3) * len(src) / n_peer
        print(f"rs(255,223) decode {name} (MB/s of codewords): ours per call {mb / t_call:.1f}, "
              f"batch {mb / t_batch:.1f} ({mb / cpu_time(batch, 3):.1f} per CPU second); "
              f"{PEER} {mb / t_peer:.3f}; ratio per call {t_peer / t_call:.0f}, batch {t_peer / t_batch:.0f}")


def main():
    rng = np.random.default_rng(0)
    rs_throughput(rng)
    viterbi_throughput(rng)
    ber_curve(rng)


if __name__ == "__main__":
    main()
