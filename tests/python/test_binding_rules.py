"""The shared binding rules, on a fixture object built only for the tests."""

import sys
import threading
import time

import numpy as np
import pytest

from veltra.filter import FIR, MovingAverage
from veltra.interrupt import Interrupt
from veltra.telemetry import Telemetry

bt = pytest.importorskip("veltra._bindtest", reason="built by `make test` only")


def test_enumeration_keyword():
    assert bt.Fixture(mode="half").pick(np.ones(4, np.complex64)).shape == (2,)
    with pytest.raises(ValueError, match="^mode must be one of \"keep\", \"half\", got 'third'$"):
        bt.Fixture(mode="third")
    # An embedded NUL is not cut off into an accepted name.
    with pytest.raises(ValueError, match="^mode must be one of .*, got 'half\0x'$"):
        bt.Fixture(mode="half\0x")


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
    f, tlm = bt.Fixture(), Telemetry(4)
    cap = tlm.capsule
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


def test_a_shared_object_takes_calls_of_several_threads():
    f = bt.SharedFixture()
    t = threading.Thread(target=f.sleep, args=(300.0,))
    t.start()
    time.sleep(0.05)
    assert f.fed == 0  # beside the call running without the lock
    with pytest.raises(RuntimeError, match="in use"):
        f.destroy()
    t.join()
    f.destroy()


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


def test_one_call_at_a_time_even_while_arguments_convert():
    # The first call holds the object from before its arguments convert: a conversion that
    # lets another thread run cannot let that thread into the same object.
    from veltra.ddc import DDC

    x = np.exp(0.3j * np.arange(256)).astype(np.complex64)
    expected = DDC(norm_freq=-0.1).execute(x)

    class Slow:
        def __init__(self, value):
            self.value, self.entered, self.go = value, threading.Event(), threading.Event()

        def wait(self):
            self.entered.set()
            self.go.wait(10)  # without the interpreter lock
            return self.value

        def __array__(self, dtype=None, copy=None):
            return self.wait()

        def __float__(self):
            return self.wait()

    firsts = [  # (call taking the slow argument, its slow argument)
        (lambda d, a: d.execute(a), Slow(x)),
        (lambda d, a: d.execute_ctrl_push(1.0, a, 0.0), Slow(0.0)),
    ]
    results = []
    for first, slow in firsts:
        d, got = DDC(norm_freq=-0.1), []
        t = threading.Thread(target=lambda: got.append(first(d, slow)))
        t.start()
        assert slow.entered.wait(10)
        try:
            for second in (lambda: d.execute(x), lambda: d.norm_freq, lambda: d.reset(),
                           lambda: setattr(d, "norm_freq", 0.2), d.destroy,
                           lambda: d.__init__(norm_freq=0.0)):
                with pytest.raises(RuntimeError, match="^object is in use by a call in progress$"):
                    second()
        finally:
            slow.go.set()
            t.join()
        assert len(got) == 1 and d.norm_freq == -0.1
        results.append(got[0])
    np.testing.assert_array_equal(results[0], expected)  # as if alone


def test_instance_states():
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing printed or warned either
        fresh = bt.Fixture.__new__(bt.Fixture)
        assert repr(fresh) == "<Fixture (not constructed)>"
        assert fresh.destroy() is None and fresh.__exit__(None, None, None) is None
        with pytest.raises(RuntimeError, match="^destroyed$"):
            fresh.fed
        fresh.__init__(mode="half")
        assert repr(fresh) == "Fixture(mode='half')"
        fresh.destroy()
        assert repr(fresh) == "<Fixture (destroyed)>"
        with pytest.raises(RuntimeError, match="^destroyed$"):
            fresh.__init__(mode="keep")  # stays destroyed
        with pytest.raises(RuntimeError, match="^destroyed$"):
            fresh.fed


def test_no_output_at_exit():
    # Objects still alive when the interpreter exits (here: leaked references) are not
    # reported on stderr.
    import subprocess

    code = """if True:
        import ctypes, veltra.track, veltra.telemetry
        for obj in (veltra.track.LoopFilter(), veltra.telemetry.Telemetry(4)):
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(obj))
    """
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")


@pytest.mark.parametrize("make, text", [
    (lambda: bt.Fixture(mode="keep"), "Fixture(mode='keep')"),
    (lambda: FIR(np.ones(39, np.float32)), "FIR(num_taps=39, real=True)"),
    (lambda: FIR([1j, 2]), "FIR(num_taps=2, real=False)"),
    (lambda: MovingAverage(8, gain=0.5), "MovingAverage(len=8, gain=0.5)"),
    (lambda: Telemetry(16), "Telemetry(capacity=16)"),
    (lambda: Interrupt((10, 12), latency_ms=7), "Interrupt(signals=(10, 12), latency_ms=7)"),
])
def test_repr_shows_the_construction_arguments(make, text):
    obj = make()
    assert repr(obj) == text
    obj.destroy()
