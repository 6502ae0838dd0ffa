"""The ``veltra`` command line: ``veltra demo``, ``veltra info``, ``veltra inspect``, ``veltra convert``,
``veltra --version``."""

import argparse
import importlib
import sys

import numpy as np

import veltra
from veltra import _capture_cli


def demo_acquire(residual_hz=-217.3, fs=8000.0, rs=1000.0, snr_db=6.0, n_sym=3000, seed=3):
    """Cold start on BPSK at an unknown carrier offset: acquire it from the averaged
    spectrum, hand the residual to a carrier loop, track, and decide the bits."""
    from veltra.acquire import CarrierAcquisition
    from veltra.track import LoopFilter

    rng = np.random.default_rng(seed)
    sps = int(round(fs / rs))
    bits = rng.integers(0, 2, n_sym) * 2 - 1
    k = np.arange(n_sym * sps)
    x = np.repeat(bits, sps) * np.exp(1j * (2 * np.pi * residual_hz * k / fs + rng.uniform(0, 2 * np.pi)))
    x += 10 ** (-snr_db / 20) / np.sqrt(2) * (rng.normal(size=k.size) + 1j * rng.normal(size=k.size))
    x = x.astype(np.complex64)

    acq = CarrierAcquisition(fs, rs)
    chunk = sps * 10  # 10 ms of signal per call, as a receiver would hand it over
    for at in range(0, x.size, chunk):
        acq.steps(x[at:at + chunk])
        if acq.ready:
            break
    rep = acq.report()
    if not rep["ready"]:
        return {"acquired": False, "report": rep, "true_hz": residual_hz}
    # Hand-over: remove the acquired residual, integrate each symbol, and track what is left
    # with a squaring (BPSK) carrier loop at the symbol rate.
    start = rep["samples"] - rep["samples"] % sps
    y = x[start:].astype(np.complex128) * np.exp(-2j * np.pi * rep["norm_freq"] * np.arange(x.size - start))
    sym = y[: y.size // sps * sps].reshape(-1, sps).mean(axis=1)
    lf = LoopFilter(bn=0.01, zeta=0.707, t=1.0)
    phase = 0.0
    err = np.empty(sym.size)
    out = np.empty(sym.size, complex)
    for i, s in enumerate(sym):
        z = s * np.exp(-1j * phase)
        out[i] = z
        err[i] = 0.5 * np.angle(z * z)
        phase += lf.step(err[i])
    # Lock-in: from where the 32-symbol rms phase error stays below 0.3 rad (single symbols
    # are too noisy to judge by).
    rms32 = np.sqrt(np.convolve(err ** 2, np.ones(32) / 32, mode="valid"))
    unsettled = np.flatnonzero(rms32 >= 0.3)
    lock_at = int(unsettled[-1] + 32) if unsettled.size else 0
    sent = bits[start // sps: start // sps + sym.size]
    decided = np.sign(out.real[lock_at:])
    agree = np.mean(decided == sent[lock_at:])
    return {
        "acquired": True, "report": rep, "true_hz": residual_hz,
        "tracked_hz": rep["residual_hz"] + lf.integ / (2 * np.pi) * rs,
        "lock_at": lock_at, "symbols": sym.size,
        "rms_error_rad": float(np.sqrt(np.mean(err[lock_at:] ** 2))) if lock_at < sym.size else float("nan"),
        "ber": float(min(agree, 1 - agree)),  # the squaring loop leaves a 180 degree ambiguity
    }


def print_acquire_demo():
    print("cold-start acquisition (CarrierAcquisition) of BPSK, 1 kBd at 8 kHz, 6 dB SNR, offset -217.3 Hz,")
    print("handed over to a squaring carrier loop (LoopFilter, bn=0.01)")
    a = demo_acquire()
    rep = a["report"]
    if not a["acquired"]:
        print(f"  not acquired after {rep['n_blocks']} blocks")
        return 1
    print(f"  acquired             after {rep['n_blocks']} block(s), {rep['elapsed_s'] * 1e3:.0f} ms of signal "
          f"(statistic {rep['test_stat']:.2f} > threshold {rep['threshold']:.2f})")
    print(f"  residual             true {a['true_hz']:+.2f} Hz  acquired {rep['residual_hz']:+.2f} Hz "
          f"(bin {rep['bin_hz']:.3f} Hz)")
    print(f"  tracked              {a['tracked_hz']:+.2f} Hz after {a['symbols']} symbols; "
          f"lock-in {a['lock_at']} symbols (32-symbol rms error < 0.3 rad)")
    print(f"  after lock           {a['rms_error_rad']:.3f} rad rms phase error, bit error rate {a['ber']:.4f}")
    return 0


def cmd_demo(args):
    if args.acquire:
        print(f"veltra {veltra.__version__} demo --acquire")
        return print_acquire_demo()
    from veltra import demo

    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("--plot needs matplotlib: pip install veltra[plot]", file=sys.stderr)
            return 2
    print(f"veltra {veltra.__version__} demo")
    r = demo.run(m=args.m, esn0_db=args.esn0, n_sym=args.symbols, cfo=args.cfo, clock_ppm=args.ppm,
                 seed=args.seed, quiet=args.quiet)
    print("\n".join(demo.report(r)))
    if args.plot:
        demo.plot(r, args.plot)
        print(f"  plot                   {args.plot}")
    return 0 if r["lock_time"] >= 0 else 1


def cmd_info(_args):
    print(f"veltra {veltra.__version__}")
    print(f"numpy {np.__version__}")
    simd = "unknown"
    for name in veltra.MODULES:
        try:
            mod = importlib.import_module(f"veltra.{name}")
        except ImportError as e:
            print(f"  {name:12s} missing ({e})")
            continue
        info = mod._build_info()
        simd = info["simd_level"]
        print(f"  {name:12s} built (gcc {info['compiler']}, NumPy C API level {info['numpy_c_api']})")
    print(f"SIMD level: {simd}")
    return 0


def main(argv=None):
    p = argparse.ArgumentParser(prog="veltra", description=veltra.__doc__)
    p.add_argument("--version", action="version", version=f"veltra {veltra.__version__}")
    sub = p.add_subparsers(dest="cmd")
    d = sub.add_parser("demo", help="receive a synthetic M-PSK link and compare it with theory")
    d.add_argument("--m", type=int, choices=(2, 4, 8), default=4, help="constellation order (default 4)")
    d.add_argument("--esn0", type=float, default=None,
                   help="Es/N0 in dB (default 7, 10 or 16 dB for m = 2, 4, 8)")
    d.add_argument("--symbols", type=int, default=20000, help="symbols to send (default 20000)")
    d.add_argument("--cfo", type=float, default=2e-4, help="carrier offset, cycles/sample (default 2e-4)")
    d.add_argument("--ppm", type=float, default=200.0, help="transmit clock offset, ppm (default 200)")
    d.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    d.add_argument("--plot", metavar="FILE.png", help="write the constellation and loop traces (matplotlib)")
    d.add_argument("--quiet", action="store_true", help="no progress bar")
    d.add_argument("--acquire", action="store_true", help="cold start: carrier acquisition, then tracking")
    sub.add_parser("info", help="modules built, NumPy version, SIMD level")
    capture = _capture_cli.add_parsers(sub)
    args = p.parse_args(argv)
    if args.cmd is None:
        p.print_help()
        return 2
    return {"demo": cmd_demo, "info": cmd_info, **capture}[args.cmd](args)


if __name__ == "__main__":
    sys.exit(main())
