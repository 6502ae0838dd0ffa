import numpy as np
import pytest

from veltra.agc import AGC, settling_samples
from veltra.telemetry import Telemetry

from vxcheck import (assert_header_rules, assert_lifecycle, assert_split_invariant,
                     assert_state_roundtrip)


def tone(n, amp=1.0, f=0.01, seed=0):
    k = np.arange(n)
    return (amp * np.exp(2j * np.pi * f * k)).astype(np.complex64)


def test_reference_points():
    a = AGC(0.0, 0.0025, 0.05)
    assert a.step(1 + 0j) == 1 + 0j and a.gain_db == 0.0
    a = AGC()
    assert a.step(4 + 0j) == 4 + 0j
    assert a.gain_db == pytest.approx(-0.024276, abs=1e-6)
    a = AGC()
    a.steps(np.full(1000, 4 + 0j, np.complex64))
    assert a.gain_db == pytest.approx(-12.0, abs=0.1)
    y = a.steps(np.full(8, 4 + 0j, np.complex64))
    assert np.mean(np.abs(y) ** 2) == pytest.approx(1.0, abs=1e-3)
    a.reset()
    assert a.gain_db == 0.0 and a.applied_gain_db == 0.0


def test_paths_converge_to_the_reference_level():
    for ref in (-10.0, 0.0, 6.0):
        x = tone(20000, amp=0.05)
        blk, smp = AGC(ref_db=ref, loop_bw=0.01), AGC(ref_db=ref, loop_bw=0.01)
        yb = blk.steps(x)
        ys = np.array([smp.step(complex(v)) for v in x[:6000]])
        for y in (yb[-2000:], ys[-2000:]):
            assert 10 * np.log10(np.mean(np.abs(y) ** 2)) == pytest.approx(ref, abs=0.2)


def test_clamp_bounds_every_output():
    a = AGC()
    assert a.clip_db == 120.0
    x = np.array([1e30 + 0j, np.nan, complex(np.inf, -np.inf)], np.complex64)
    y = a.steps(x)
    assert np.all(np.isfinite(y)) and np.all(np.abs(y.real) <= 999451.5)
    assert np.max(np.abs(y.real)) == np.float32(999451.5)  # the fast exponential's level
    # Such samples left in an open chunk still give a blob that restores and continues alike.
    assert_state_roundtrip(AGC, lambda o, c: o.steps(c), np.concatenate([x, tone(20)]), cut=3)


def test_silence_keeps_the_loop_finite():
    a = AGC()
    y = a.steps(np.zeros(200000, np.complex64))
    assert np.all(y == 0) and np.isfinite(a.gain_db) and a.gain_db <= 700.0
    # Signal returning after silence is brought back down, not lost to NaN.
    z = a.steps(tone(50000))
    assert np.all(np.isfinite(z))
    assert 10 * np.log10(np.mean(np.abs(z[-2000:]) ** 2)) == pytest.approx(0.0, abs=0.5)


@pytest.mark.parametrize("args", [(0.0, 1e308, 0.0), (0.0, -1e308, 0.0), (4000.0, 0.0025, 0.05)])
def test_extreme_parameters_keep_the_state_restorable(args):
    # Found by fuzzing: 4*loop_bw overflowed and a zero error made the integrator NaN; a
    # reference level past the double range made the detector average infinite. Either
    # left a state that set_state refused.
    for run in (lambda a: None, lambda a: a.step(1 + 0j), lambda a: a.steps(np.ones(64, np.complex64))):
        a = AGC(*args)
        run(a)
        assert not np.isnan(a.gain_db)
        a.set_state(a.get_state())


def test_fast_loop_does_not_overshoot_into_divergence():
    a = AGC(loop_bw=2.0, alpha=1.0)  # k would be 8 per update without the limit
    a.gain_update_period = 1
    out = np.array([a.step(complex(v)) for v in tone(200, amp=10.0)])
    assert np.all(np.isfinite(out))
    assert 10 * np.log10(np.mean(np.abs(out[-50:]) ** 2)) == pytest.approx(0.0, abs=0.5)
    # A negative alpha (accepted, out of range) holds the detector instead of letting it
    # run off to infinity, so the state stays one that restores.
    b = AGC(alpha=-0.5)
    for v in tone(3000, amp=3.0):
        b.step(complex(v))
    b.set_state(b.get_state())


def test_setters_validate_and_store():
    a = AGC()
    a.ref_db = -3.0
    a.decim = 0
    a.gain_update_period = 4
    assert (a.ref_db, a.decim, a.gain_update_period) == (-3.0, 0, 4)
    a.decim = -1  # a count: wraps modulo 2**64
    assert a.decim == 2**64 - 1
    for name in ("ref_db", "loop_bw", "alpha", "clip_db"):
        for bad in (np.nan, np.inf):
            with pytest.raises(ValueError, match=f"^{name} must be finite$"):
                setattr(a, name, bad)
    assert a.ref_db == -3.0
    with pytest.raises(ValueError, match="must be finite"):
        AGC(ref_db=np.nan)


def test_decim_change_applies_at_the_next_chunk_boundary():
    x = (tone(200, amp=3.0) + 0.1).astype(np.complex64)
    make = lambda: AGC(loop_bw=0.02, alpha=0.2)
    ref = make()  # reassigned at a chunk boundary, where the new size applies at once
    want = np.concatenate([ref.steps(x[:16]), (setattr(ref, "decim", 5), ref.steps(x[16:]))[1]])
    for size in (8, 5):  # reassigning its own value, and a new value, mid-chunk
        a = make()
        head = a.steps(x[:11])
        a.decim = 8
        a.decim = size
        y = np.concatenate([head, a.steps(x[11:13])])
        a.decim = 5
        b = make()  # the open chunk and the pending size survive a restore
        b.set_state(a.get_state())
        assert b.get_state() == a.get_state() and b.decim == 5
        tail = a.steps(x[13:])
        np.testing.assert_array_equal(b.steps(x[13:]), tail)
        np.testing.assert_array_equal(np.concatenate([y, tail]), want)


def test_clip_change_on_the_sample_path_applies_at_the_next_update():
    # Each update clamps from the clip level then current: set, set back, or restored.
    a = AGC(loop_bw=1e-6)
    a.gain_update_period = 4
    level = lambda n: [abs(a.step(100 + 0j)) for _ in range(n)]
    assert level(4) == pytest.approx([100] * 4, rel=1e-3)
    a.clip_db = 0.0
    assert level(4) == pytest.approx([100, 100, 100, 1], rel=1e-3)
    blob = a.get_state()
    a.clip_db = 120.0
    assert level(4) == pytest.approx([1, 1, 1, 100], rel=1e-3)
    a.clip_db = 0.0
    assert level(4) == pytest.approx([100, 100, 100, 1], rel=1e-3)
    a.clip_db = 120.0
    level(4)
    a.set_state(blob)
    assert level(4) == pytest.approx([1] * 4, rel=1e-3)


def test_block_split_state_and_blobs():
    x = (tone(3000, amp=0.3) + 0.05 * np.random.default_rng(2).normal(size=3000)).astype(np.complex64)
    make = lambda: AGC(ref_db=-2.0, loop_bw=0.005, alpha=0.1)
    assert_split_invariant(make, lambda o, c: o.steps(c), x)
    assert_state_roundtrip(make, lambda o, c: o.steps(c), x, cut=1001)  # mid-chunk
    a = make()
    a.steps(x)
    assert_header_rules(a)
    blob = bytearray(a.get_state())
    blob[88:96] = (5).to_bytes(8, "little")  # count beyond the update period
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        a.set_state(bytes(blob))


def test_telemetry_records_each_update():
    with Telemetry(4096) as tlm:
        a = AGC()
        a.set_telemetry(tlm, "agc")
        a.steps(np.full(4096, 0.5 + 0j, np.complex64))
        per = tlm.read_by_probe()
        assert len(per["agc.gain_db"]) == 512 and len(per["agc.level_db"]) == 512
        assert per["agc.gain_db"][-1] == pytest.approx(6.0, abs=0.1)
        assert per["agc.level_db"][-1] == pytest.approx(0.0, abs=0.1)
        with pytest.raises(ValueError, match=r"set_telemetry failed \(rc=-4\)"):
            a.set_telemetry(tlm, "p" * 30)
        a.set_telemetry(None, "agc")


def test_settling_samples():
    assert settling_samples(0.0, 0.05, 3.0, 0.5) == 0
    assert settling_samples(0.0025, 0.05, 3.0, 5.0) == 1
    assert settling_samples(0.0025, 1.5, 3.0, 0.5) == 0
    n = settling_samples(0.0025, 0.05, 20.0, 0.5)
    a = AGC()
    amp = 10 ** (-20 / 20)
    for i in range(n):
        a.step(complex(0.8 * amp, 0.6 * amp))
    assert abs(a.gain_db - 20.0) <= 0.5  # settled on exactly the reported sample
    assert settling_samples(1e-300, 0.05, 20.0, 0.5) == 0  # bounded, not a hang
    assert settling_samples(0.0025, 0.05, np.nan, 0.5) == 0


def test_lifecycle():
    assert_lifecycle(AGC, calls=[("step", (1j,)), ("steps", (np.ones(2, np.complex64),))])


def test_step_of_20_db_settles_as_predicted():
    bw, alpha, tol = 0.0025, 0.05, 0.5
    a = AGC(loop_bw=bw, alpha=alpha)
    quiet = complex(0.8, 0.6)  # unit power: the loop sits at 0 dB gain
    for _ in range(4000):
        a.step(quiet)
    assert abs(a.gain_db) < 0.01
    loud = quiet * 10  # +20 dB
    n = 0
    while abs(a.gain_db + 20.0) > tol:
        a.step(loud)
        n += 1
        assert n < 100000
    predicted = settling_samples(bw, alpha, -20.0, tol)
    assert predicted == pytest.approx(n, rel=0.10)
    assert a.applied_gain_db == pytest.approx(a.gain_db, abs=0.01)


def test_repr_shows_the_construction_arguments():
    a = AGC(ref_db=-3.0, loop_bw=0.01, alpha=0.5)
    assert repr(a) == "AGC(ref_db=-3.0, loop_bw=0.01, alpha=0.5)"
    a.destroy()
    assert repr(a) == "<AGC (destroyed)>"
