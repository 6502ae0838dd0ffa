"""The shared binding rules, on a fixture object built only for the tests."""

import sys
import threading
import time

import numpy as np
import pytest

bt = pytest.importorskip("veltra._bindtest", reason="built by `make test` only")


def test_enumeration_keyword():
    assert bt.Fixture(mode="half").pick(np.ones(4, np.complex64)).shape == (2,)
    with pytest.raises(ValueError, match="^mode must be one of \"keep\", \"half\", got 'third'$"):
        bt.Fixture(mode="third")


def test_exact_bound_and_out():
    f = bt.Fixture()
    y = f.halve(np.arange(5, dtype=np.float32))
    np.testing.assert_array_equal(y, [0, 2, 4])
    out = np.full(8, -1, np.float32)
    v = bt.Fixture().halve(np.arange(5, dtype=np.float32), out=out)
    assert v.base is out and v.shape == (3,)
    np.testing.assert_array_equal(out[:3], [0, 2, 4])
    with pytest.raises(ValueError, match=r"^out has 2 elements, need >= 3$"):
        bt.Fixture().halve(np.arange(5, dtype=np.float32), out=np.empty(2, np.float32))
    with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
        bt.Fixture().halve(np.arange(5, dtype=np.float32), out=np.empty(8, np.float64))
    # float64 input is not narrowed to float32
    with pytest.raises(TypeError):
        bt.Fixture().halve(np.arange(5, dtype=np.float64))
    assert bt.Fixture().halve(np.arange(5, dtype=np.int16)).dtype == np.float32


def test_object_bound_shrinks_to_produced():
    x = (np.arange(6) + 1j).astype(np.complex64).reshape(2, 3)
    y = bt.Fixture(mode="half").pick(x)
    assert y.shape == (3,) and y.flags.owndata
    np.testing.assert_array_equal(y, x.ravel()[:3])
    out = np.zeros(10, np.complex64)
    v = bt.Fixture(mode="half").pick(x, out=out)
    assert v.shape == (3,) and v.base is out
    assert bt.Fixture().pick(np.array([], np.complex64)).shape == (0,)


def test_read_style_count():
    f = bt.Fixture()
    assert f.take().shape == (5,)          # natural size 8, 5 available
    assert f.take(2).shape == (2,)
    assert f.take(0).shape == (0,)
    with pytest.raises(ValueError):
        f.take(-1)
    with pytest.raises(OverflowError):
        f.take(2 ** 70)


def test_telemetry_capsule_forms():
    f = bt.Fixture()
    cap = bt.capsule("veltra.telemetry.vx_tlm")
    f.set_telemetry(cap, "p.", 3)
    assert f.attached and f.decim == 3

    class Holder:
        _capsule = cap

    f.set_telemetry(Holder(), "p.")
    assert f.decim == 1
    f.set_telemetry(None, "p.")
    assert not f.attached
    with pytest.raises(ValueError):
        f.set_telemetry(bt.capsule("other.name"), "p.")
    with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\)$"):
        f.set_telemetry(cap, "")
    with pytest.raises(TypeError):
        f.set_telemetry(cap, None)


def test_only_the_attached_context_is_kept_alive():
    from veltra.telemetry import Telemetry

    f, t1, t2 = bt.Fixture(), Telemetry(4), Telemetry(4)
    base = sys.getrefcount(t1)
    f.set_telemetry(t1, "p")
    assert sys.getrefcount(t1) == base + 1
    with pytest.raises(ValueError):
        f.set_telemetry(t2, "")  # refused: t1 stays attached and referenced
    assert sys.getrefcount(t1) == base + 1 and sys.getrefcount(t2) == base
    f.set_telemetry(t2, "p")
    assert sys.getrefcount(t1) == base and sys.getrefcount(t2) == base + 1
    f.set_telemetry(None, "p")
    assert sys.getrefcount(t2) == base


def test_destroy_refused_while_a_call_runs_without_the_lock():
    f = bt.Fixture()
    t = threading.Thread(target=f.sleep, args=(300.0,))
    t.start()
    time.sleep(0.05)
    with pytest.raises(RuntimeError, match="in use"):
        f.destroy()
    with pytest.raises(RuntimeError, match="in use"):
        f.__init__(mode="half")
    with pytest.raises(RuntimeError, match="in use"):
        f.halve(np.ones(2, np.float32))
    t.join()
    f.destroy()  # allowed once the call returned
    with pytest.raises(RuntimeError, match="^destroyed$"):
        f.fed


def test_argument_conversion_cannot_free_the_object_under_the_call():
    # Converting an argument can run Python code (__array__, a `_capsule` property) that
    # destroys or rebuilds the very instance whose core pointer the call already holds.
    from veltra.telemetry import Telemetry
    from veltra.track import LoopFilter

    lf, f, tlm = LoopFilter(), bt.Fixture(), Telemetry(8)
    tlm.probe("x")

    class Hostile:
        def __init__(self, action):
            self.action = action

        def __array__(self, dtype=None, copy=None):
            self.action()
            return np.ones(4, np.float32)

        @property
        def _capsule(self):
            self.action()
            return tlm.capsule

    cases = [
        (lf.steps, lf.destroy),
        (lf.steps, lambda: lf.__init__(bn=0.1)),
        (f.halve, f.destroy),
        (lambda h: f.set_telemetry(h, "p"), f.destroy),
        (lambda h: tlm.emit("x", h), tlm.destroy),
    ]
    for method, action in cases:
        with pytest.raises(RuntimeError, match="^object is in use by a call in progress$"):
            method(Hostile(action))
    assert lf.bn == 0.01 and f.fed == 0 and tlm.available == 0
    lf.destroy()  # allowed once the calls returned


def test_gil_is_released_during_the_call():
    f = bt.Fixture()
    ticks = []
    t = threading.Thread(target=f.sleep, args=(200.0,))
    t.start()
    end = time.monotonic() + 0.15
    while time.monotonic() < end:
        ticks.append(1)
        time.sleep(0.001)
    t.join()
    assert len(ticks) > 20  # this thread kept running while the call slept
