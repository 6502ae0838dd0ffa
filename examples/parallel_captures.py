"""Parallel capture processing with Dask
======================================

Run a receive chain over many captures, or over one long capture in slices, with Dask.

The chain is reader -> DDC -> M-PSK receiver, with a PSD of the down-converted stream:
each capture gives a summary (samples, symbols, lock, the symbols' digest, the PSD in dB).

- ``map_captures``: one capture per task over a ``dask.bag``, on the local scheduler
  (processes by default) or on a ``distributed`` cluster given by its address.
- ``process_in_slices``: one long capture cut into time slices. The slices are read in
  parallel, while the chain runs through them in order: each task gets the chain as a
  pickle, runs its slice and hands the pickle on, so processing of one slice overlaps the
  reading of the next and the state crosses processes as it would cross machines. The
  result equals the single-process run bit for bit.

Needs the ``veltra[parallel]`` extra (Dask). From the command line::

    python parallel_captures.py CAPTURE_DIR [--address tcp://host:8786]
    python parallel_captures.py CAPTURE --slices 8
    python parallel_captures.py --demo DIR   # write a few captures and check both modes
"""

import argparse
import hashlib
import pathlib
import pickle

import numpy as np

from veltra import mpsk
from veltra.ddc import DDC
from veltra.spectral import PSD
from veltra.track import MpskReceiver
from veltra.wfm import Reader, Writer

BLOCK = 1 << 15  # samples read per call


class Chain:
    """DDC to baseband and half the rate, QPSK receiver, PSD of the receiver's input."""

    def __init__(self, if_freq=0.125, sps=8.0):
        self.ddc = DDC(norm_freq=-if_freq, rate=0.5)
        self.rx = MpskReceiver(m=4, sps=sps / 2, bn_carrier=0.02)
        self.psd = PSD(n=256, window="hann")
        self.tail = np.zeros(0, np.complex64)  # the PSD takes whole frames only

    def run(self, x):
        """Symbols of one block of capture samples."""
        y = self.ddc.execute(x)
        frames = np.concatenate([self.tail, y])
        whole = len(frames) // self.psd.n * self.psd.n
        self.psd.accumulate(frames[:whole])
        self.tail = frames[whole:]
        return self.rx.steps(y)


def summary(chain, symbols, n_samples):
    return {
        "samples": n_samples,
        "symbols": len(symbols),
        "locked": bool(chain.rx.locked),
        "digest": hashlib.sha256(symbols.tobytes()).hexdigest(),
        "psd_db": chain.psd.psd_db(),
    }


def process_capture(path, if_freq=0.125, sps=8.0):
    """Summary of one capture, read block by block in this process."""
    chain, out, n = Chain(if_freq, sps), [], 0
    with Reader(str(path)) as r:
        while len(x := r.read(BLOCK)):
            out.append(chain.run(x))
            n += len(x)
    return summary(chain, np.concatenate(out), n)


def scheduler_kwargs(scheduler, address):
    """compute() keywords: a distributed client when an address is given."""
    if address:
        from dask.distributed import Client

        return {"scheduler": Client(address)}
    return {"scheduler": scheduler}


def map_captures(paths, scheduler="processes", address=None, **chain_args):
    """Summaries of many captures, one Dask task each, in the order of `paths`."""
    import dask.bag as db

    bag = db.from_sequence([str(p) for p in paths], npartitions=max(1, len(paths)))
    return bag.map(process_capture, **chain_args).compute(**scheduler_kwargs(scheduler, address))


def read_slice(path, start, stop):
    with Reader(str(path)) as r:
        r.seek(start)
        return r.read(stop - start)


def run_slice(chain_blob, x):
    """Continue the pickled chain over one slice; return it pickled again, and the symbols."""
    chain = pickle.loads(chain_blob)
    y = chain.run(x)
    return pickle.dumps(chain), y


def process_in_slices(path, n_slices, scheduler="processes", address=None, if_freq=0.125, sps=8.0):
    """Summary of one capture cut into `n_slices` time slices (see the module notes)."""
    import dask

    with Reader(str(path)) as r:
        n = r.num_samples
    edges = np.linspace(0, n, n_slices + 1).astype(int)
    blob, symbols = pickle.dumps(Chain(if_freq, sps)), []
    for a, b in zip(edges[:-1], edges[1:]):
        x = dask.delayed(read_slice)(str(path), int(a), int(b))
        blob, y = dask.delayed(run_slice, nout=2)(blob, x)
        symbols.append(y)
    blob, symbols = dask.compute(blob, symbols, **scheduler_kwargs(scheduler, address))
    return summary(pickle.loads(blob), np.concatenate(symbols), n)


def write_demo_captures(directory, count=3, n_symbols=6000, if_freq=0.125, sps=8, seed=0):
    """QPSK captures at `if_freq` cycles/sample with noise, as SigMF; returns their paths."""
    rng = np.random.default_rng(seed)
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for k in range(count):
        bits = rng.integers(0, 2, 2 * n_symbols, dtype=np.uint8)
        x = mpsk.modulate(bits, m=4, sps=sps, pulse="iandd")
        x = x * np.exp(2j * np.pi * (if_freq + 1e-4 * k) * np.arange(len(x)))
        x = x + 0.1 * (rng.standard_normal(len(x)) + 1j * rng.standard_normal(len(x)))
        path = directory / f"capture{k}.sigmf-data"
        with Writer(str(path), 1e6, file_type="sigmf", sample_type="ci16", headroom=6.0) as w:
            w.write(x.astype(np.complex64))
        paths.append(path)
    return paths


def same(a, b):
    return all(np.array_equal(a[k], b[k]) if k == "psd_db" else a[k] == b[k] for k in a)


def main(argv=None):
    p = argparse.ArgumentParser(description="Run a receive chain over captures with Dask.")
    p.add_argument("path", help="a directory of captures, or one capture with --slices")
    p.add_argument("--slices", type=int, default=0, help="cut one capture into this many slices")
    p.add_argument("--scheduler", default="processes", choices=("processes", "threads", "sync"))
    p.add_argument("--address", help="a dask.distributed scheduler, e.g. tcp://host:8786")
    p.add_argument("--demo", action="store_true", help="write demo captures into PATH and check both modes")
    args = p.parse_args(argv)
    run = dict(scheduler=args.scheduler, address=args.address)

    if args.demo:
        paths = write_demo_captures(args.path)
        single = [process_capture(q) for q in paths]
        parallel = map_captures(paths, **run)
        sliced = process_in_slices(paths[0], 5, **run)
        for q, s in zip(paths, single):
            print(f"{q.name}: {s['symbols']} symbols, locked {s['locked']}, {s['digest'][:12]}")
        print("map over captures equals the single-process loop:", all(map(same, parallel, single)))
        print("sliced run equals the single-process run:", same(sliced, single[0]))
        return single, parallel, sliced
    path = pathlib.Path(args.path)
    if args.slices:
        results = [process_in_slices(path, args.slices, **run)]
    else:
        results = map_captures(sorted(q for q in path.iterdir() if not q.name.endswith(".sigmf-meta")), **run)
    for s in results:
        print(f"{s['samples']} samples, {s['symbols']} symbols, locked {s['locked']}, {s['digest'][:12]}")
    return results


if __name__ == "__main__":
    main()
