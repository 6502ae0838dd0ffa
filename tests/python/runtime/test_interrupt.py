"""The interrupt guard. Every signal sent here lands on a recording Python handler
installed first (and restored after), so a guard that fails to chain or to restore
fails a test instead of stopping the test runner."""

import contextlib
import ctypes
import gc
import os
import signal
import time

import pytest

import veltra.interrupt.interrupt as owner
from veltra.interrupt import Interrupt

from vxcheck import assert_lifecycle

STATE_CAPSULE = "veltra.vx_interrupt_guard._gx_procglobal"


def shared_state():
    """The two u32 words {interrupted, latency_ms} behind the module's capsule."""
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return (ctypes.c_uint32 * 2).from_address(get(owner._gx_pg_vx_interrupt_guard,
                                                  STATE_CAPSULE.encode()))


@contextlib.contextmanager
def recording(*sigs):
    calls = []
    old = {s: signal.signal(s, lambda n, f: calls.append(n)) for s in sigs}
    try:
        yield calls
    finally:
        for s, h in old.items():
            signal.signal(s, h)


def deliver(sig, calls):
    """Send sig to this process and wait until the Python handler has run."""
    n = len(calls)
    os.kill(os.getpid(), sig)
    deadline = time.monotonic() + 5
    while len(calls) == n and time.monotonic() < deadline:
        time.sleep(0.001)
    assert calls[n:] == [sig], "the previous handler did not run"


@pytest.fixture(autouse=True)
def clear_flag():
    state = shared_state()
    state[0] = 0
    yield
    state[0] = 0


def test_capsule_is_the_state_every_guard_uses():
    cap = owner._gx_pg_vx_interrupt_guard
    assert STATE_CAPSULE in repr(cap)
    state = shared_state()
    with Interrupt(signals=()) as g:
        g.interrupt()
        assert state[0] == 1
        g.resume()
        assert state[0] == 0
        state[0] = 1
        assert g.interrupted
    assert state[1] == 100


def test_sigint_sets_the_flag_and_still_runs_the_previous_handler():
    state = shared_state()
    with recording(signal.SIGINT) as calls:
        with Interrupt() as g:
            assert g.signals == (signal.SIGINT,) and not g.interrupted
            deliver(signal.SIGINT, calls)
            assert g.interrupted
        # The guard is gone: the previous action is back, the flag stays until resumed.
        assert state[0] == 1
        state[0] = 0
        deliver(signal.SIGINT, calls)
        assert state[0] == 0


def test_chosen_signals():
    state = shared_state()
    with recording(signal.SIGUSR1, signal.SIGUSR2) as calls:
        with Interrupt([signal.SIGUSR1, signal.SIGUSR2]) as g:
            deliver(signal.SIGUSR2, calls)
            assert g.interrupted
            g.resume()
            deliver(signal.SIGUSR1, calls)
            assert g.interrupted
            g.resume()
        for s in (signal.SIGUSR1, signal.SIGUSR2):
            deliver(s, calls)
            assert state[0] == 0


def test_a_new_guard_clears_the_flag():
    shared_state()[0] = 1
    with Interrupt(signals=()) as g:
        assert not g.interrupted


@pytest.mark.parametrize("sigs", [
    [signal.SIGUSR1, signal.SIGUSR2, signal.SIGHUP, signal.SIGTERM, signal.SIGALRM,
     signal.SIGWINCH, signal.SIGURG, signal.SIGPIPE, signal.SIGCHLD],  # nine
    [signal.SIGUSR1, signal.SIGKILL],
    [signal.SIGUSR1, signal.SIGSTOP],
    # A fault signal would return into the faulting instruction forever.
    *([signal.SIGUSR1, s] for s in (signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL)),
    [signal.SIGUSR1, 0],
    [signal.SIGUSR1, 100000],
])
def test_refused_guards_change_nothing(sigs):
    state = shared_state()
    state[0], state[1] = 1, 55
    with recording(signal.SIGUSR1) as calls:
        with pytest.raises(ValueError, match=r"^cannot guard signals \(.*\): at most 8"):
            Interrupt(sigs, latency_ms=5)
        assert (state[0], state[1]) == (1, 55)
        state[0] = 0
        deliver(signal.SIGUSR1, calls)
        assert state[0] == 0  # our handler is not installed
    state[1] = 100


def test_nested_guards_keep_the_handler_until_the_last_one_goes():
    state = shared_state()
    with recording(signal.SIGUSR1) as calls:
        outer = Interrupt(signal.SIGUSR1)
        inner = Interrupt(signal.SIGUSR1)
        outer.destroy()
        deliver(signal.SIGUSR1, calls)
        assert inner.interrupted
        inner.resume()
        inner.destroy()
        deliver(signal.SIGUSR1, calls)
        assert state[0] == 0


def test_garbage_collection_restores_the_signals():
    state = shared_state()
    with recording(signal.SIGUSR1) as calls:
        g = Interrupt(signal.SIGUSR1)
        del g
        gc.collect()
        deliver(signal.SIGUSR1, calls)
        assert state[0] == 0


def test_latency():
    state = shared_state()
    with Interrupt(signals=(), latency_ms=20) as g:
        assert g.latency_ms == 20 == state[1]
        with Interrupt(signals=(), latency_ms=7) as inner:
            assert inner.latency_ms == 7
        assert g.latency_ms == 20
        g.latency_ms = 0
        assert g.latency_ms == 100
        g.latency_ms = 35
    assert state[1] == 100  # the value before the guard
    with pytest.raises(TypeError):
        Interrupt(signals=(), latency_ms=-1)


def test_signal_argument_forms():
    with Interrupt(signal.SIGUSR2) as g:
        assert g.signals == (signal.SIGUSR2,)
    with Interrupt((int(signal.SIGUSR1), signal.SIGUSR2)) as g:
        assert g.signals == (signal.SIGUSR1, signal.SIGUSR2)
    with Interrupt(iter([signal.SIGUSR1])) as g:
        assert g.signals == (signal.SIGUSR1,)
    with pytest.raises(TypeError):
        Interrupt("SIGINT")
    with pytest.raises(TypeError):
        Interrupt([1.5])


def test_modules_that_adopted_the_state_share_the_flag():
    bt = pytest.importorskip("veltra._bindtest", reason="built by `make test` only")
    with Interrupt(signals=()) as g:
        g.interrupt()
        assert bt.interrupted()
        g.resume()
        assert not bt.interrupted()
        bt.interrupt()
        assert g.interrupted


def test_lifecycle():
    assert_lifecycle(lambda: Interrupt(signals=()),
                     calls=[("interrupt", ()), ("resume", ())])
