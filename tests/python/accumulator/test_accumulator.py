import math

import numpy as np
import pytest

from veltra.accumulator import AccCf64, AccF32, AccTrace

from vxcheck import assert_header_rules, assert_lifecycle, assert_state_roundtrip

RNG = np.random.default_rng(3)


@pytest.mark.parametrize("cls, dtype", [(AccF32, np.float32), (AccCf64, np.complex128)])
def test_scalar_sums(cls, dtype):
    x = RNG.normal(size=300).astype(dtype)
    if dtype == np.complex128:
        x = x + 1j * RNG.normal(size=300)
    h = RNG.normal(size=200).astype(np.float32)
    a = cls()
    a.steps(x)
    assert a.get() == pytest.approx(complex(x.astype(np.complex128).sum()), rel=1e-5)
    a.set_acc(2)
    a.madd(x, h)  # only min(len) products
    want = 2 + np.dot(x[:200].astype(np.complex128), h.astype(np.float64))
    assert a.get_acc() == pytest.approx(complex(want), rel=1e-5)
    a.add2d(x.reshape(3, 100))
    a.madd2d(x.reshape(3, 100), h)
    b = cls(2)
    b.madd(x, h)
    b.steps(x)
    b.madd(x, h)
    assert a.get() == b.get()  # the 2-D forms are the flat ones
    a.reset()
    assert a.get() == 0

    # Term-by-term sums: any split gives the bits of one block; blobs round-trip.
    whole = cls()
    whole.steps(x)
    for cuts in ([1, 2, 3], [7, 150, 151], list(range(0, 300, 13))):
        split = cls()
        for part in np.split(x, cuts):
            split.steps(part)
        assert split.get() == whole.get()

    def run(obj, chunk):
        obj.steps(chunk)
        return np.array([obj.get()])

    assert_state_roundtrip(lambda: cls(), run, x)
    assert_header_rules(a)
    assert_lifecycle(cls, [("step", (1,)), ("steps", (x,)), ("dump", ())])


def test_spec_values_and_blob_layout():
    a = AccF32()
    a.step(1.5)
    a.step(2.5)
    assert a.get() == 4.0 and a.dump() == 4.0 and a.get() == 0.0
    assert a.get_state()[:4] == b"ACCF" and a.state_bytes() == 20
    assert AccF32(0.1).get() == np.float32(0.1)  # narrowed to float32
    c = AccCf64(1 - 1j)
    assert c.get_state()[:4] == b"ACCC" and c.state_bytes() == 32
    assert np.frombuffer(c.get_state()[16:], np.float64).tolist() == [1.0, -1.0]
    assert repr(c) == "AccCf64(acc=(1-1j))" and repr(AccF32(2)) == "AccF32(acc=2.0)"
    with pytest.raises(TypeError):
        AccF32().steps(np.ones(3))  # float64 is never narrowed


@pytest.mark.parametrize("mode, want", [
    ("mean", lambda f: np.mean(f, axis=0)),
    ("maxhold", lambda f: np.max(f, axis=0)),
    ("minhold", lambda f: np.min(f, axis=0)),
])
def test_trace_modes(mode, want):
    frames = RNG.normal(size=(7, 16)).astype(np.float32)
    t = AccTrace(16, mode)
    for f in frames:
        t.accumulate(f)
    assert t.count == 7 and t.mode == ["mean", "exp", "maxhold", "minhold"].index(mode)
    np.testing.assert_allclose(t.value(), want(frames.astype(np.float64)), rtol=1e-6, atol=1e-6)


def test_trace_exp_short_and_long_frames():
    t = AccTrace(4, "exp", 0.25)
    assert t.value().shape == (0,) and t.value_max_out() == 4
    t.accumulate(np.float32([1, 2, 3]))  # shorter than n: ignored
    assert t.count == 0
    t.accumulate(np.float32([4, 4, 4, 4, 99]))  # longer: first n values
    t.accumulate(np.zeros(4, np.float32))
    np.testing.assert_array_equal(t.value(), [3, 3, 3, 3])
    t.alpha = 1.0  # copies
    t.accumulate(np.float32([1, 2, 3, 4]))
    np.testing.assert_array_equal(t.value(), [1, 2, 3, 4])
    assert t.alpha == 1.0 and repr(t) == "AccTrace(n=4, mode='exp', alpha=1.0)"
    t.reset()
    assert t.count == 0 and t.value().shape == (0,)
    out = np.full(6, -1, np.float32)
    t.accumulate(np.float32([5, 6, 7, 8]))
    v = t.value(3, out=out)
    assert v.base is out and v.tolist() == [5, 6, 7, 8]
    with pytest.raises(ValueError, match="^count must be >= 0, got -1$"):
        t.value(-1)


def test_trace_state_and_refusals():
    frames = RNG.normal(size=(9, 8)).astype(np.float32)

    def run(obj, chunk):
        for f in chunk:
            obj.accumulate(f)
        return obj.value()

    blob = assert_state_roundtrip(lambda: AccTrace(8), run, frames, cut=4)
    assert len(blob) == 24 + 8 * 8 and blob[:4] == b"ATRC"
    assert np.frombuffer(blob[16:24], np.uint64)[0] == 4
    t = AccTrace(8)
    run(t, frames)
    assert_header_rules(t)
    with pytest.raises(ValueError, match="^mode must be one of \"mean\", \"exp\", \"maxhold\", \"minhold\", got 'avg'$"):
        AccTrace(mode="avg")
    for n in (0, -1, 2 ** 62):
        with pytest.raises(MemoryError, match="^acc_trace_create returned NULL$"):
            AccTrace(n)
    assert_lifecycle(lambda: AccTrace(4), [("accumulate", (np.ones(4, np.float32),)), ("value", ())])
    assert math.isnan(AccTrace(2, "exp", float("nan")).alpha)  # stored as given
