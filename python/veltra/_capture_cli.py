"""The capture commands of the ``veltra`` command line: ``inspect`` and ``convert``."""

import datetime
import sys

BLOCK = 1 << 16
CONTAINERS = ("raw", "csv", "blue", "sigmf")
SAMPLE_TYPES = ("cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8")


def _open(path, args):
    from veltra.wfm import Reader

    return Reader(path, sample_type=args.in_type, endian=args.in_endian)


def _when(t0):
    stamp = datetime.datetime.fromtimestamp(t0, datetime.timezone.utc)
    return stamp.isoformat().replace("+00:00", "Z")


def describe(r):
    """(label, value) lines of what a reader knows about its capture."""
    n = r.num_samples
    duration = f"{n / r.fs:.6g} s" if r.fs > 0 else "unknown (no sample rate)"
    return [
        ("container", r.file_type),
        ("sample type", f"{r.sample_type} ({r.mode})"),
        ("byte order", r.endian),
        ("samples", f"{n}" + (f" (+{r.trailing_bytes} trailing bytes)" if r.trailing_bytes else "")),
        ("duration", duration),
        ("sample rate", f"{r.fs:.10g} Hz (from {r.fs_source})"),
        ("frequency", f"{r.fc:.10g} Hz (from {r.fc_source})"),
        ("start time", (f"{_when(r.t0)} (from {r.t0_source})" if r.t0_source != "none" else "unknown (none)")),
        ("keywords", ", ".join(r.keywords) or "none"),
    ]


def cmd_inspect(args):
    with _open(args.file, args) as r:
        for label, value in describe(r):
            print(f"{label:12s} {value}")
    return 0


def _container_of(path):
    for suffix, container in ((".sigmf-data", "sigmf"), (".csv", "csv"), (".blue", "blue"), (".tmp", "blue")):
        if str(path).endswith(suffix):
            return container
    return "raw"


def _progress(total):
    """A progress bar on long conversions when tqdm is installed and stderr is a terminal."""
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    if total < 10 * BLOCK or not sys.stderr.isatty():
        return None
    return tqdm(total=total, unit=" samples", unit_scale=True, file=sys.stderr)


def convert(src, dst, sample_type="cf32", container=None, endian="le", in_type="auto", in_endian="le",
            headroom=0.0):
    """Copy a capture into another container and sample type, block by block; returns the count."""
    from veltra.wfm import Reader, Writer

    container = container or _container_of(dst)
    with Reader(src, sample_type=in_type, endian=in_endian) as r:
        bar = _progress(r.num_samples)
        done = 0
        with Writer(dst, r.fs, file_type=container, sample_type=sample_type, endian=endian, fc=r.fc,
                    t0=r.t0, headroom=headroom) as w:
            while True:
                x = r.read(BLOCK)
                if x.size == 0:
                    break
                if w.write(x) != x.size:
                    raise OSError(f"short write to {dst}")
                done += x.size
                if bar:
                    bar.update(x.size)
        if bar:
            bar.close()
    return done


def cmd_convert(args):
    n = convert(args.input, args.output, args.type, args.container, args.endian, args.in_type, args.in_endian,
                args.headroom)
    print(f"{n} samples written to {args.output}")
    return 0


def _reader_options(p):
    p.add_argument("--in-type", default="auto", choices=("auto",) + SAMPLE_TYPES,
                   help="sample type of a raw or CSV input (default: its sidecar's, else cf32)")
    p.add_argument("--in-endian", default="le", choices=("le", "be"), help="byte order of a raw input")


def add_parsers(sub):
    """Add the capture subcommands; returns their handlers by name."""
    p = sub.add_parser("inspect", help="describe a capture file",
                       description="Print container, sample type, byte order, count, duration, rate, "
                                   "frequency and start time of a capture, with where each came from.")
    p.add_argument("file")
    _reader_options(p)
    p = sub.add_parser("convert", help="convert a capture to another container or sample type",
                       description="Copy a capture block by block into another container and sample type; "
                                   "rate, frequency and start time go along.")
    p.add_argument("input")
    p.add_argument("output")
    p.add_argument("--type", default="cf32", choices=SAMPLE_TYPES, help="output sample type (default cf32)")
    p.add_argument("--container", choices=CONTAINERS,
                   help="output container (default from the name: .sigmf-data, .csv, .blue, else raw)")
    p.add_argument("--endian", default="le", choices=("le", "be"), help="output byte order")
    p.add_argument("--headroom", type=float, default=0.0, help="output backoff in dB")
    _reader_options(p)
    return {"inspect": _guard(cmd_inspect), "convert": _guard(cmd_convert)}


def _guard(cmd):
    """Bad files and arguments end with one line on stderr and status 1, never a traceback."""
    def run(args):
        try:
            return cmd(args)
        except (OSError, ValueError) as e:
            print(f"veltra {args.cmd}: {e}", file=sys.stderr)
            return 1
    return run
