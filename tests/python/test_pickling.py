"""Every class of every module pickles (construction arguments plus its state blob) and a
copy continues the stream bit-identically, in this process and in another one; a class
holding what cannot travel refuses with a TypeError naming it. The classes are found
through ``veltra.MODULES``, so a class added without pickling fails here."""

import copy
import importlib
import pickle
import subprocess
import sys

import numpy as np
import pytest

import veltra

# Classes that refuse, and what they hold.
REFUSED = {
    "_telemetry.Telemetry": "a live ring buffer",
    "interrupt.interrupt.Interrupt": "this process's signal handlers",
    "lectra.Reader": "an open file",
    "scriba.Writer": "an open file",
    "buffer.F32Buffer": "a live buffer shared between threads",
    "buffer.F64Buffer": "a live buffer shared between threads",
    "buffer.I16Buffer": "a live buffer shared between threads",
}

REF = np.exp(2j * np.pi * np.arange(16) / 5).astype(np.complex64)
# QPSK symbols received three late, in noise.
TRUTH = np.random.default_rng(7).integers(0, 4, 600).astype(np.uint8)
RX = np.roll(np.exp(0.5j * np.pi * TRUTH), 3).astype(np.complex64)
RX += (0.4 * ([1, 1j] @ np.random.default_rng(8).standard_normal((2, 600)))).astype(np.complex64)

# Construction keywords where the defaults are not enough (or miss a path worth
# pickling); a callable is given a temporary directory.
KWARGS = {
    "filter.FIR": dict(taps=np.array([0.25, -0.5j, 1.0, 0.125 + 0.5j], np.complex64)),
    "ddc.MatchedDDC": dict(norm_freq=0.1, rate=0.4, pulse="iandd", pulse_sps=5.0, num_phases=64),
    "ddc.MatchedDdcr": dict(norm_freq=-0.05, rate=0.2, beta=0.5, span=4, pulse_sps=3.0),
    "track.BpskReceiver": dict(sample_rate_hz=8000.0, symbol_rate_hz=1000.0, carrier_freq_hz=30.0),
    "track.MpskReceiver": dict(m=8, sps=6.0, pulse="rrc", num_phases=64),
    "spectral.PSD": dict(n=64, window="kaiser", beta=6.0, mode="exp"),
    "spectral.Corr": dict(ref=REF, dwell=2, n_out=24),
    # Its path (one output column) depends on the reference being zero outside row 0.
    "spectral.Corr2D": dict(ref=np.vstack([REF[:4], np.zeros((3, 4), np.complex64)]), dwell=3, col_out=1),
    "spectral.CorrDetector": dict(ref=REF),
    "spectral.CorrDetector2D": dict(ref=REF.reshape(4, 4)),
    "acquire.CarrierAcquisition": dict(sample_rate_hz=8000.0, symbol_rate_hz=1000.0, resolution_hz=300.0,
                                       zero_pad=2, window="kaiser", beta=5.0, psd_template=np.hanning(64)),
    "ber.BerMeter": dict(truth=TRUTH),
    "track.Dll": dict(code=np.random.default_rng(5).integers(0, 2, 31).astype(np.uint8), sps=4, segments=2),
    "coding.ConvEncoder": dict(poly=[0o171, 0o133]),
    "coding.Viterbi": dict(poly=[0o171, 0o133], depth=20),
    "coding.ReedSolomon": dict(nroots=16),
    "coding.Interleaver": dict(rows=4, cols=6),
    "coding.Deinterleaver": dict(rows=4, cols=6),
    "buffer.F32Buffer": dict(capacity=1024),
    "buffer.F64Buffer": dict(capacity=1024),
    "buffer.I16Buffer": dict(capacity=1024),
    "scriba.Writer": lambda tmp: dict(path=str(tmp / "w.cf32"), fs=1e3),
    "lectra.Reader": lambda tmp: (np.zeros(8, np.complex64).tofile(tmp / "r.cf32"), dict(path=str(tmp / "r.cf32")))[1],
}


# Calls made once on a new object, before the stream: what they set, a copy must carry.
PREPARE = {"ber.BerMeter": [("align", (RX,), dict(n_marker=32, t0=100))]}


def _ber_calls(rng, n):
    lo = int(rng.integers(0, 300))
    return [("score", (RX,), dict(lo=lo, hi=lo + n))]


# Drivers of classes without a block method over samples: calls(rng, n) -> [(method, args, kwargs)].
CALLS = {
    "ber.FrameMeter": lambda rng, n: [("add", (bool(s), int(c)), {})
                                      for s, c in zip(rng.integers(0, 2, 20), rng.integers(-1, 2, 20))],
    "ber.BerMeter": _ber_calls,
    "spectral.FFT": lambda rng, n: [("execute_cf32", (samples(rng, np.complex64, 1024),), {})],
    "spectral.FFT2D": lambda rng, n: [("execute_cf32", (samples(rng, np.complex64, 64 * 64).reshape(64, 64),), {})],
    "spectral.PSD": lambda rng, n: [("accumulate", (samples(rng, np.complex64, n),), {}), ("psd_db", (), {})],
    "coding.ReedSolomon": lambda rng, n: [("encode", (samples(rng, np.uint8, 239),), {})],
    "coding.Interleaver": lambda rng, n: [("interleave", (samples(rng, np.uint8, 24),), {})],
    "coding.Deinterleaver": lambda rng, n: [("deinterleave", (samples(rng, np.uint8, 24),), {})],
    "delay.DelayCf64": lambda rng, n: [("push", (complex(v),), {}) for v in samples(rng, np.complex64, 5)]
                                      + [("ptr", (), {})],
}

# Block inputs that must be a whole number of this many values (a rate-1/2 decoder's branches).
WHOLE = {"coding.Viterbi": 2}
BLOCK_METHODS = ("steps", "execute", "bits", "accumulate", "add", "encode", "decode", "push")
DTYPES = (np.complex64, np.float32, np.float64, np.int16, np.uint8, np.int8)


def native_classes():
    for module in veltra.MODULES:
        mod = importlib.import_module(f"veltra.{module}")
        for name, cls in sorted(vars(mod).items()):
            if isinstance(cls, type) and hasattr(cls, "destroy") and cls.__module__ == mod.__name__:
                yield f"{module}.{name}", cls


CLASSES = dict(native_classes())
PICKLED = sorted(set(CLASSES) - set(REFUSED))


def make(key, tmp=None):
    kw = KWARGS.get(key, {})
    obj = CLASSES[key](**(kw(tmp) if callable(kw) else kw))
    for method, args, kwargs in PREPARE.get(key, ()):
        getattr(obj, method)(*args, **kwargs)
    return obj


def samples(rng, dtype, n):
    if np.issubdtype(dtype, np.complexfloating):
        return (0.5 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(dtype)
    if np.issubdtype(dtype, np.floating):
        return rng.standard_normal(n).astype(dtype)
    return rng.integers(0, 2, n).astype(dtype)  # bits fit every integer input


def block_driver(key):
    """The first block method of the class and the first input dtype it takes."""
    for method in BLOCK_METHODS:
        if hasattr(CLASSES[key], method):
            for dtype in DTYPES:
                try:
                    getattr(make(key), method)(samples(np.random.default_rng(0), dtype, 8))
                except (TypeError, ValueError):
                    continue
                whole = WHOLE.get(key, 1)
                return lambda rng, n: [(method, (samples(rng, dtype, n - n % whole),), {})]
    raise AssertionError(f"{key}: no block method over samples; add a driver to CALLS")


def calls_for(key, seed, n):
    return (CALLS.get(key) or block_driver(key))(np.random.default_rng(seed), n)


def run(obj, calls):
    """Outputs of the calls and the state after them, pickled for a bit-exact comparison."""
    outs = [getattr(obj, m)(*a, **kw) for m, a, kw in calls]
    state = obj.get_state() if hasattr(obj, "get_state") else None
    return pickle.dumps((outs, state))


@pytest.mark.parametrize("key", sorted(CLASSES))
def test_every_class_pickles_or_refuses(key, tmp_path):
    cls = CLASSES[key]
    if key in REFUSED:
        msg = f"^cannot pickle '{cls.__name__}' object: it holds {REFUSED[key]}$"
        obj = make(key, tmp_path)
        for dup in (pickle.dumps, copy.copy, copy.deepcopy):
            with pytest.raises(TypeError, match=msg):
                dup(obj)
        return
    assert "__reduce__" in vars(cls), f"{key} does not pickle: add .pickle() to its binding"
    fn, args, blob = make(key).__reduce__()
    assert (blob is None) == (not hasattr(cls, "get_state"))
    gone = make(key)
    gone.destroy()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        pickle.dumps(gone)


@pytest.mark.parametrize("key", PICKLED)
def test_copies_continue_the_stream(key):
    obj = make(key)
    run(obj, calls_for(key, 1, 300))
    after = calls_for(key, 2, 257)
    copies = [pickle.loads(pickle.dumps(obj, protocol=p)) for p in (2, pickle.HIGHEST_PROTOCOL)]
    copies += [copy.copy(obj), copy.deepcopy(obj)]
    own_repr = "__repr__" in vars(type(obj))
    assert all(type(c) is type(obj) and (repr(c) == repr(obj) or not own_repr) for c in copies)
    want = run(obj, after)
    for c in copies:
        assert run(c, after) == want, f"{key}: a copy diverged"


SCRIPT = """
import pickle, sys
jobs = pickle.load(sys.stdin.buffer)
out = []
for blob, calls in jobs:
    obj = pickle.loads(blob)
    outs = [getattr(obj, m)(*a, **kw) for m, a, kw in calls]
    state = obj.get_state() if hasattr(obj, "get_state") else None
    out.append(pickle.dumps((outs, state)))
pickle.dump(out, sys.stdout.buffer)
"""


def test_copies_continue_in_another_process():
    jobs, want = [], []
    for key in PICKLED:
        obj = make(key)
        run(obj, calls_for(key, 3, 200))
        after = calls_for(key, 4, 333)
        jobs.append((pickle.dumps(obj), after))
        want.append(run(obj, after))
    done = subprocess.run([sys.executable, "-c", SCRIPT], input=pickle.dumps(jobs),
                          capture_output=True, check=True)
    got = pickle.loads(done.stdout)
    for key, g, w in zip(PICKLED, got, want):
        assert g == w, f"{key}: diverged in another process"


def test_a_corrupted_pickle_is_refused_by_set_state():
    key = next(k for k in PICKLED if hasattr(CLASSES[k], "get_state"))
    fn, args, blob = make(key).__reduce__()
    bad = (fn, args, b"XXXX" + blob[4:])
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        pickle.loads(pickle.dumps(type("R", (), {"__reduce__": lambda self: bad})()))


def test_construction_arguments_keep_their_exact_values():
    from veltra.filter import FIR

    taps = np.array([0.5, -0.25, 1e-8], np.float32)
    f = pickle.loads(pickle.dumps(FIR(taps)))
    assert f.is_real and f.__reduce__()[0].keywords["taps"].tobytes() == taps.tobytes()
    lf = CLASSES["track.LoopFilter"](bn=0.1 / 3)  # a float that has no short decimal form
    assert pickle.loads(pickle.dumps(lf)).bn == lf.bn


# Block methods that take one frame per call (not a stream to be cut anywhere).
FRAMED = {"spectral.Corr", "spectral.Corr2D", "accumulator.AccTrace"}
STREAMS = [k for k in PICKLED if k not in CALLS and k not in FRAMED and hasattr(CLASSES[k], "get_state")]


@pytest.mark.parametrize("key", STREAMS)
def test_outputs_and_state_are_the_same_for_any_split(key):
    # Even cuts, so a decoder sees whole branches.
    (method, (x,), _), = calls_for(key, 5, 3000)
    results = []
    for cuts in ([], [2, 4, 502, 1502], list(range(8, 3000, 98))):
        obj = make(key)
        outs = [getattr(obj, method)(part) for part in np.split(x, cuts)]
        flat = [np.asarray(o).ravel() for o in outs if o is not None]
        results.append((np.concatenate(flat).tobytes() if flat else b"", obj.get_state()))
    assert results[1] == results[0] and results[2] == results[0], f"{key}: depends on the split"
