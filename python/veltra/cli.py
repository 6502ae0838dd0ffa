"""The ``veltra`` command line: ``veltra demo``, ``veltra info``, ``veltra inspect``, ``veltra convert``,
``veltra psd``, ``veltra --version``."""

import argparse
import importlib
import sys

import numpy as np

import veltra
from veltra import _capture_cli


def cmd_demo(args):
    from veltra import demo

    if args.acquire:
        print(f"veltra {veltra.__version__} demo --acquire")
        a = demo.acquire()
        print("\n".join(demo.report_acquire(a)))
        return 0 if a["acquired"] and a["lock_time"] >= 0 else 1

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
