"""The end-to-end demonstration behind ``veltra demo``: an M-PSK link through
:class:`veltra.track.MpskReceiver`.

A transmitter with its own carrier and clock offsets sends Gray-coded M-PSK with a
root-raised-cosine pulse through AWGN at a chosen Es/N0; the receiver acquires carrier
and timing, and the figures after lock are set beside theory.
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
    k = int(round(math.log2(m)))
    rng = np.random.default_rng(seed)
    bits = rng.integers(0, 2, k * n_sym, dtype=np.uint8)
    sps_tx = sps * (1.0 + clock_ppm * 1e-6)
    x = mpsk.modulate(bits, m, sps_tx, beta=beta)
    x = x * np.exp(2j * np.pi * cfo * np.arange(x.size) + 1.0j)
    x = mpsk.awgn(x, esn0_db, sps_tx, rng)

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
    result = dict(m=m, esn0_db=esn0_db, ebn0_db=esn0_db - 10 * math.log10(k), n_sym=n_sym,
                  n_out=len(y), sps=sps, true_sps=sps_tx, cfo=cfo, lock_time=lock,
                  locked=rx.locked, counted=max(count, 0),
                  ser_theory=mpsk.ser_theory(esn0_db, m),
                  ber_theory=mpsk.ber_theory(esn0_db - 10 * math.log10(k), m))
    # Estimates: the loops' values averaged over the second half of the run.
    for key, probe, last in (("timing_rate", "rx.sync.rate", rx.timing_rate), ("freq", "rx.car.freq", rx.norm_freq)):
        v = traces.get(probe, np.array([last]))
        result[key] = float(np.mean(v[len(v) // 2:]))
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
