"""
Power spectrum of a capture and its measurements
================================================

A one-second, 1 MHz capture holds a QPSK carrier of 50 kbaud at +150 kHz, a weaker
unmodulated tone at -220 kHz and white noise, quantised as a 12-bit ADC would deliver
it. A :class:`veltra.spectral.PSD` averages Kaiser-windowed frames of it, block by
block, and reads off the noise floor, the carrier's band power, SNR and occupied
bandwidth, and the tone's level over the floor.
"""

import matplotlib.pyplot as plt
import numpy as np

from veltra import mpsk
from veltra.spectral import PSD

FS, BAUD = 1.0e6, 50.0e3
rng = np.random.default_rng(11)
n = int(FS)
t = np.arange(n) / FS
bits = rng.integers(0, 2, 2 * int(BAUD) + 64, dtype=np.uint8)
qpsk = mpsk.modulate(bits, m=4, sps=FS / BAUD, pulse="rrc")[:n]
x = 0.3 * qpsk * np.exp(2j * np.pi * 150e3 * t) + 0.01 * np.exp(-2j * np.pi * 220e3 * t)
x = x + (rng.normal(size=n) + 1j * rng.normal(size=n)) * 0.003
codes = np.round(x * 2047).clip(-2048, 2047)  # a 12-bit ADC's I and Q codes
capture = (codes / 2048).astype(np.complex64)  # back to full scale 1.0

psd = PSD(4096, fs=FS, window="kaiser", beta=12.0)
for block in np.array_split(capture, 16):
    psd.accumulate(block[: len(block) // psd.n * psd.n])  # whole frames only

band = (150e3 - 35e3, 150e3 + 35e3)
freqs = (np.arange(psd.nfft) - psd.nfft // 2) * FS / psd.nfft
print(f"{psd.count} frames of {psd.n} samples, RBW {psd.rbw:.1f} Hz")
print(f"noise floor:             {psd.noise_floor():6.1f} dBFS per bin")
print(f"carrier band power:      {psd.band_power(band)[0]:6.1f} dBFS")
print(f"carrier peak over floor: {psd.snr(*band):6.1f} dB")
print(f"tone peak over floor:    {psd.snr(-225e3, -215e3):6.1f} dB")
print(f"99% occupied bandwidth:  {psd.occupied_bw(0.99) / 1e3:6.1f} kHz")

fig, ax = plt.subplots(figsize=(8, 4))
ax.plot(freqs / 1e3, psd.psd_db(), lw=0.7)
ax.axhline(psd.noise_floor(), color="grey", linestyle=":", label="noise floor")
ax.axvspan(band[0] / 1e3, band[1] / 1e3, color="C1", alpha=0.15, label="carrier band")
ax.set_xlabel("frequency (kHz)")
ax.set_ylabel("power (dBFS per bin)")
ax.set_title(f"Averaged PSD of {psd.count} frames")
ax.legend(loc="upper left", fontsize=8)
fig.tight_layout()
plt.show()
