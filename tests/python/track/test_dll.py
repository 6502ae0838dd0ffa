"""Delay-lock loop."""

import struct

import numpy as np
import pytest

from veltra.telemetry import Telemetry
from veltra.track import Dll

from vxcheck import (assert_header_rules, assert_lifecycle, assert_rejects_fields,
                     assert_split_invariant, assert_state_roundtrip)


def mseq31():
    """The 31-chip m-sequence of x^5 + x^2 + 1."""
    s, out = [1, 1, 1, 1, 1], []
    for _ in range(31):
        out.append(s[-1])
        s = [s[4] ^ s[1]] + s[:-1]
    return np.array(out, np.uint8)


CODE = mseq31()
CHIPS = 1.0 - 2.0 * CODE


def spread(periods, sps=2, rate=1.0, delay=0):
    """The code sampled at each sample's centre at `rate` chips per nominal chip, `delay`
    samples late."""
    t = (np.arange(periods * 31 * sps) + 0.5) / sps * rate
    x = CHIPS[np.floor(t).astype(int) % 31].astype(np.complex64)
    return np.concatenate([np.zeros(delay, np.complex64), x])[:x.size]


def by_epoch(d, x, sps=2):
    """Feed one nominal epoch at a time; outputs and code rates per call."""
    ys, rates = [], []
    for k in range(0, x.size, 31 * sps):
        ys.append(d.steps(x[k:k + 31 * sps]))
        rates.append(d.code_rate)
    return ys, np.array(rates)


def test_m_sequence_is_despread_and_tracked():
    assert list(np.convolve(CHIPS, CHIPS[::-1], "full")[[30]]) == [31.0]  # sanity of the code
    d = Dll(CODE, sps=2)
    y = d.steps(spread(60))
    # An increment of trunc(2^32/62) lags a little: the loop dictates 59 or 60 epochs.
    assert len(y) in (59, 60) and np.allclose(np.abs(y), 1.0, atol=0.02)
    assert round(d.code_rate, 3) == 1.0 and d.locked and d.lock_stat > 100
    seg = Dll(CODE, sps=2, segments=4)
    y = seg.steps(spread(60))
    assert len(y) in (236, 240) and np.allclose(np.abs(y[4:]), 1.0, atol=0.05) and seg.segments == 4


def test_code_doppler_and_a_one_sample_delay():
    _, rates = by_epoch(Dll(CODE, sps=2), spread(400, rate=0.999))
    assert np.mean(rates[-100:]) == pytest.approx(0.999, abs=2e-4)
    ys, _ = by_epoch(Dll(CODE, sps=2), spread(60, delay=1))
    prompt = [abs(y[0]) for y in ys if len(y)]
    assert prompt[0] < 0.6 and max(prompt[:20]) > 0.95


def test_puts_across_the_wrap():
    x = spread(10)
    d = Dll(CODE, sps=2)
    d.steps(x[:50])  # code phase 25
    d.set_code_phase(31.0 + 2.0)  # forward (the short way) across the wrap: the epoch closes next sample
    assert d.code_phase == 2.0 and len(d.steps(x[50:51])) == 1
    d = Dll(CODE, sps=2)
    d.steps(x[:10])  # code phase 5
    d.set_code_phase(-2.0)  # backward across the wrap: the next wrap is passed over
    assert d.code_phase == 29.0
    assert len(d.steps(x[10:10 + 4 + 60])) == 0 and len(d.steps(x[74:78])) == 1
    with pytest.raises(ValueError, match=r"^set_code_phase failed \(rc=-4\)$"):
        d.set_code_phase(np.nan)


def test_lock_configuration():
    d = Dll(CODE)
    blob = d.get_state()
    n_looks, alpha = struct.unpack_from("<Q", blob, 16 + 496)[0], struct.unpack_from("<d", blob, 16 + 472)[0]
    n_up, n_down = struct.unpack_from("<II", blob, 16 + 536)
    assert (n_looks, n_up, n_down) == (20, 2, 2) and alpha == pytest.approx(1 / 1024, rel=1e-12)
    for args in [(1.5, 20), (0.0, 20), (0.01, 10**8)]:
        with pytest.raises(ValueError, match=r"^configure_lock failed \(rc=-4\)$"):
            d.configure_lock(*args)
    with pytest.raises(ValueError, match=r"^configure_lock_raw failed \(rc=-4\)$"):
        d.configure_lock_raw(1.0, 1.0, 4, 2.0, 1, 1)
    with pytest.raises(ValueError, match=r"^set_lock_verify failed \(rc=-4\)$"):
        d.set_lock_verify(0, 2)
    assert d.get_state() == blob
    d.configure_lock(0.01, 5, 20.0)
    d.set_lock_verify(1, 3)
    d.steps(spread(30))
    assert d.locked
    # A short code leaves no room for the noise tap: the detector never declares.
    short = Dll(np.array([0, 1, 1, 0, 1], np.uint8))
    short.steps(np.tile(np.repeat(1.0 - 2.0 * np.array([0, 1, 1, 0, 1]), 2), 200).astype(np.complex64))
    assert not short.locked
    assert np.isfinite(d.take_error_mean())
    assert np.isnan(d.take_error_mean())


def test_symbol_period_aid_and_coasting():
    d = Dll(CODE, sps=4, segments=4)
    for period in (1.5, np.nan, 1e6):
        with pytest.raises(ValueError, match=r"^set_symbol_period failed \(rc=-4\)$"):
            d.set_symbol_period(period)
    with pytest.raises(ValueError, match=r"^set_symbol_period failed \(rc=-4\)$"):
        Dll(CODE).set_symbol_period(8.0)
    x = spread(200, sps=4, rate=1.00002)
    d.steps(x[:124 * 100])
    rate = d.code_rate
    d.set_symbol_period(8.0)  # the code rate carries on across both switches
    assert d.symbol_window == 7 and d.code_rate == rate
    y = d.steps(x[124 * 100:])
    assert np.allclose(np.abs(y[-40:]), 1.0, atol=0.1) and d.code_rate == pytest.approx(1.00002, abs=1e-4)
    rate = d.code_rate
    d.set_symbol_period(0)
    assert d.symbol_window == 0 and d.code_rate == rate
    # Coasting holds the snapshot's rate whatever the discriminator says.
    d = Dll(CODE, sps=2)
    d.steps(spread(50))
    d.hold_here()
    d.set_coast(True)
    inc = lambda: struct.unpack_from("<I", d.get_state(), 16 + 52)[0]
    held, rate = inc(), d.code_rate
    d.steps(spread(20, rate=1.01))
    assert (inc(), d.code_rate) == (held, rate) and d.last_error != 0.0
    d.set_rate_aid(0.01)  # while coasting the increment follows the aid at once
    assert inc() == pytest.approx(held * 1.01, rel=1e-3)
    with pytest.raises(ValueError, match=r"^set_rate_aid failed \(rc=-4\)$"):
        d.set_rate_aid(np.inf)


@pytest.mark.parametrize("period", [8.0, 0])
def test_a_snapshot_coasts_at_the_same_rate_across_an_aid_switch(period):
    # Held with the aid in one state, coasted in the other: the increment is the one a twin
    # coasting without the switch gets, and the object takes its own blob back.
    def held(switch):
        d = Dll(CODE, sps=4, segments=4)
        if not period:
            d.set_symbol_period(8.0)
        d.steps(spread(20, sps=4, rate=1.002))
        d.hold_here()
        if switch:
            d.set_symbol_period(period)
        d.set_coast(True)
        return d

    d, twin = held(True), held(False)
    inc = lambda o: struct.unpack_from("<I", o.get_state(), 16 + 52)[0]
    assert abs(inc(d) - inc(twin)) <= 1 and inc(d) != inc(Dll(CODE, sps=4, segments=4))
    d.steps(spread(3, sps=4))
    d.set_state(d.get_state())


def test_a_bandwidth_valid_only_under_the_aid():
    # Under the aid the loop updates every 1/8 of an epoch: a bandwidth whose gains overflow
    # at one update per epoch is still valid, restores, and keeps the aid from being dropped.
    d = Dll(CODE, sps=2, segments=16)
    d.set_symbol_period(2.0)
    d.configure(1e154, 0.5)
    d.steps(spread(4))
    d.set_state(d.get_state())
    with pytest.raises(ValueError, match=r"^set_symbol_period failed \(rc=-4\)$"):
        d.set_symbol_period(0)


def test_parameters_and_bad_samples():
    for kw in [dict(code=[]), dict(code=CODE, segments=0), dict(code=CODE, segments=32),
               dict(code=CODE, spacing=np.nan), dict(code=CODE, spacing=-1.0), dict(code=CODE, bn=-1.0),
               dict(code=CODE, init_chip=np.inf), dict(code=CODE, segments=2**21, sps=2**20)]:
        with pytest.raises(MemoryError, match="^dll_create returned NULL$"):
            Dll(**kw)
    with pytest.raises(ValueError, match="^code must be a 1-D array$"):
        Dll(np.zeros((2, 31), np.uint8))
    assert Dll(CODE, init_chip=-1e-300).code_phase == 0.0  # a hair below a period rounds to it
    d = Dll(CODE, sps=2, segments=31, bn=0.02)
    assert repr(d) == "Dll(len(code)=31, sps=2, init_chip=0.0, bn=0.02, zeta=0.707, spacing=0.5, segments=31)"
    # NaN samples spoil their epochs only.
    x = spread(40)
    x[500:520] = np.nan
    d = Dll(CODE, sps=2)
    y = d.steps(x)
    assert np.isnan(y[8]) and np.allclose(np.abs(y[12:]), 1.0, atol=0.02) and round(d.code_rate, 3) == 1.0


def test_telemetry():
    tlm = Telemetry(4096)
    d = Dll(CODE)
    d.set_telemetry(tlm, None if False else "code", 1)
    n = len(d.steps(spread(20)))
    got = tlm.read_by_probe()
    assert sorted(got) == ["code.e", "code.lock", "code.locked", "code.rate"]
    assert all(len(v) == n for v in got.values()) and got["code.rate"][-1] == np.float32(d.code_rate)


# (offset, format, value) of fields that size, index, select or feed the loop.
BAD_FIELDS = [(80, "<Q", 30), (88, "<Q", 3), (328, "<Q", 2), (352, "<Q", 1), (360, "<I", 2), (168, "<I", 5),
              (496, "<Q", 0), (488, "<Q", 20), (520 + 16, "<I", 0), (520 + 28, "<I", 2), (440, "<d", 31.0),
              (136, "<d", np.nan), (16, "<d", np.inf), (472, "<d", 2.0), (464, "<d", np.nan), (552, "<d", 8.0),
              (40, "<d", 2.0), (24, "<d", 1e308)]


@pytest.mark.parametrize("segments,period", [(1, 0), (4, 0), (4, 6.0)])
def test_split_state_and_restore_checks(segments, period):
    x = spread(12, rate=1.002) + np.complex64(0.1j)

    def make():
        d = Dll(CODE, sps=2, segments=segments, bn=0.02)
        if period:
            d.set_symbol_period(period)
        return d

    run = lambda o, c: o.steps(c)
    whole = assert_split_invariant(make, run, x, trials=4)
    assert_state_roundtrip(make, run, x, cut=301)
    d = make()
    d.steps(x)
    d.reset()
    np.testing.assert_array_equal(d.steps(x), whole)
    assert_header_rules(d)
    good = d.get_state()
    assert good[:8] == b"DLL \x0d\x00\x01\x00" and len(good) == d.state_bytes()
    assert len(good) == 704 + (48 * segments if segments > 1 else 0) + (8 * (6 + 4 * 32) if period else 0)
    if segments == 1:
        assert_rejects_fields(d, BAD_FIELDS)
    else:  # a blob of the other aid state has another size
        other = make()
        other.set_symbol_period(0 if period else 6.0)
        with pytest.raises(ValueError, match="state blob size mismatch"):
            d.set_state(other.get_state())
    assert_lifecycle(lambda: Dll(CODE), calls=[("steps", (np.ones(4),)), ("configure", (0.1, 0.7)),
                                               ("set_code_phase", (1.0,)), ("hold_here", ())])
