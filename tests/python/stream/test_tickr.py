import threading
import time

import pytest

from veltra.interrupt import Interrupt
from veltra.wfm import Tickr


def timed(fn, *args):
    t0 = time.monotonic()
    r = fn(*args)
    return r, time.monotonic() - t0


def test_pacing_sleeps_until_each_block_is_due():
    t0 = time.monotonic()
    t = Tickr(1000.0)
    slack, took = timed(t.pace, 100)
    assert 0.05 < slack <= 0.1 and 0.095 < took < 0.5
    slack = t.pace(100)  # the next block is due another 0.1 s on
    assert slack <= 0.1 and time.monotonic() - t0 >= 0.195
    assert t.samples == 200 and t.underruns == (0 if slack > 0 else 1)


@pytest.mark.parametrize("resync", [0, 1])
def test_late_blocks_count_underruns(resync):
    t = Tickr(1000.0, resync=resync)
    time.sleep(0.06)
    slack, took = timed(t.pace, 20)
    assert slack < -0.03 and took < 0.05
    assert t.underruns == 1 and t.max_lateness == pytest.approx(-slack, abs=1e-9)
    # With resync the next block is paced from the late time, else it is late again.
    slack = t.pace(20)
    if resync:
        assert -0.01 < slack <= 0.02
    else:
        assert slack < -0.015 and t.underruns == 2
    t.resync()
    assert -0.01 < t.pace(10) <= 0.01


def test_rate_zero_never_sleeps():
    for fs in (0.0, -5.0):
        t = Tickr(fs)
        for k in range(3):
            slack, took = timed(t.pace, 1000)
            assert slack <= 0 and took < 0.05
        assert t.underruns == 3 and t.stamp_at(10**12) == t.stamp_at(0)


def test_stamps_and_saturation():
    t = Tickr(2.4e6)
    epoch = t.stamp_at(0)
    assert abs(epoch - time.time_ns()) < 10**9
    for k in (1, 7, 2400, 12345678901, 10**15):
        assert t.stamp_at(k) == epoch + (k * 10**9 * 10 + 24 * 10**6 // 2) // (24 * 10**6)
    assert t.stamp() == epoch
    assert Tickr(1e-3).stamp_at(2**64 - 1) == 2**64 - 1
    with pytest.raises(ValueError, match="^fs must be finite$"):
        Tickr(float("inf"))
    assert repr(Tickr(48000.0, 1)) == "Tickr(fs=48000.0, resync=1)"


def test_track():
    t = Tickr(1000.0)
    t.pace(0)
    assert t.track(10**18, 500, 0) == 1 and t.samples == 500
    assert t.stamp() == 10**18
    assert t.track(10**18, 100, 0) == 0 and t.stamp() == 10**18  # stale: ignored
    assert t.track(10**18 + 500_000_004, 1000, 10) == 0  # within tolerance
    assert t.samples == 1000 and t.stamp() == 10**18 + 500_000_000
    assert t.track(10**18 + 600_000_000, 1000, 10) == 1  # re-anchored
    assert t.stamp_at(1100) == 10**18 + 700_000_000
    assert t.track(5, 2000, 0) == 1 and t.stamp_at(0) == 0  # the epoch saturates, no wrap


def test_closed_instance():
    t = Tickr(1000.0)
    cap = t._capsule
    assert "veltra.wfm.vx_tickr" in repr(cap)
    t.close()
    assert t.close() is None and repr(t) == "<Tickr (closed)>"
    calls = [("pace", (1,)), ("stamp", ()), ("stamp_at", (1,)), ("track", (1, 2, 3)),
             ("reset", ()), ("resync", ())]
    for name, args in calls:
        with pytest.raises(RuntimeError, match="^Tickr is closed$"):
            getattr(t, name)(*args)
    for prop in ("samples", "underruns", "max_lateness", "_capsule"):
        with pytest.raises(RuntimeError, match="^Tickr is closed$"):
            getattr(t, prop)
    with pytest.raises(TypeError):
        t.pace("x")  # arguments are parsed first
    t.__init__(10.0)
    assert t.samples == 0
    assert type(t).__module__ == "veltra.wfm" and type(t).__name__ == "Tickr"
    with pytest.raises(TypeError):
        type("Sub", (Tickr,), {})


def test_interrupt_ends_a_far_sleep():
    t = Tickr(1.0)
    with Interrupt(signals=(), latency_ms=20) as g:
        g.interrupt()
        _, took = timed(t.pace, 10**6)
        assert took < 0.05
        g.resume()
        threading.Timer(0.1, g.interrupt).start()
        _, took = timed(t.pace, 10**6)
        assert 0.09 < took < 0.4
        g.resume()


def test_other_threads_during_pace():
    t = Tickr(1000.0)
    seen = []

    def other():
        time.sleep(0.05)
        with pytest.raises(RuntimeError, match="in use"):
            t.stamp()
        t.close()  # never fails; the clock goes when pace returns
        seen.append(True)

    th = threading.Thread(target=other)
    th.start()
    t.pace(500)
    th.join()
    assert seen == [True]
    with pytest.raises(RuntimeError, match="^Tickr is closed$"):
        t.samples


def test_examples():
    import doctest

    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for test in doctest.DocTestFinder().find(Tickr, "Tickr", module=False, globs={}):
        runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.failed == 0 and result.attempted >= 12
