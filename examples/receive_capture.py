"""Receive QPSK from a capture file: compose it, write it to SigMF, read it back, demodulate.

A 1 MHz capture at 915 MHz holds 125 kBd QPSK (8 samples per symbol) arriving 1 kHz off
the centre at 12 dB Es/N0. The composer writes it as an annotated SigMF pair; the reader
gives back its sample rate and centre frequency, and the samples block by block as a
receiver would take them from a long file. `MpskReceiver` locks to carrier and timing;
its symbols are scored against the transmitted ones, made again without offset and noise (the
composer's symbols and noise come from separate streams), with a detected alignment.
"""

import os
import tempfile

import numpy as np

from veltra.ber import BerMeter, ber_evm_db
from veltra.mpsk import ser_theory
from veltra.track import MpskReceiver
from veltra.wfm import Composer, Reader, Segment

FS, FC, OFFSET, SPS, ESN0_DB = 1e6, 915e6, 1e3, 8, 12.0
SETTLE = 200  # symbols after carrier lock before errors count


def main(path=None, n_sym=8000, block=10000):
    path = path or os.path.join(tempfile.mkdtemp(), "qpsk.sigmf-data")
    link = dict(fs=FS, sps=SPS, num_samples=n_sym * SPS, seed=7)
    Composer([Segment("qpsk", freq_hz=OFFSET, snr=ESN0_DB, snr_mode="esno", **link)]).write(path, fc=FC)

    with Reader(path) as r:
        print(f"{r.file_type} capture: {r.num_samples} samples at {r.fs:g} Hz, centre {r.fc:g} Hz")
        rx = MpskReceiver(m=4, sps=SPS, bn_carrier=0.02)
        y = np.concatenate([rx.steps(r.read(block)) for _ in range(-(-r.num_samples // block))])
    lock = rx.lock_time
    print(f"carrier lock    symbol {lock} of {len(y)}")
    print(f"carrier offset  true {OFFSET:+.1f} Hz  measured {rx.norm_freq * FS:+.1f} Hz")
    if lock < 0:
        return None

    # The transmitted symbols: the same composition without offset and noise, one sample
    # per symbol, as indices s at angle 2*pi*s/4 + pi/4.
    sent = Composer([Segment("qpsk", **link)]).compose()[::SPS]
    truth = np.round((np.angle(sent) - np.pi / 4) / (np.pi / 2)).astype(np.int64) % 4
    meter = BerMeter(m=4)
    meter.set_truth(truth.astype(np.uint8))
    if not meter.align(y, t0=lock + SETTLE, n_marker=128):
        print("alignment      not found")
        return None
    meter.score(y, lo=lock + SETTLE, hi=len(y))
    ser, ber = meter.ser(), meter.ber()
    print(f"symbol errors   {ser.errors} in {ser.symbols}: {ser.p_hat:.2e} (99% {ser.lo:.1e} .. {ser.hi:.1e}; "
          f"theory {ser_theory(ESN0_DB, 4):.2e})")
    print(f"bit errors      {ber.errors} in {ber.symbols}: {ber.p_hat:.2e} (99% {ber.lo:.1e} .. {ber.hi:.1e})")
    print(f"EVM             {ber_evm_db(y, lo=lock + SETTLE, hi=len(y)):.1f} dB")
    return rx, meter


if __name__ == "__main__":
    main()
