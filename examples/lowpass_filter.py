"""Lowpass filtering a stream
==========================

Design a lowpass, filter a stream block by block, and check what it removed.

A complex baseband capture holds a wanted tone at 0.05 cycles/sample and an interferer at
0.35 cycles/sample. A 60 dB Kaiser lowpass with its passband edge at 0.2 of Nyquist keeps
the first and removes the second; the stream is filtered in uneven blocks, as a receiver
would get it, and a moving average then smooths the tone's envelope.
"""

import numpy as np

from veltra.filter import FIR, MovingAverage, design_lowpass


def tone_power_db(x, f):
    """Power of x at frequency f (cycles/sample), in dB."""
    n = np.arange(len(x))
    return 20 * np.log10(abs(np.mean(x * np.exp(-2j * np.pi * f * n))))


def main():
    n = np.arange(20000)
    x = (np.exp(2j * np.pi * 0.05 * n) + 0.5 * np.exp(2j * np.pi * 0.35 * n)).astype(np.complex64)

    taps = design_lowpass(fpass=0.2, fstop=0.4, atten_db=60.0)
    lowpass = FIR(taps)
    blocks = np.split(x, [1000, 1017, 9000, 15001])
    y = np.concatenate([lowpass.execute(b) for b in blocks])

    settled = slice(len(taps), None)
    print(f"{len(taps)} taps, DC gain {taps.sum():.4f}")
    for f, name in [(0.05, "wanted tone"), (0.35, "interferer")]:
        before, after = tone_power_db(x[settled], f), tone_power_db(y[settled], f)
        print(f"{name:12s} {before:7.1f} dB -> {after:7.1f} dB")

    envelope = MovingAverage(len=16).steps(np.abs(y).astype(np.complex64)).real
    print(f"envelope after settling: {envelope[-1]:.4f}")
    return y


if __name__ == "__main__":
    main()
