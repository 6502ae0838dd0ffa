"""FFT and PSD throughput against numpy.fft and scipy.signal.welch.

Each line reads ``name: ours X, <peer> Y, ratio Z`` (median of repeats; ratio = peer time /
our time, above 1 means veltra is faster). Our FFT is called the way a streaming user would,
with ``out=``; raw FFTW from C with the same plan flags is timed by the native benchmark
(``build/native/bench/native/bench_fft``, ``make bench-native``).
"""

import numpy as np
import scipy.signal as ss

from common import median_time, report

from veltra.spectral import FFT, PSD, Corr


def main():
    rng = np.random.default_rng(0)
    for n in (1024, 4096):
        x = (rng.normal(size=n) + 1j * rng.normal(size=n)).astype(np.complex64)
        out = np.empty(n, np.complex64)
        f = FFT(n)
        ours = median_time(lambda: f.execute_cf32(x, out=out), number=2000)
        peer = median_time(lambda: np.fft.fft(x), number=2000)
        report(f"fft cf32 n={n} (out=)", ours, peer, peer_name="numpy.fft")

    n_samples, nperseg = 10_000_000, 1024
    x = (rng.normal(size=n_samples) + 1j * rng.normal(size=n_samples)).astype(np.complex64)
    w = np.hanning(nperseg)

    def ours_psd():
        p = PSD(nperseg)
        p.accumulate(x)
        return p.power_twosided()

    def welch():
        return ss.welch(x, window=w, nperseg=nperseg, noverlap=0, detrend=False, return_onesided=False,
                        scaling="spectrum")

    report(f"psd of {n_samples} cf32, n={nperseg}", median_time(ours_psd, repeats=3),
           median_time(welch, repeats=3), unit="ms", scale=1e3, peer_name="scipy welch")


def bench_corr():
    rng = np.random.default_rng(1)
    n = 4096
    ref = (rng.normal(size=n) + 1j * rng.normal(size=n)).astype(np.complex64)
    x = (rng.normal(size=n) + 1j * rng.normal(size=n)).astype(np.complex64)
    ext = np.concatenate([x, x[:-1]])
    out = np.empty(n, np.complex64)
    c = Corr(ref)
    ref_spec = np.conj(np.fft.fft(ref))  # what a NumPy user precomputes once
    ours = median_time(lambda: c.execute(x, out=out), number=200)
    scipy_t = median_time(lambda: ss.correlate(ext, ref, mode="valid", method="fft"), number=50)
    numpy_t = median_time(lambda: np.fft.ifft(np.fft.fft(x) * ref_spec), number=200)
    report(f"corr n={n}", ours, scipy_t, unit="us", scale=1e6, peer_name="scipy correlate(fft)")
    report(f"corr n={n}", ours, numpy_t, unit="us", scale=1e6, peer_name="numpy fft")


if __name__ == "__main__":
    main()
    bench_corr()
