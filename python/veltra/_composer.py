"""Synthetic captures: `Segment` describes one stretch of signal, `Composer` lays segments on a
timeline and synthesises them.

The timeline and every drawn value come from the planning layer exported by the capture
module (``wfm_compose_spans``, ``wfm_compose_draws``), so the SigMF annotations written by
``wfm_sigmf_meta_json_ex`` describe exactly the samples made here. Each (segment, instance,
source) has its own random streams, so any instance can be made alone and equals the same
stretch of a full composition.
"""

import ctypes
import functools
import math
import os

import numpy as np

KINDS = ("tone", "noise", "pn", "bpsk", "qpsk", "chirp", "bits", "symbols", "dsss")
SNR_MODES = ("auto", "fs", "ebno", "esno")
LIFETIMES = ("per_instance", "persist")
PULSES = ("rect", "rrc")
MAX_INSTANCES = 1 << 24  # the planning layer's cap per segment
MAX_SAMPLES = 1 << 31    # a composition is one array in memory

# Draw flags of the planning layer, by the keyword whose upper bound asks for the draw.
SOURCE_DRAWS = {"freq_hi": ("freq_hz", 0x1), "snr_hi": ("snr", 0x2), "level_hi": ("level_db", 0x4),
                "f1_hi": ("f1_hz", 0x8), "ppm_hi": ("ppm", 0x80), "ppm_rate_hi": ("ppm_rate", 0x100)}
SEGMENT_DRAWS = {"num_samples_hi": ("num_samples", 0x10), "gap_after_hi": ("gap_after", 0x20),
                 "gap_before_hi": ("gap_before", 0x40)}
DEFAULTS = dict(fs=1.0, num_samples=1024, gap_before=0, gap_after=0, instances=1, freq_hz=0.0, snr=None,
                snr_mode="auto", seed=1, sps=8, pn_length=127, pn_poly=0x60, level_db=0.0, f1_hz=None,
                ppm=0.0, ppm_rate=0.0, carrier_hz=0.0, lifetime="per_instance", symbol_rate=0.0,
                data_none=False, bits=None, symbols=None, pulse="rect", rrc_beta=0.35, rrc_span=8,
                clock_ppm=0.0)
NEEDS = {"chirp": "f1_hz", "bits": "bits", "symbols": "symbols", "dsss": "symbol_rate"}


class _Source(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int32), ("freq_hz", ctypes.c_double), ("snr", ctypes.c_double),
                ("snr_mode", ctypes.c_int32), ("seed", ctypes.c_uint32), ("sps", ctypes.c_int32),
                ("pn_length", ctypes.c_int32), ("pn_poly", ctypes.c_int32), ("level_db", ctypes.c_double),
                ("f1_hz", ctypes.c_double), ("flags", ctypes.c_uint32), ("freq_hi", ctypes.c_double),
                ("snr_hi", ctypes.c_double), ("level_hi", ctypes.c_double), ("f1_hi", ctypes.c_double),
                ("ppm", ctypes.c_double), ("ppm_rate", ctypes.c_double), ("carrier_hz", ctypes.c_double),
                ("ppm_hi", ctypes.c_double), ("ppm_rate_hi", ctypes.c_double), ("lifetime", ctypes.c_int32),
                ("symbol_rate", ctypes.c_double), ("data_none", ctypes.c_int32)]


class _Segment(ctypes.Structure):
    _fields_ = [("sources", ctypes.POINTER(_Source)), ("n_sources", ctypes.c_uint64), ("fs", ctypes.c_double),
                ("num_samples", ctypes.c_uint64), ("gap_after", ctypes.c_uint64), ("flags", ctypes.c_uint32),
                ("num_samples_hi", ctypes.c_uint64), ("gap_after_hi", ctypes.c_uint64),
                ("instances", ctypes.c_uint64), ("gap_before", ctypes.c_uint64),
                ("gap_before_hi", ctypes.c_uint64)]


class _Span(ctypes.Structure):
    _fields_ = [(n, ctypes.c_uint64) for n in ("segment", "instance", "start", "gap_before", "num_samples",
                                                "gap_after")]


class _Draw(ctypes.Structure):
    _fields_ = ([(n, ctypes.c_uint64) for n in ("segment", "instance", "source", "start", "gap_before",
                                                 "num_samples", "gap_after")] +
                [(n, ctypes.c_double) for n in ("freq_hz", "f1_hz", "snr", "level_db", "ppm", "ppm_rate")])


@functools.lru_cache(maxsize=None)
def _lib(module):
    """The exported core functions of an extension module (its own copy of the units)."""
    import importlib

    lib = ctypes.CDLL(importlib.import_module(f"veltra.{module}").__file__)
    if module == "scriba":
        for name, rec in (("wfm_compose_spans", _Span), ("wfm_compose_draws", _Draw)):
            fn = getattr(lib, name)
            fn.restype = ctypes.c_uint64
            fn.argtypes = [ctypes.POINTER(_Segment), ctypes.c_uint64, ctypes.POINTER(rec), ctypes.c_uint64]
        fn = lib.wfm_sigmf_meta_json_ex
        fn.restype = ctypes.c_void_p
        fn.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.POINTER(_Segment), ctypes.c_uint64, ctypes.c_double,
                       ctypes.c_double, ctypes.c_double, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_uint64]
    else:
        fn = lib.wfm_cont_dsss_chips
        fn.restype = ctypes.c_uint64
        fn.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64,
                       ctypes.c_void_p, ctypes.c_double]
    return lib


def _count(name, v):
    if isinstance(v, bool) or not isinstance(v, (int, np.integer)) or v < 0:
        raise ValueError(f"{name} must be a non-negative int, got {v!r}")
    return int(v)


def _real(name, v):
    v = float(v)
    if not math.isfinite(v):
        raise ValueError(f"{name} must be finite, got {v!r}")
    return v


class Segment:
    """One stretch of a synthetic capture: a signal source repeated over instances.

    Parameters
    ----------
    kind : {"tone", "noise", "pn", "bpsk", "qpsk", "chirp", "bits", "symbols", "dsss"}
        The source.
    **fields
        The segment record's fields: ``fs`` (Hz, default 1.0), ``num_samples`` (active
        length, 1024), ``gap_before``, ``gap_after`` (0), ``instances`` (1), ``freq_hz``
        (offset from the capture's centre, 0), ``snr`` (None: no noise), ``snr_mode``
        ("auto", "fs", "ebno", "esno"), ``seed`` (1), ``sps`` (samples per symbol or chip,
        8), ``level_db`` (0), ``f1_hz`` (chirp end), ``pn_length`` (127), ``pn_poly``
        (Galois LFSR mask, 0x60), ``ppm``, ``ppm_rate`` (ppm/s), ``carrier_hz``,
        ``lifetime`` ("per_instance" or "persist"), ``symbol_rate`` (DSSS data rate),
        ``data_none`` (DSSS without data), ``bits`` and ``symbols`` (the streams of those
        kinds). The symbol and chip kinds also take ``pulse`` ("rect", default, or "rrc"
        with ``rrc_beta``, 0.35, and one-sided ``rrc_span`` in symbols, 8; an RRC symbol
        has unit energy per symbol period) and ``clock_ppm`` (0), the symbol clock's
        offset: a symbol lasts ``sps * (1 + clock_ppm * 1e-6)`` samples. An upper bound
        asks for a value drawn per instance: ``num_samples_hi``, ``gap_before_hi``,
        ``gap_after_hi``, ``freq_hi``, ``snr_hi``, ``level_hi``, ``f1_hi``, ``ppm_hi``,
        ``ppm_rate_hi``.

    Raises
    ------
    ValueError
        For an unknown kind or mode, a value out of range, or a kind that needs a keyword
        it was not given ("segment kind 'chirp' needs the keyword 'f1_hz'").
    TypeError
        For a keyword that is not a field.

    Examples
    --------
    >>> from veltra.wfm import Segment
    >>> s = Segment("qpsk", sps=8, num_samples=1024, num_samples_hi=2048)
    >>> s.kind, s.fields["sps"]
    ('qpsk', 8)
    """

    def __init__(self, kind, **fields):
        if kind not in KINDS:
            raise ValueError(f"kind must be one of {', '.join(map(repr, KINDS))}, got {kind!r}")
        unknown = set(fields) - set(DEFAULTS) - set(SOURCE_DRAWS) - set(SEGMENT_DRAWS)
        if unknown:
            raise TypeError(f"Segment() got an unexpected keyword argument {sorted(unknown)[0]!r}")
        need = NEEDS.get(kind)
        if need and fields.get(need) is None:
            raise ValueError(f"segment kind {kind!r} needs the keyword {need!r}")
        self.kind = kind
        self.fields = {**DEFAULTS, **fields}
        f = self.fields
        if f["snr_mode"] not in SNR_MODES:
            raise ValueError(f"snr_mode must be one of {', '.join(map(repr, SNR_MODES))}, got {f['snr_mode']!r}")
        if f["pulse"] not in PULSES:
            raise ValueError(f"pulse must be one of {', '.join(map(repr, PULSES))}, got {f['pulse']!r}")
        if not 0 <= _real("rrc_beta", f["rrc_beta"]) <= 1 or _count("rrc_span", f["rrc_span"]) < 1:
            raise ValueError("rrc_beta must lie in [0, 1] and rrc_span be >= 1")
        if not -1e5 < _real("clock_ppm", f["clock_ppm"]) < 1e5:
            raise ValueError("clock_ppm must lie in (-1e5, 1e5)")
        if f["lifetime"] not in LIFETIMES:
            raise ValueError(f"lifetime must be one of {', '.join(map(repr, LIFETIMES))}, got {f['lifetime']!r}")
        if _real("fs", f["fs"]) <= 0:
            raise ValueError("fs must be > 0")
        if _count("sps", f["sps"]) < 1:
            raise ValueError("sps must be >= 1")
        if _count("instances", f["instances"]) > MAX_INSTANCES:
            raise ValueError(f"instances must be <= {MAX_INSTANCES}")
        if f["snr"] is None and "snr_hi" in fields:
            raise ValueError("snr_hi needs snr")
        if kind == "dsss" and _real("symbol_rate", f["symbol_rate"]) <= 0:
            raise ValueError("symbol_rate must be > 0")
        if not 2 <= _count("pn_length", f["pn_length"]) <= 1 << 20:
            raise ValueError("pn_length must be in 2 .. 2**20")
        for hi, (base, _) in {**SEGMENT_DRAWS, **SOURCE_DRAWS}.items():
            if hi in fields:
                lo = f[base] if f[base] is not None else 0.0
                bad = (_count(hi, f[hi]) < lo) if hi in SEGMENT_DRAWS else (_real(hi, f[hi]) < _real(base, lo))
                if bad:
                    raise ValueError(f"{hi} must be >= {base}")
        for name in ("num_samples", "gap_before", "gap_after", "seed"):
            _count(name, f[name])
        for name in ("freq_hz", "level_db", "ppm", "ppm_rate", "carrier_hz"):
            _real(name, f[name])

    def __repr__(self):
        given = {k: v for k, v in self.fields.items() if DEFAULTS.get(k, object()) is not v and
                 not (k in DEFAULTS and DEFAULTS[k] == v and not isinstance(v, np.ndarray))}
        return f"Segment({self.kind!r}" + "".join(f", {k}={v!r}" for k, v in given.items()) + ")"

    def _records(self):
        f = self.fields
        src = _Source(kind=KINDS.index(self.kind), freq_hz=f["freq_hz"],
                      snr=f["snr"] if f["snr"] is not None else 0.0, snr_mode=SNR_MODES.index(f["snr_mode"]),
                      seed=f["seed"] & 0xFFFFFFFF, sps=f["sps"], pn_length=f["pn_length"], pn_poly=f["pn_poly"],
                      level_db=f["level_db"], f1_hz=f["f1_hz"] if f["f1_hz"] is not None else 0.0,
                      ppm=f["ppm"], ppm_rate=f["ppm_rate"], carrier_hz=f["carrier_hz"],
                      lifetime=LIFETIMES.index(f["lifetime"]), symbol_rate=f["symbol_rate"],
                      data_none=int(bool(f["data_none"])))
        seg = _Segment(fs=f["fs"], num_samples=f["num_samples"], gap_after=f["gap_after"],
                       instances=f["instances"], gap_before=f["gap_before"])
        for hi, (_, flag) in SOURCE_DRAWS.items():
            if hi in f and hi not in DEFAULTS:
                setattr(src, hi, float(f[hi]))
                src.flags |= flag
        for hi, (_, flag) in SEGMENT_DRAWS.items():
            if hi in f:
                setattr(seg, hi, int(f[hi]))
                seg.flags |= flag
        return seg, src


def pn_sequence(length, poly):
    """`length` chips (0/1) of a Galois LFSR with feedback mask `poly`, started at 1."""
    state, out = 1, np.empty(length, np.uint8)
    for i in range(length):
        out[i] = state & 1
        state = (state >> 1) ^ (poly if state & 1 else 0)
    return out


class Composer:
    """Lay segments on one timeline and synthesise them.

    Parameters
    ----------
    segments : sequence of Segment
        In timeline order; each instance is gap_before, the active stretch, gap_after.

    Examples
    --------
    >>> from veltra.wfm import Composer, Segment
    >>> x = Composer([Segment("qpsk", sps=8, num_samples=1024)]).compose()
    >>> x.dtype, x.shape
    (dtype('complex64'), (1024,))
    """

    def __init__(self, segments):
        self.segments = list(segments)
        if not self.segments or not all(isinstance(s, Segment) for s in self.segments):
            raise ValueError("segments must be a non-empty sequence of Segment")
        self._lib = _lib("scriba")
        recs = [s._records() for s in self.segments]
        self._sources = [(_Source * 1)(src) for _, src in recs]  # kept alive for the records
        self._segs = (_Segment * len(recs))()
        for i, (seg, _) in enumerate(recs):
            seg.sources = self._sources[i]
            seg.n_sources = 1
            self._segs[i] = seg
        self.spans = self._plan("wfm_compose_spans", _Span)
        draws = self._plan("wfm_compose_draws", _Draw)
        self._draws = {(d.segment, d.instance): d for d in draws}
        end = max((sp.start + sp.gap_before + sp.num_samples + sp.gap_after for sp in self.spans), default=0)
        if end > MAX_SAMPLES:
            raise ValueError(f"the composition would hold {end} samples (at most {MAX_SAMPLES})")
        self.num_samples = end

    def _plan(self, name, rec):
        fn = getattr(self._lib, name)
        n = fn(self._segs, len(self.segments), None, 0)
        out = (rec * n)()
        fn(self._segs, len(self.segments), out, n)
        return list(out)

    def __repr__(self):
        return f"Composer({self.segments!r})"

    @property
    def fs(self):
        """The segments' common sample rate in Hz, or 0.0 when they differ."""
        rates = {s.fields["fs"] for s in self.segments}
        return float(rates.pop()) if len(rates) == 1 else 0.0

    def instance(self, segment, instance):
        """The active stretch of one instance, made alone.

        Parameters
        ----------
        segment, instance : int
            Indices in the timeline.

        Returns
        -------
        ndarray of complex64
            ``num_samples`` samples: the same as that stretch of ``compose()``.

        Examples
        --------
        >>> from veltra.wfm import Composer, Segment
        >>> c = Composer([Segment("tone", freq_hz=0.1, num_samples=8, instances=3, gap_after=2)])
        >>> bool((c.instance(0, 2) == c.compose()[20:28]).all())
        True
        """
        d = self._draws.get((segment, instance))
        if d is None:
            raise IndexError(f"no instance {instance} of segment {segment}")
        return self._synth(d)

    def compose(self):
        """The whole timeline, gaps included, as one complex64 array.

        Examples
        --------
        >>> from veltra.wfm import Composer, Segment
        >>> Composer([Segment("noise", num_samples=100, gap_before=10)]).compose().shape
        (110,)
        """
        y = np.zeros(self.num_samples, np.complex64)
        for d in self._draws.values():
            a = d.start + d.gap_before
            y[a:a + d.num_samples] += self._synth(d)
        return y

    def write(self, path, fc=0.0, t0=0.0):
        """Write the composition as a cf32 SigMF pair annotated with every instance.

        Parameters
        ----------
        path : str or os.PathLike
            Data file, ending in ".sigmf-data".
        fc : float, optional
            Centre frequency in Hz; annotation edges are given at RF.
        t0 : float, optional
            Start time in seconds since 1970 (0 for none).

        Returns
        -------
        int
            Samples written.

        Examples
        --------
        >>> import json, os, tempfile
        >>> from veltra.wfm import Composer, Segment
        >>> path = os.path.join(tempfile.mkdtemp(), "syn.sigmf-data")
        >>> Composer([Segment("bpsk", fs=8000.0, freq_hz=1000.0, num_samples=64)]).write(path)
        64
        >>> ann = json.load(open(path[:-4] + "meta"))["annotations"][0]
        >>> ann["core:freq_lower_edge"], ann["core:freq_upper_edge"]
        (500, 1500)
        """
        import tempfile

        from veltra.scriba import Writer

        path = os.fspath(path)
        if not path.endswith(".sigmf-data"):
            raise ValueError("path must end in .sigmf-data")
        y = self.compose()
        with Writer(path, self.fs, file_type="sigmf", fc=fc, t0=t0) as w:
            n = w.write(y)
        ptr = self._lib.wfm_sigmf_meta_json_ex(0, 0, self._segs, len(self.segments), self.fs, fc, t0,
                                               None, None, 0)
        if not ptr:
            raise ValueError("the annotations cannot be written (a value outside SigMF's ranges)")
        try:
            text = ctypes.string_at(ptr)
        finally:
            ctypes.CDLL(None).free(ctypes.c_void_p(ptr))
        meta = path[:-len(".sigmf-data")] + ".sigmf-meta"
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(meta) or ".", suffix=".tmp")
        with os.fdopen(fd, "wb") as f:
            f.write(text)
        os.chmod(tmp, 0o644)
        os.replace(tmp, meta)
        return n

    # ---- synthesis ----------------------------------------------------------------------

    def _synth(self, d):
        seg = self.segments[d.segment]
        f, kind, n = seg.fields, seg.kind, d.num_samples
        fs, sps = f["fs"], f["sps"]
        rng = np.random.default_rng([f["seed"], d.segment, d.instance, d.source, 0])
        t = np.arange(n) / fs
        if kind == "tone":
            base = np.ones(n, np.complex128)
        elif kind == "noise":
            base = (rng.normal(size=n) + 1j * rng.normal(size=n)) / np.sqrt(2)
        elif kind == "chirp":
            dur = n / fs
            f0 = d.freq_hz
            base = np.exp(2j * np.pi * (f0 * t + (d.f1_hz - f0) / (2 * dur) * t * t))
        else:
            base = self._modulated(kind, f, d, n, rng)
        if kind != "chirp":
            base = base * np.exp(2j * np.pi * d.freq_hz * t)
        if d.ppm or d.ppm_rate:  # moving-platform offset: carrier_hz * 1e-6 * (ppm + rate * time)
            t_abs = t + ((d.start + d.gap_before) / fs if f["lifetime"] == "persist" else 0.0)
            dphi = f["carrier_hz"] * 1e-6 * (d.ppm * t_abs + d.ppm_rate * t_abs * t_abs / 2)
            base = base * np.exp(2j * np.pi * dphi)
        amp = 10 ** (d.level_db / 20)
        x = amp * base
        if f["snr"] is not None and kind != "noise":
            noise_power = amp ** 2 * self._noise_ratio(kind, f, d)
            nrng = np.random.default_rng([f["seed"], d.segment, d.instance, d.source, 1])
            x = x + np.sqrt(noise_power / 2) * (nrng.normal(size=n) + 1j * nrng.normal(size=n))
        return x.astype(np.complex64)

    @staticmethod
    def _noise_ratio(kind, f, d):
        """Total noise power in the sample-rate band over signal power, for the SNR mode."""
        mode = f["snr_mode"]
        if mode == "auto":
            mode = "fs" if kind in ("tone", "chirp") else "esno"
        lin = 10 ** (d.snr / 10)
        if mode == "fs":
            return 1 / lin
        if kind == "dsss":
            samples_per_symbol = f["fs"] / f["symbol_rate"]
        else:
            samples_per_symbol = f["sps"] * (1 + f["clock_ppm"] * 1e-6)
        bits_per_symbol = 2 if kind == "qpsk" else 1
        per = samples_per_symbol / (bits_per_symbol if mode == "ebno" else 1)
        return per / lin

    def _modulated(self, kind, f, d, n, rng):
        sps = f["sps"]
        sps_true = sps * (1 + f["clock_ppm"] * 1e-6)
        n_sym = -(-n // sps) if sps_true == sps else math.ceil(n / sps_true)
        if kind == "pn":
            chips = np.resize(pn_sequence(f["pn_length"], f["pn_poly"]), n_sym)
            sym = 1.0 - 2.0 * chips
        elif kind == "bpsk":
            sym = 1.0 - 2.0 * rng.integers(0, 2, n_sym)
        elif kind == "qpsk":
            b = rng.integers(0, 2, (n_sym, 2))
            sym = ((1 - 2 * b[:, 0]) + 1j * (1 - 2 * b[:, 1])) / np.sqrt(2)
        elif kind == "bits":
            sym = 1.0 - 2.0 * np.resize(np.asarray(f["bits"], np.uint8) & 1, n_sym)
        elif kind == "symbols":
            sym = np.resize(np.asarray(f["symbols"], np.complex128), n_sym)
        else:  # dsss: data bits at symbol_rate spread by the PN code at fs / sps chips per second
            chips_per_bit = (f["fs"] / sps) / f["symbol_rate"]
            n_bits = int(n_sym / chips_per_bit) + 1
            bits = np.zeros(1, np.uint8) if f["data_none"] else rng.integers(0, 2, n_bits).astype(np.uint8)
            code = np.ascontiguousarray(pn_sequence(f["pn_length"], f["pn_poly"]))
            chips = np.empty(n_sym, np.uint8)
            got = _lib("track").wfm_cont_dsss_chips(code.ctypes.data, code.size, bits.ctypes.data, bits.size,
                                                    n_sym, chips.ctypes.data, chips_per_bit)
            if got != n_sym:
                raise ValueError("DSSS chips could not be generated")
            sym = 1.0 - 2.0 * chips
        sym = np.asarray(sym, np.complex128)
        if f["pulse"] == "rect" and sps_true == sps:
            return np.repeat(sym, sps)[:n]
        from veltra.mpsk import shape

        return shape(sym, sps_true, f["rrc_beta"], f["rrc_span"], "rrc" if f["pulse"] == "rrc" else "iandd",
                     num_samples=n).astype(np.complex128)
