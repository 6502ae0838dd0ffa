"""The capture commands of the ``veltra`` command line: ``inspect``, ``convert`` and ``psd``."""

import datetime
import sys

import numpy as np

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


def _progress(total, quiet=False):
    """A progress bar on long files when tqdm is installed, stderr is a terminal and not `quiet`."""
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    if quiet or total < 10 * BLOCK or not sys.stderr.isatty():
        return None
    return tqdm(total=total, unit=" samples", unit_scale=True, file=sys.stderr)


def convert(src, dst, sample_type="cf32", container=None, endian="le", in_type="auto", in_endian="le",
            headroom=0.0, quiet=False):
    """Copy a capture into another container and sample type, block by block; returns the count."""
    from veltra.wfm import Reader, Writer

    container = container or _container_of(dst)
    with Reader(src, sample_type=in_type, endian=in_endian) as r:
        bar = _progress(r.num_samples, quiet)
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
                args.headroom, args.quiet)
    print(f"{n} samples written to {args.output}")
    return 0


def spectrum(src, n=1024, window="hann", in_type="auto", in_endian="le", quiet=True):
    """Average the power spectrum of a whole capture, block by block; returns (PSD, fs, fc, mode)
    with the capture's own rate `fs`.

    An unknown sample rate (0) is taken as 1 Hz, so frequencies read in cycles per sample.
    """
    from veltra.spectral import PSD
    from veltra.wfm import Reader

    with Reader(src, sample_type=in_type, endian=in_endian) as r:
        if r.num_samples < n:
            raise ValueError(f"{src} holds {r.num_samples} samples, fewer than one frame of {n}")
        psd = PSD(n, fs=r.fs if r.fs > 0 else 1.0, window=window)
        step = n * max(1, BLOCK // n)  # whole frames per read: nothing is dropped between reads
        bar = _progress(r.num_samples, quiet)
        while True:
            x = r.read(step)
            if x.size == 0:
                break
            psd.accumulate(x)
            if bar:
                bar.update(x.size)
        if bar:
            bar.close()
        return psd, r.fs, r.fc, r.mode


def psd_figures(psd, fc, n_peaks=5, above_db=10.0, fraction=0.99):
    """Noise floor (dBFS), the strongest peaks [(RF Hz, dBFS)] above floor + `above_db`, and
    the occupied bandwidth (Hz) holding `fraction` of the power."""
    from veltra.spectral import find_peaks_f32

    floor = psd.noise_floor()
    peaks = find_peaks_f32(psd.psd_db(), n_peaks, floor + above_db)
    return floor, [(fc + f * psd.fs, level) for f, level in peaks], psd.occupied_bw(fraction)


def plot_psd(psd, fc, path, title):
    """The averaged spectrum in dBFS against RF frequency, written to `path`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    f = fc + (np.arange(psd.nfft) - psd.nfft // 2) * psd.fs / psd.nfft
    fig, ax = plt.subplots(figsize=(10, 4.5))
    ax.plot(f, psd.psd_db(), lw=0.8)
    ax.axhline(psd.noise_floor(), color="k", lw=0.5, ls=":", label="noise floor")
    ax.set(title=title, xlabel="frequency [Hz]", ylabel="power [dBFS]", xlim=(f[0], f[-1]))
    ax.grid(alpha=0.3)
    ax.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def cmd_psd(args):
    if not 2 <= args.nfft <= 1 << 24 or args.peaks < 1 or not 0 < args.obw <= 1:
        raise ValueError("need 2 <= --nfft <= 2**24, --peaks >= 1 and 0 < --obw <= 1")
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise ValueError("--plot needs matplotlib: pip install veltra[plot]") from None
    psd, fs, fc, mode = spectrum(args.file, args.nfft, args.window, args.in_type, args.in_endian, args.quiet)
    floor, peaks, obw = psd_figures(psd, fc, args.peaks, args.above, args.obw)
    print(f"frames        {psd.count} of {psd.n} samples, {args.window} window, resolution {psd.rbw:.6g} Hz")
    print(f"noise floor   {floor:.1f} dBFS ({floor - 10 * np.log10(psd.rbw):.1f} dBFS/Hz)")
    print(f"occupied bw   {obw:.6g} Hz ({args.obw:.0%} of the power)")
    if not peaks:
        print(f"peaks         none {args.above:g} dB above the floor")
    for i, (f, level) in enumerate(peaks):
        print(f"{'peaks' if i == 0 else '':13s} {f:.10g} Hz  {level:.1f} dBFS")
    if fs <= 0:
        print("(no sample rate in the capture: frequencies are in cycles per sample)")
    if mode == "real":
        print("(real samples: the spectrum is mirrored about the centre frequency)")
    if args.plot:
        plot_psd(psd, fc, args.plot, str(args.file))
        print(f"plot          {args.plot}")
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
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    _reader_options(p)
    p = sub.add_parser("psd", help="averaged power spectrum of a capture",
                       description="Average the power spectrum of a whole capture block by block and print "
                                   "the noise floor, the strongest peaks and the occupied bandwidth; --plot "
                                   "draws it in dBFS against RF frequency.")
    p.add_argument("file")
    p.add_argument("--nfft", type=int, default=1024, help="frame length in samples (default 1024)")
    p.add_argument("--window", default="hann", choices=("hann", "kaiser", "blackman-harris"),
                   help="frame window (default hann)")
    p.add_argument("--peaks", type=int, default=5, help="strongest peaks to list (default 5)")
    p.add_argument("--above", type=float, default=10.0, help="peaks must stand this many dB above the "
                                                                "noise floor (default 10)")
    p.add_argument("--obw", type=float, default=0.99, help="power fraction of the occupied bandwidth "
                                                              "(default 0.99)")
    p.add_argument("--plot", metavar="FILE.png", help="draw the spectrum (matplotlib)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    _reader_options(p)
    return {"inspect": _guard(cmd_inspect), "convert": _guard(cmd_convert), "psd": _guard(cmd_psd)}


def _guard(cmd):
    """Bad files and arguments end with one line on stderr and status 1, never a traceback."""
    def run(args):
        try:
            return cmd(args)
        except (OSError, ValueError) as e:
            print(f"veltra {args.cmd}: {e}", file=sys.stderr)
            return 1
    return run
