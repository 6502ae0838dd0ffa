"""
Bit error rate against Eb/N0, beside theory
===========================================

QPSK symbols cross an additive white Gaussian noise channel at several Eb/N0. A
:class:`veltra.ber.BerMeter` detects where its marker sits in the received stream (lag
and carrier phase), scores the symbols chunk by chunk and stops once it has counted
enough errors for a tight estimate. Each measured rate is drawn with its exact 99 %
confidence interval beside :func:`veltra.ber.ber_theory_ber`.
"""

import matplotlib.pyplot as plt
import numpy as np

from veltra.ber import BerMeter, ber_theory_ber

M, BITS = 4, 2  # QPSK: two Gray-coded bits per symbol
MAX_SYMBOLS, CHUNK = 600_000, 20_000
rng = np.random.default_rng(2024)


def measure(ebn0_db):
    """BerInterval of QPSK over AWGN at `ebn0_db`, stopped after 100 symbol errors."""
    esn0 = BITS * 10 ** (ebn0_db / 10)
    truth = rng.integers(0, M, MAX_SYMBOLS).astype(np.uint8)
    noise = (rng.normal(size=MAX_SYMBOLS) + 1j * rng.normal(size=MAX_SYMBOLS)) / np.sqrt(2 * esn0)
    rx = (np.exp(1j * (np.pi / 2 * truth + np.pi / 4)) + noise).astype(np.complex64)
    rx = (rx * np.exp(1j * 0.3)).astype(np.complex64)  # an unknown carrier phase, found by the alignment

    meter = BerMeter(m=M, target_errors=100, conf=0.99)
    meter.set_truth(truth)
    if meter.align(rx[:CHUNK], n_marker=256) != 1:
        raise RuntimeError("marker not detected")
    for lo in range(0, MAX_SYMBOLS, CHUNK):
        meter.score(rx, lo=lo, hi=lo + CHUNK)
        if meter.enough:
            break
    return meter.ber()


ebn0_db = np.arange(0.0, 9.0, 1.0)
measured = [measure(e) for e in ebn0_db]
for e, iv in zip(ebn0_db, measured):
    theory = ber_theory_ber(M, BITS * 10 ** (e / 10))
    print(f"Eb/N0 {e:3.0f} dB: BER {iv.p_hat:.3e} in [{iv.lo:.3e}, {iv.hi:.3e}] "
          f"from {iv.symbols} bits; theory {theory:.3e}")

p = np.array([iv.p_hat for iv in measured])
lo = np.array([iv.lo for iv in measured])
hi = np.array([iv.hi for iv in measured])
fine = np.linspace(0, 8.5, 200)

fig, ax = plt.subplots(figsize=(7, 4))
ax.semilogy(fine, [ber_theory_ber(M, BITS * 10 ** (e / 10)) for e in fine], label="theory, coherent QPSK")
ax.errorbar(ebn0_db, p, yerr=[p - lo, hi - p], fmt="o", capsize=3, label="measured, 99 % interval")
ax.set_xlabel("Eb/N0 (dB)")
ax.set_ylabel("bit error rate")
ax.grid(True, which="both", alpha=0.3)
ax.legend()
ax.set_title("QPSK over AWGN: BerMeter against theory")
fig.tight_layout()
plt.show()
