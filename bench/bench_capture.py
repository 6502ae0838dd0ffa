"""Capture throughput: writing against numpy's ``tofile``, reading against ``fromfile``.

Prints ``name: ours X, peer Y, ratio Z`` in MB/s of file per CPU second of this process
(user and system time, medians of rounds that time both sides in turn).
Writing: ours converts cf32 to ci16 into a SigMF capture; the peer writes an array already
quantised to int16, so the ratio shows what the fused conversion costs. Reading: ours
returns unit-scale cf32 from a ci16 capture; the peer is numpy.fromfile + astype + scale.
"""

import os
import tempfile

import numpy as np

from common import median_times
from veltra.wfm import Reader, Writer

N = 20_000_000  # samples per run (80 MB of ci16); the aim holds per block of any size
BLOCK = 1 << 20


def main():
    rng = np.random.default_rng(0)
    x = (0.3 * (rng.normal(size=N) + 1j * rng.normal(size=N))).astype(np.complex64)
    q = np.clip(np.round(x.view(np.float32) * 32768), -32768, 32767).astype(np.int16)
    d = tempfile.mkdtemp()
    ours_path, peer_path = os.path.join(d, "c.sigmf-data"), os.path.join(d, "p.raw")

    def ours():
        with Writer(ours_path, 1e6, file_type="sigmf", sample_type="ci16") as w:
            for i in range(0, N, BLOCK):
                w.write(x[i:i + BLOCK])

    def peer():
        with open(peer_path, "wb") as f:
            for i in range(0, 2 * N, 2 * BLOCK):
                q[i:i + 2 * BLOCK].tofile(f)

    mb = N * 4 / 1e6
    t_ours, t_peer = median_times([ours, peer], repeats=5)
    print(f"# {N} cf32 samples written as ci16 SigMF, blocks of {BLOCK}; MB/s of file per CPU second")
    print(f"write cf32->ci16 sigmf vs tofile(int16): ours {mb / t_ours:.0f} MB/s, "
          f"peer {mb / t_peer:.0f} MB/s, ratio {t_peer / t_ours:.2f}")

    def ours_read():
        with Reader(ours_path) as r:
            while r.read(BLOCK).size:
                pass

    def peer_read():
        with open(ours_path, "rb") as f:
            while True:
                q = np.fromfile(f, np.int16, 2 * BLOCK)
                if q.size == 0:
                    break
                (q.astype(np.float32) * np.float32(2 ** -15)).view(np.complex64)

    t_ours, t_peer = median_times([ours_read, peer_read], repeats=5)
    print(f"read ci16 sigmf -> cf32 vs fromfile+astype: ours {mb / t_ours:.0f} MB/s, "
          f"peer {mb / t_peer:.0f} MB/s, ratio {t_peer / t_ours:.2f}")
    for p in os.listdir(d):
        os.remove(os.path.join(d, p))
    os.rmdir(d)


if __name__ == "__main__":
    main()
