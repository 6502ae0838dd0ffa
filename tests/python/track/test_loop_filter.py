import threading

import numpy as np
import pytest

from veltra.track import LoopFilter

from vxcheck import (assert_header_rules, assert_lifecycle, assert_split_invariant,
                     assert_state_roundtrip)

MSG = "bn must be >= 0, zeta > 0 and t > 0, and all three finite"


def reference(x, bn=0.02, zeta=0.707, t=1.0):
    """The PI recurrence in plain Python, gains from the closed-form design."""
    wn = 8 * zeta * bn / (1 + 4 * zeta * zeta)
    th = wn * t
    d = 4 * (1 + zeta * th) + th * th
    kp, ki = 8 * zeta * th / d, 4 * th * th / d
    integ, out = 0.0, []
    for v in x:
        integ = ki * v + integ
        out.append(v * kp + integ)
    return np.array(out)


def test_reference_values():
    lf = LoopFilter(bn=0.02, zeta=0.707, t=1.0)
    assert round(lf.step(1.0), 5) == 0.05331
    assert lf.integ == pytest.approx(0.001385, abs=1e-6)
    assert LoopFilter(bn=0.05).kp == pytest.approx(0.124728, abs=1e-6)
    assert (lf.bn, lf.zeta, lf.t) == (0.02, 0.707, 1.0)
    zero = LoopFilter(bn=0.0)
    assert zero.kp == 0.0 and zero.ki == 0.0


def test_steps_match_recurrence_and_step():
    x = np.random.default_rng(3).normal(size=500)
    np.testing.assert_array_equal(LoopFilter(bn=0.02).steps(x), reference(x))
    lf = LoopFilter(bn=0.02)
    np.testing.assert_array_equal([lf.step(v) for v in x], reference(x))


def test_configure_keeps_integrator_and_validates():
    lf = LoopFilter(bn=0.02)
    lf.steps(np.ones(10))
    integ = lf.integ
    lf.configure(0.05, 0.707, 1.0)
    assert lf.integ == integ and lf.kp == pytest.approx(0.124728, abs=1e-6)
    for bad in [(-0.1, 0.7, 1.0), (0.01, 0.0, 1.0), (0.01, 0.7, np.inf), (np.nan, 0.7, 1.0),
                (1e155, 0.7, 1.0), (0.01, 0.7, 1e308)]:
        with pytest.raises(ValueError, match=r"^configure failed \(rc=-4\)$"):
            lf.configure(*bad)
    assert lf.kp == pytest.approx(0.124728, abs=1e-6)


@pytest.mark.parametrize("kw", [dict(bn=-0.1), dict(zeta=0), dict(t=0), dict(bn=np.inf),
                                dict(zeta=np.nan), dict(t=-np.inf), dict(bn=1e309),
                                dict(bn=1e155), dict(t=1e308)])
def test_constructor_rejects(kw):
    with pytest.raises(ValueError, match=f"^{MSG}$".replace("(", r"\(")):
        LoopFilter(**kw)


def test_constructor_types():
    with pytest.raises(TypeError):
        LoopFilter(bn="wide")
    with pytest.raises(TypeError):
        LoopFilter(width=3)


def test_integ_is_writable_and_reset_clears_it():
    lf = LoopFilter()
    lf.integ = 0.25
    assert lf.step(0.0) == 0.25
    lf.reset()
    assert lf.integ == 0.0 and lf.kp > 0
    with pytest.raises(AttributeError):
        lf.kp = 1.0


def test_array_rules():
    lf = LoopFilter(bn=0.02)
    x2 = np.arange(6.0).reshape(2, 3)
    y = lf.steps(x2)
    assert y.shape == (6,)
    np.testing.assert_array_equal(y, reference(x2.ravel()))
    assert LoopFilter().steps([1, 2, 3]).dtype == np.float64  # ints convert safely
    assert LoopFilter().steps(np.array([], np.float64)).shape == (0,)

    out = np.empty(3)
    assert LoopFilter().steps(np.ones(3), out=out) is out
    assert LoopFilter().steps(np.ones(3), out=None).shape == (3,)
    for bad in [np.empty(3, np.float32), np.empty(6)[::2], [0.0, 0.0, 0.0]]:
        with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray "
                                            "of the output dtype$"):
            LoopFilter().steps(np.ones(3), out=bad)
    ro = np.empty(3)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match="^out must be"):
        LoopFilter().steps(np.ones(3), out=ro)
    with pytest.raises(ValueError, match="^out length 4 != input length 3$"):
        LoopFilter().steps(np.ones(3), out=np.empty(4))
    # Complex input cannot become float64 without an unsafe cast.
    with pytest.raises(TypeError):
        LoopFilter().steps(np.ones(3, np.complex128))


def test_split_state_and_header_rules():
    x = np.random.default_rng(7).normal(size=300)
    make = lambda: LoopFilter(bn=0.03, zeta=0.9, t=2.0)
    run = lambda o, c: o.steps(c)
    assert_split_invariant(make, run, x)
    assert_state_roundtrip(make, run, x)
    lf = make()
    lf.steps(x)
    assert_header_rules(lf)
    blob = lf.get_state()
    assert blob[:8] == b"LPFL\x01\x00\x01\x00" and len(blob) == 64
    # A blob carries gains and configuration too.
    other = LoopFilter(bn=0.2)
    other.set_state(blob)
    assert (other.kp, other.bn, other.t) == (lf.kp, 0.03, 2.0)


def test_lifecycle():
    assert_lifecycle(LoopFilter, calls=[("step", (1.0,)), ("steps", (np.ones(2),)),
                                        ("configure", (0.1, 0.7, 1.0)),
                                        ("set_state", (b"",))])


def test_repeated_init_replaces_core_object():
    lf = LoopFilter(bn=0.02)
    lf.steps(np.ones(5))
    lf.__init__(bn=0.05)
    assert lf.integ == 0.0 and lf.kp == pytest.approx(0.124728, abs=1e-6)
    with pytest.raises(ValueError, match="^bn must be"):
        lf.__init__(bn=-1.0)
    assert lf.bn == 0.05  # a failed re-init keeps the live object
    lf.destroy()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        lf.__init__(bn=0.01)  # a destroyed one stays destroyed


def test_concurrent_use_of_two_instances():
    x = np.random.default_rng(1).normal(size=20000)
    want = reference(x)
    results = [None] * 4

    def work(i):
        results[i] = LoopFilter(bn=0.02).steps(x)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        np.testing.assert_array_equal(r, want)
