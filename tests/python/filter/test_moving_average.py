import numpy as np
import pytest

from veltra.filter import MovingAverage

from vxcheck import (assert_header_rules, assert_lifecycle, assert_split_invariant,
                     assert_state_roundtrip)

RNG = np.random.default_rng(5)


def cnoise(n):
    return (RNG.normal(size=n) + 1j * RNG.normal(size=n)).astype(np.complex64)


def test_reference_sequences():
    c = lambda v: np.asarray(v, np.complex64)
    np.testing.assert_allclose(MovingAverage(2).steps(c([1, 3, 3])), [0.5, 2.0, 3.0])
    np.testing.assert_allclose(MovingAverage(2).steps(c([1, 1, 1])), [0.5, 1.0, 1.0])
    np.testing.assert_allclose(MovingAverage(3).steps(c([1] * 5)),
                               [1 / 3, 2 / 3, 1, 1, 1], rtol=1e-6)
    ma = MovingAverage(len=2, gain=1.0)
    assert ma.len == 2 and ma.gain == 1.0
    assert [ma.step(v) for v in (1, 3, 3)] == [0.5, 2.0, 3.0]
    assert isinstance(ma.step(1j), complex)


@pytest.mark.parametrize("length", [1, 5, 64])
def test_matches_windowed_sum(length):
    x = cnoise(3000)
    y = MovingAverage(length, gain=0.5).steps(x)
    want = 0.5 * np.convolve(x.astype(np.complex128), np.ones(length))[:len(x)] / length
    np.testing.assert_allclose(y, want, rtol=0, atol=2e-5)
    # One step at a time is the same computation.
    ma = MovingAverage(length, gain=0.5)
    np.testing.assert_array_equal(np.array([ma.step(v) for v in x[:200]], np.complex64), y[:200])


@pytest.mark.parametrize("length", [0, 65, 1000, -1])
def test_length_outside_1_to_64_is_refused(length):
    with pytest.raises(MemoryError, match="^boxcar_create returned NULL$"):
        MovingAverage(length)


def test_length_is_a_count():
    assert MovingAverage(64).len == 64
    assert MovingAverage(2**64 + 3).len == 3  # counts wrap modulo 2**64
    with pytest.raises(TypeError):
        MovingAverage(4.0)


def test_gain_rescales_later_outputs_only():
    x = cnoise(100)
    a, b = MovingAverage(8), MovingAverage(8)
    a.steps(x[:50])
    b.steps(x[:50])
    b.gain = 2
    assert b.gain == 2.0 and b.len == 8
    np.testing.assert_array_equal(b.steps(x[50:]), 2 * a.steps(x[50:]))
    with pytest.raises(AttributeError):
        b.len = 3
    with pytest.raises(TypeError):
        b.gain = "loud"


def test_reset_restarts_the_ramp():
    ma = MovingAverage(4)
    first = ma.steps(np.ones(6, np.complex64))
    ma.reset()
    np.testing.assert_array_equal(ma.steps(np.ones(6, np.complex64)), first)


def test_split_state_and_blob():
    x = cnoise(500)
    make = lambda: MovingAverage(7, gain=1.5)
    run = lambda o, c: o.steps(c)
    assert_split_invariant(make, run, x)
    blob = assert_state_roundtrip(make, run, x)
    assert len(blob) == 576 and blob[:8] == b"BOXC\x01\x00\x01\x00"
    assert np.frombuffer(blob[16:32], np.uint64).tolist() == [7, (500 // 3) % 7]
    ma = make()
    ma.steps(x)
    assert_header_rules(ma)
    # The blob carries len and gain: restoring it into another length adopts them.
    other = MovingAverage(64)
    other.set_state(blob)
    assert other.len == 7 and other.gain == 1.5


@pytest.mark.parametrize("length,pos", [(0, 0), (65, 0), (7, 7), (2**63, 1)])
def test_blob_with_impossible_len_or_pos_is_rejected(length, pos):
    ma = MovingAverage(7)
    ma.steps(cnoise(10))
    good = ma.get_state()
    bad = bytearray(good)
    bad[16:32] = np.array([length, pos], np.uint64).tobytes()
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        ma.set_state(bytes(bad))
    assert ma.get_state() == good


def test_out_rules():
    x = cnoise(3)
    out = np.empty(3, np.complex64)
    assert MovingAverage().steps(x, out=out) is out
    with pytest.raises(ValueError, match="^out length 4 != input length 3$"):
        MovingAverage().steps(x, out=np.empty(4, np.complex64))
    with pytest.raises(TypeError, match="^out must be a writable"):
        MovingAverage().steps(x, out=np.empty(3, np.complex128))
    buf = x.copy()
    np.testing.assert_array_equal(MovingAverage(2).steps(buf, out=buf), MovingAverage(2).steps(x))


def test_lifecycle():
    assert_lifecycle(MovingAverage, calls=[("step", (1j,)), ("steps", (np.ones(2, np.complex64),)),
                                           ("set_state", (b"",))])
    ma = MovingAverage()
    ma.destroy()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        ma.gain = 2.0
