"""The end-to-end demonstration behind ``veltra demo``: an M-PSK link through
:class:`veltra.track.MpskReceiver`.

A transmitter with its own carrier and clock offsets sends Gray-coded M-PSK with a
root-raised-cosine pulse through AWGN at a chosen Es/N0 (composed by
:class:`veltra.wfm.Composer`); the receiver acquires carrier and timing, and the
figures after lock are set beside theory. :func:`acquire` is the cold start: carrier
acquisition on an unknown offset hands over to a `BpskReceiver`.
"""

import math

import numpy as np

from veltra import mpsk

DEFAULT_ESN0_DB = {2: 7.0, 4: 10.0, 8: 16.0}
BLOCK = 1 << 15  # samples per receiver call (one progress step)
SETTLE = 200     # symbols after carrier lock before errors count


def _progress(total, quiet):
    """A tqdm bar that appears only for runs longer than a second; None without tqdm."""
    if quiet:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="sample", unit_scale=True, delay=1.0, leave=False)


def _align(y, sym, m, start, count):
    """Lag of y against the transmitted symbols and the receiver's turn by 2*pi/m."""
    a = y[start:start + count]
    lags = [k for k in range(-64, 65) if start + k >= 0 and start + k + count <= len(sym)]
    lag = max(lags, key=lambda k: abs(np.vdot(sym[start + k:start + k + count], a)))
    turn = np.angle(np.vdot(a, sym[start + lag:start + lag + count]))
    return lag, np.exp(1j * round(turn / (2 * np.pi / m)) * 2 * np.pi / m)


def transmit(m, n_sym, sps, cfo, clock_ppm, beta, esn0_db, seed):
    """The transmitted link, composed: Gray M-PSK of random bits, RRC-shaped at the
    transmitter's clock, offset by `cfo` cycles/sample, through AWGN at Es/N0.

    Returns
    -------
    bits : ndarray of uint8
    x : ndarray of complex64
    sps_tx : float
        The true samples per symbol.
    """
    from veltra.wfm import Composer, Segment

    k = int(round(math.log2(m)))
    bits = np.random.default_rng(seed).integers(0, 2, k * n_sym, dtype=np.uint8)
    sps_tx = sps * (1.0 + clock_ppm * 1e-6)
    whole = max(1, round(sps))  # the composer's nominal samples per symbol; the clock offset holds the rest
    seg = Segment("symbols", symbols=mpsk.bits_to_symbols(bits, m), sps=whole,
                  clock_ppm=(sps_tx / whole - 1) * 1e6, pulse="rrc", rrc_beta=beta, freq_hz=cfo,
                  snr=esn0_db, snr_mode="esno", num_samples=int(n_sym * sps_tx), seed=seed)
    return bits, Composer([seg]).compose(), sps_tx


def run(m=4, esn0_db=None, n_sym=20000, sps=8.0, cfo=2e-4, clock_ppm=200.0, beta=0.35,
        bn_carrier=0.01, bn_timing=0.01, seed=1, quiet=True):
    """Synthesise, receive and measure; returns the figures and the traces for a plot.

    Returns
    -------
    dict
        Link parameters, lock time, frequency and timing estimates, symbol and bit error
        rates after lock with their theory values, and (under "trace") the post-lock
        symbols and the receiver's telemetry per probe.
    """
    from veltra.telemetry import Telemetry
    from veltra.track import MpskReceiver

    esn0_db = DEFAULT_ESN0_DB[m] if esn0_db is None else esn0_db
    bits, x, sps_tx = transmit(m, n_sym, sps, cfo, clock_ppm, beta, esn0_db, seed)

    rx = MpskReceiver(m=m, sps=sps, pulse="rrc", rrc_beta=beta, bn_carrier=bn_carrier,
                      bn_timing=bn_timing)
    decim = max(1, n_sym // 4000)
    tlm = Telemetry(1 << 17)
    rx.set_telemetry(tlm, "rx", decim)
    ys, traces = [], {}
    bar = _progress(x.size, quiet)
    for i in range(0, x.size, BLOCK):
        ys.append(rx.steps(x[i:i + BLOCK]))
        for name, v in tlm.read_by_probe().items():
            traces.setdefault(name, []).append(v)
        if bar is not None:
            bar.update(min(BLOCK, x.size - i))
    if bar is not None:
        bar.close()
    rx.set_telemetry(None, "rx")
    traces = {n: np.concatenate(v) for n, v in traces.items()}
    y = np.concatenate(ys)

    sym = mpsk.bits_to_symbols(bits, m)
    lock = rx.lock_time
    start = (lock if lock >= 0 else len(y) // 2) + SETTLE
    count = len(y) - start - 64
    k = int(round(math.log2(m)))
    result = dict(m=m, esn0_db=esn0_db, ebn0_db=esn0_db - 10 * math.log10(k), n_sym=n_sym,
                  n_out=len(y), sps=sps, true_sps=sps_tx, cfo=cfo, lock_time=lock,
                  locked=rx.locked, counted=max(count, 0),
                  ser_theory=mpsk.ser_theory(esn0_db, m),
                  ber_theory=mpsk.ber_theory(esn0_db - 10 * math.log10(k), m))
    # The carrier estimate averaged over the second half of the run; the timing rate is an
    # average over thousands of symbols already, best read at the end.
    v = traces.get("rx.car.freq", np.array([rx.norm_freq]))
    result["freq"] = float(np.mean(v[len(v) // 2:]))
    result["timing_rate"] = rx.timing_rate
    if count > 100:
        lag, turn = _align(y, sym, m, start, min(count, 4000))
        got = y[start:start + count] * turn
        ref = sym[start + lag:start + lag + count]
        decided = mpsk.bits_to_symbols(mpsk.demap(got, m), m)
        result["ser"] = float(np.mean(np.abs(decided - ref) > 1e-6))
        result["ber"] = float(np.mean(mpsk.demap(got, m) != mpsk.demap(ref, m)))
        result["trace"] = dict(symbols=got[:4000], telemetry=traces, decim=decim)
    else:
        result["ser"] = result["ber"] = float("nan")
        result["trace"] = dict(symbols=y[-4000:], telemetry=traces, decim=decim)
    return result


def report(r):
    """The demo's printed lines."""
    names = {2: "BPSK", 4: "QPSK", 8: "8PSK"}
    lines = [
        f"{names[r['m']]} link: {r['n_sym']} symbols, RRC beta 0.35, {r['sps']:g} samples/symbol, "
        f"Es/N0 {r['esn0_db']:.1f} dB (Eb/N0 {r['ebn0_db']:.1f} dB)",
        f"  receiver (MpskReceiver)  {r['n_out']} symbols out",
    ]
    if r["lock_time"] >= 0:
        lines.append(f"  carrier lock           symbol {r['lock_time']}")
    else:
        lines.append("  carrier lock           not acquired")
    lines += [
        f"  carrier frequency      true {r['cfo']:+.6f}  measured {r['freq']:+.6f} cycles/sample",
        f"  samples per symbol     true {r['true_sps']:.5f}  measured {r['timing_rate']:.5f}",
        f"  symbol error rate      {r['ser']:.2e}  theory {r['ser_theory']:.2e}  ({r['counted']} symbols after lock)",
        f"  bit error rate         {r['ber']:.2e}  theory {r['ber_theory']:.2e}",
    ]
    return lines


def acquire(residual_hz=-217.3, fs=8000.0, rs=1000.0, snr_db=6.0, n_sym=3000, bn_carrier=0.02, seed=3):
    """Cold start on BPSK at an unknown carrier offset: acquire the offset from the averaged
    spectrum, then track and decide with a `BpskReceiver` centred on the acquired residual.

    The link is rectangular-pulse BPSK, `rs` baud at `fs` samples per second, `snr_db`
    signal over noise power in the sample-rate band (6 dB is the acquisition's design SNR).

    Returns
    -------
    dict
        The acquisition ``report``; ``true_hz``; and once acquired ``tracked_hz`` (the
        carrier loop's final frequency), ``lock_time`` (symbols after hand-over),
        ``symbols`` out, ``rms_error_rad`` (decided symbols' phase error after lock) and
        ``ber`` after lock; ``fs``, ``rs`` and ``snr_db`` as given.
    """
    from veltra.acquire import CarrierAcquisition
    from veltra.track import BpskReceiver
    from veltra.wfm import Composer, Segment

    sps = int(round(fs / rs))
    bits = np.random.default_rng(seed).integers(0, 2, n_sym, dtype=np.uint8)
    x = Composer([Segment("bits", bits=bits, fs=fs, sps=sps, freq_hz=residual_hz, snr=snr_db, snr_mode="fs",
                          num_samples=n_sym * sps, seed=seed)]).compose()
    acq = CarrierAcquisition(fs, rs)
    chunk = sps * 10  # 10 ms of signal per call, as a receiver front end would hand it over
    for at in range(0, x.size, chunk):
        acq.steps(x[at:at + chunk])
        if acq.ready:
            break
    rep = acq.report()
    if not rep["ready"]:
        return {"acquired": False, "report": rep, "true_hz": residual_hz, "fs": fs, "rs": rs, "snr_db": snr_db}
    # Hand-over: the receiver starts on the samples after those acquisition consumed, its
    # oscillator at the acquired residual; its own loops find the symbol timing and phase.
    rx = BpskReceiver(fs, rs, carrier_freq_hz=rep["residual_hz"], bn_carrier=bn_carrier)
    y = rx.steps(x[rep["samples"]:])
    sent = mpsk.bits_to_symbols(bits, 2)[rep["samples"] // sps:]
    lock = rx.lock_time
    out = {"acquired": True, "report": rep, "true_hz": residual_hz, "tracked_hz": rx.norm_freq * fs,
           "fs": fs, "rs": rs, "snr_db": snr_db,
           "lock_time": lock, "symbols": len(y), "rms_error_rad": float("nan"), "ber": float("nan")}
    count = min(len(y), len(sent)) - lock - 64 if lock >= 0 else 0  # room for the lag search
    if count > 100:
        lag, turn = _align(y, sent, 2, lock, count)  # the squaring loop leaves a turn of pi
        got = y[lock:lock + count] * turn
        ref = sent[lock + lag:lock + lag + count]
        out["rms_error_rad"] = float(np.sqrt(np.mean(np.angle(got * np.conj(ref)) ** 2)))
        out["ber"] = float(np.mean(mpsk.demap(got, 2) != mpsk.demap(ref, 2)))
    return out


def report_acquire(a):
    """The printed lines of :func:`acquire`."""
    rep = a["report"]
    lines = [f"cold start: BPSK, {a['rs']:g} Bd at {a['fs']:g} Hz, {a['snr_db']:g} dB SNR, carrier offset "
             "unknown (CarrierAcquisition, then BpskReceiver)"]
    if not a["acquired"]:
        return lines + [f"  not acquired after {rep['n_blocks']} blocks"]
    lines += [
        f"  acquired             after {rep['n_blocks']} block(s), {rep['elapsed_s'] * 1e3:.0f} ms of signal "
        f"(statistic {rep['test_stat']:.2f} > threshold {rep['threshold']:.2f})",
        f"  residual             true {a['true_hz']:+.2f} Hz  acquired {rep['residual_hz']:+.2f} Hz "
        f"(bin {rep['bin_hz']:.3f} Hz)",
        f"  tracked              {a['tracked_hz']:+.2f} Hz after {a['symbols']} symbols",
    ]
    if a["lock_time"] < 0:
        return lines + ["  carrier lock         not reached"]
    return lines + [
        f"  carrier lock         symbol {a['lock_time']} after hand-over",
        f"  after lock           {a['rms_error_rad']:.3f} rad rms phase error, bit error rate {a['ber']:.2e}",
    ]


def plot(r, path):
    """Constellation after lock and the loop traces, written to `path`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = r["trace"]["telemetry"]
    step = r["trace"]["decim"]
    fig, ax = plt.subplots(2, 3, figsize=(13, 7))
    s = r["trace"]["symbols"]
    ax[0, 0].plot(s.real, s.imag, ".", ms=2)
    ax[0, 0].set(title="constellation after lock", aspect="equal", xlim=(-1.6, 1.6), ylim=(-1.6, 1.6))
    panels = [("rx.car.e", "carrier phase error"), ("rx.car.freq", "frequency [cycles/sample]"),
              ("rx.sync.rate", "timing rate [samples/symbol]"), ("rx.lock", "carrier lock signal"),
              ("rx.sync.lock", "timing lock statistic")]
    for a, (name, title) in zip(ax.ravel()[1:], panels):
        v = t.get(name, np.array([]))
        a.plot(np.arange(v.size) * step, v, ".", ms=1)
        a.set(title=title, xlabel="symbol")
        if r["lock_time"] >= 0:
            a.axvline(r["lock_time"], color="k", lw=0.5, ls=":")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
