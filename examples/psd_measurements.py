"""
Power spectrum of a capture and its measurements
================================================

A one-second 1 MHz capture centred on 433.92 MHz holds a QPSK carrier of 50 kbaud at
+150 kHz, a weaker unmodulated tone at -220 kHz and white noise. It is written as a
16-bit SigMF capture, then read back block by block into a
:class:`veltra.spectral.PSD`, which averages Kaiser-windowed frames and reads off the
noise floor, the carrier's band power, its peak over the floor and the occupied
bandwidth. The reader also says where the rate and centre frequency it found came from.
"""

import os
import tempfile

import matplotlib.pyplot as plt
import numpy as np

from veltra import mpsk
from veltra.spectral import PSD
from veltra.wfm import Reader, Writer

FS, FC, BAUD = 1.0e6, 433.92e6, 50.0e3
rng = np.random.default_rng(11)
n = int(FS)
t = np.arange(n) / FS
bits = rng.integers(0, 2, 2 * int(BAUD) + 64, dtype=np.uint8)
qpsk = mpsk.modulate(bits, m=4, sps=FS / BAUD, pulse="rrc")[:n]
x = 0.3 * qpsk * np.exp(2j * np.pi * 150e3 * t) + 0.01 * np.exp(-2j * np.pi * 220e3 * t)
x = (x + (rng.normal(size=n) + 1j * rng.normal(size=n)) * 0.003).astype(np.complex64)

path = os.path.join(tempfile.mkdtemp(), "ism.sigmf-data")
with Writer(path, FS, file_type="sigmf", sample_type="ci16", fc=FC) as w:
    w.write(x)

psd = PSD(4096, fs=FS, window="kaiser", beta=12.0)
with Reader(path) as r:
    print(f"{r.file_type} {r.sample_type}, {r.num_samples} samples; "
          f"fs {r.fs:.0f} Hz from {r.fs_source}, fc {r.fc / 1e6:.2f} MHz from {r.fc_source}")
    while len(block := r.read(16 * psd.n)):  # whole frames: PSD carries nothing across calls
        psd.accumulate(block)

band = (150e3 - 35e3, 150e3 + 35e3)
print(f"{psd.count} frames of {psd.n} samples, RBW {psd.rbw:.1f} Hz")
print(f"noise floor:             {psd.noise_floor():6.1f} dBFS per bin")
print(f"carrier band power:      {psd.band_power(band)[0]:6.1f} dBFS")
print(f"carrier peak over floor: {psd.snr(*band):6.1f} dB")
print(f"tone peak over floor:    {psd.snr(-225e3, -215e3):6.1f} dB")
print(f"99% occupied bandwidth:  {psd.occupied_bw(0.99) / 1e3:6.1f} kHz")

freqs = FC + (np.arange(psd.nfft) - psd.nfft // 2) * FS / psd.nfft
fig, ax = plt.subplots(figsize=(8, 4))
ax.plot(freqs / 1e6, psd.psd_db(), lw=0.7)
ax.axhline(psd.noise_floor(), color="grey", linestyle=":", label="noise floor")
ax.axvspan((FC + band[0]) / 1e6, (FC + band[1]) / 1e6, color="C1", alpha=0.15, label="carrier band")
ax.set_xlabel("frequency (MHz)")
ax.set_ylabel("power (dBFS per bin)")
ax.set_title(f"Averaged PSD of {psd.count} frames of the capture")
ax.legend(loc="upper left", fontsize=8)
fig.tight_layout()
plt.show()
