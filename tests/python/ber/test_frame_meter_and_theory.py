import struct

import numpy as np
import pytest
from scipy import special, stats

from veltra.ber import (FrameMeter, ber_confidence, ber_esn0_db_for_ser, ber_evm_db,
                        ber_evm_scatter_floor_db, ber_lock_symbol, ber_settle_from,
                        ber_settle_syms, ber_theory_ber, ber_theory_ser)

from vxcheck import assert_header_rules, assert_lifecycle


def filled(target=200, outcomes=((1, 1), (1, 0), (0, 0), (1, -1))):
    fm = FrameMeter(target_errors=target)
    for sync_ok, crc in outcomes:
        fm.add(sync_ok, crc)
    return fm


def test_frame_counts_and_intervals_match_the_ber_meter():
    fm = filled()
    assert (fm.frames, fm.sync_detected, fm.crc_passed, fm.errors, fm.enough) == (4, 3, 1, 2, False)
    assert fm.fer() == ber_confidence(2, 4) and fm.sync_miss() == ber_confidence(1, 4)
    stopped = filled(target=2).fer()      # the count stopped the measurement
    assert stopped.p_hat == 1 / 3
    assert stopped.hi == pytest.approx(stats.gamma.isf(0.005, 2) / 4, rel=1e-9)
    assert stopped.lo == ber_confidence(2, 4).lo
    assert repr(fm) == "FrameMeter(target_errors=200, conf=0.99)"
    for bad in (1.0, 1.5, -0.1, np.nan):
        with pytest.raises(ValueError, match=r"^conf must lie in \(0, 1\)$"):
            FrameMeter(conf=bad)
    assert (FrameMeter(0, 0).fer().conf, FrameMeter(0, 0).enough) == (0.99, False)


def test_frame_state_roundtrip_and_impossible_counts():
    fm = filled()
    other = FrameMeter()
    other.set_state(fm.get_state())
    for o in [(1, 0), (0, 1)]:
        fm.add(*o)
        other.add(*o)
    assert fm.get_state() == other.get_state()
    assert_header_rules(fm)
    good = fm.get_state()
    # frames, sync, crc, errors: crc past sync, sync past frames, too few or too many errors;
    # counts no run reaches, which the next frames would wrap past 2^64 (found by fuzzing)
    for counts in [(4, 2, 3, 2), (4, 5, 1, 2), (4, 2, 1, 1), (4, 3, 1, 4), (2**62, 2**62, 0, 0),
                   (2**64 - 1, 2**64 - 1, 0, 0)]:
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            fm.set_state(good[:16] + struct.pack("<4Q", *counts))
    assert fm.get_state() == good
    fm.reset()
    assert (fm.frames, fm.errors) == (0, 0)
    assert_lifecycle(FrameMeter, [("add", (1, 1)), ("fer", ()), ("sync_miss", ())])


def test_theory_curves_against_closed_forms():
    ebn0 = np.logspace(-3, 1.5, 60)
    for x in ebn0:
        want = 0.5 * special.erfc(np.sqrt(x))
        assert ber_theory_ber(2, x) == pytest.approx(want, rel=1e-12, abs=1e-300)
        assert ber_theory_ber(4, 2 * x) == pytest.approx(want, rel=1e-12, abs=1e-300)
        assert ber_theory_ber(8, 3 * x) == pytest.approx(ber_theory_ser(8, 3 * x) / 3, rel=1e-15)
        assert ber_theory_ser(4, x) == pytest.approx(min(0.75, 2 * stats.norm.sf(np.sqrt(x))), rel=1e-12)
    for m, cap in [(2, 0.5), (4, 0.75), (8, 0.875)]:
        assert [ber_theory_ser(m, e) for e in (0.0, -3.0, -np.inf)] == [cap] * 3
        assert max(ber_theory_ser(m, e) for e in np.linspace(0, 2, 201)) <= cap
        assert np.isnan(ber_theory_ser(m, np.nan)) and np.isnan(ber_theory_ber(m, np.nan))
    assert ber_theory_ber(2, -1.0) == 0.5 and ber_theory_ber(8, 0.0) == pytest.approx(0.875 / 3)
    assert [round(ber_evm_scatter_floor_db(m), 1) for m in (1, 2, 4, 8)] == [-1.4, -1.4, -7.0, -12.9]


@pytest.mark.parametrize("m", [2, 4, 8])
def test_esn0_for_ser_inverts_the_theory(m):
    for db in np.linspace(-9.5, 20, 60):
        ser = ber_theory_ser(m, 10 ** (db / 10))
        if ser > 1e-300:
            assert ber_esn0_db_for_ser(m, ser) == pytest.approx(db, abs=1e-9)
    assert ber_esn0_db_for_ser(m, 0.0) == 40.0            # error-free: the top, not -10
    assert ber_esn0_db_for_ser(m, -1.0) == 40.0
    assert ber_esn0_db_for_ser(m, 0.9) == -10.0
    assert np.isnan(ber_esn0_db_for_ser(m, np.nan))


def test_settling_and_window_start():
    assert (ber_settle_syms(0.01, 0.01), ber_settle_syms(0, 0), ber_settle_syms(-1, 0.05)) == (2000, 0, 200)
    assert ber_settle_syms(1e-300, 1.0) == 2**64 - 1 and ber_settle_syms(np.inf, 0.1) == 100
    with pytest.raises(ValueError, match="^bn_timing and bn_carrier must not be NaN$"):
        ber_settle_syms(np.nan, 0.01)
    cases = [((2000, 415, -1), 2000), ((2000, 2525, -1), 2525), ((2000, 2000, -1), 2000),
             ((2000, -1, 2000), 2000), ((2000, 2525, 3000), 3000), ((2000, 3000, 2525), 3000),
             ((0, -5, -1), 0)]
    for args, want in cases:
        assert ber_settle_from(*args) == want


def lock_reference(flags, sustain, min_frac):
    for j in range(len(flags)):
        if len(flags) - j < sustain:
            return -1
        if flags[j:j + sustain].all() and np.count_nonzero(flags[j:]) >= min_frac * (len(flags) - j):
            return j
    return -1


def test_lock_symbol_matches_a_direct_scan():
    rng = np.random.default_rng(11)
    for trial in range(40):
        n = int(rng.integers(1, 400))
        p = rng.uniform(0.5, 1.0)
        flags = (rng.random(n) < p).astype(np.uint8) * rng.integers(1, 255, n).astype(np.uint8)
        if trial % 2:   # a stretch before lock
            flags[: int(rng.integers(0, n))] = 0
        for sustain, min_frac in [(5, 0.9), (20, 0.5), (1, 1.0), (0, 0.0)]:
            want = lock_reference(flags != 0, sustain or 200, min_frac if min_frac > 0 else 0.9)
            assert ber_lock_symbol(flags, sustain, min_frac) == want
    assert ber_lock_symbol(np.zeros(500, np.uint8)) == -1
    assert ber_lock_symbol(np.zeros(0, np.uint8)) == -1
    assert ber_lock_symbol(np.ones(500, np.uint8), 0, np.nan) == 0


def test_evm_reads_minus_esn0_and_guards_its_window():
    rng = np.random.default_rng(2)
    for m, esn0_db in [(2, 20.0), (4, 20.0), (8, 25.0)]:
        s = np.exp(1j * (2 * np.pi * rng.integers(0, m, 20000) / m + 1.1))
        sigma = np.sqrt(10 ** (-esn0_db / 10) / 2)
        y = (s + sigma * (rng.normal(size=s.size) + 1j * rng.normal(size=s.size))).astype(np.complex64)
        assert ber_evm_db(y, hi=y.size, m=m) == pytest.approx(-esn0_db, abs=0.3)
    ideal = np.exp(1j * (np.pi / 2 * np.arange(100) + 0.4)).astype(np.complex64)
    assert ber_evm_db(ideal, hi=100) == -120.0
    assert ber_evm_db(ideal, hi=19) == 0.0 and ber_evm_db(ideal, lo=90, hi=200) == 0.0
    assert ber_evm_db(ideal) == 0.0 and ber_evm_db(np.zeros(50, np.complex64), hi=50) == 0.0
    bad = ideal.copy()
    bad[5] = np.nan
    assert np.isnan(ber_evm_db(bad, hi=100)) and np.isnan(ber_evm_db(ideal, hi=100, m=100))
