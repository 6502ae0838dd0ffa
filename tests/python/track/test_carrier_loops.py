"""Costas, CarrierMpsk and CarrierNda carrier loops."""

import struct

import numpy as np
import pytest

from veltra.telemetry import Telemetry
from veltra.track import CarrierMpsk, CarrierNda, Costas

from vxcheck import (assert_header_rules, assert_lifecycle, assert_rejects_fields,
                     assert_split_invariant, assert_state_roundtrip)


def psk(n_sym, tsamps, freq, m=2, offset=0.0, snr_db=None, seed=1):
    """Rectangular M-PSK at `tsamps` samples per symbol on a carrier of `freq` cycles/sample."""
    rng = np.random.default_rng(seed)
    sym = np.exp(1j * (2 * np.pi * rng.integers(0, m, n_sym) / m + offset))
    n = np.arange(n_sym * tsamps)
    x = np.repeat(sym, tsamps) * np.exp(2j * np.pi * freq * n)
    if snr_db is not None:
        x += 10 ** (-snr_db / 20) * (rng.normal(size=n.size) + 1j * rng.normal(size=n.size)) / np.sqrt(2)
    return x.astype(np.complex64)


def first_locked(loop, x, tsamps):
    """Dumps until the loop first reports lock, feeding one symbol at a time."""
    for i in range(len(x) // tsamps):
        loop.steps(x[i * tsamps:(i + 1) * tsamps])
        if loop.locked:
            return i + 1
    return None



def test_costas_tracks_and_declares_lock_after_its_averaging():
    x = psk(4000, 16, 0.003)
    c = Costas(bn=0.05, tsamps=16)
    y = c.steps(x)
    assert len(y) == 4000 and round(c.norm_freq, 3) == 0.003 and c.lock_metric > 0.9
    # Clean BPSK: the EMA (weight 0.1, from 0) first exceeds 0.85 at the dump k with
    # 1 - 0.9**k > 0.85, and 8 consecutive looks above it declare.
    k = next(k for k in range(1, 100) if 1 - 0.9 ** k > 0.85)
    assert first_locked(Costas(tsamps=8), psk(100, 8, 0.0), 8) == k + 7 == 26
    # Unit symbols come out at unit magnitude, on the real axis after pull-in.
    assert np.allclose(np.abs(y[-500:].real), 1.0, atol=0.02)


def test_costas_fll_assist_pulls_in_where_the_pll_alone_slips():
    x = psk(3000, 16, 0.006, snr_db=20)
    pll, fll = Costas(bn=0.02, tsamps=16), Costas(bn=0.02, tsamps=16, bn_fll=0.02)
    pll.steps(x)
    fll.steps(x)
    assert round(fll.norm_freq, 4) == 0.006 and fll.locked
    assert abs(pll.norm_freq - 0.006) > 1e-3 and not pll.locked
    # The FLL needs two prompts: the first dump is the same with or without it.
    a, b = Costas(tsamps=16), Costas(tsamps=16, bn_fll=0.5)
    a.steps(x[:16])
    b.steps(x[:16])
    assert a.get_state()[16:112] == b.get_state()[16:112]


def test_costas_retune_reseed_and_reset():
    c = Costas(init_norm_freq=0.01)
    c.configure(0.02, 1.0)
    assert (c.norm_freq, c.bn) == (0.01, 0.02)
    assert c.steps(np.ones(63, np.complex64)).size == 0  # a partial symbol waits
    assert c.steps(np.ones(1, np.complex64)).size == 1
    c.steps(psk(50, 64, 0.002))
    c.reset()
    assert (c.norm_freq, c.lock_metric, c.last_error, c.locked) == (0.01, 0.0, 0.0, False)
    c.norm_freq = -0.004
    assert c.norm_freq == -0.004
    c.reset()
    assert c.norm_freq == -0.004
    c.bn_fll = 0.01
    assert c.bn_fll == 0.01 and repr(c) == (
        "Costas(bn=0.02, zeta=1.0, init_norm_freq=-0.004, tsamps=64, bn_fll=0.01)")


def test_costas_refuses_bad_parameters_and_survives_bad_samples():
    for kw in [dict(bn=-0.1), dict(bn=np.nan), dict(zeta=0.0), dict(init_norm_freq=np.inf), dict(init_norm_freq=1e308),
               dict(bn_fll=-1.0), dict(bn_fll=np.nan), dict(bn_fll=1e308), dict(bn=1e155)]:
        with pytest.raises(MemoryError, match="^costas_create returned NULL$"):
            Costas(**kw)
    c = Costas(tsamps=16)
    blob = c.get_state()
    for name, value, msg in [("bn", np.nan, ">= 0 and finite"), ("bn_fll", -1.0, ">= 0 and finite"),
                             ("norm_freq", np.inf, "finite")]:
        with pytest.raises(ValueError, match=f"^{name} must be {msg}$"):
            setattr(c, name, value)
    with pytest.raises(ValueError, match=r"^configure failed \(rc=-4\)$"):
        c.configure(0.01, np.nan)
    with pytest.raises(ValueError, match=r"^configure_lock failed \(rc=-4\)$"):
        c.configure_lock(np.nan, 0.5, 1, 1)
    assert c.get_state() == blob
    # A burst of NaN and overflowing samples: the loop holds, drops lock, then recovers.
    x = psk(3000, 16, 0.003)
    x[16000:16100] = np.nan
    x[20000:20040] = 1e38
    y = c.steps(x)
    assert np.isnan(y[1000]) and c.locked and round(c.norm_freq, 3) == 0.003


def test_costas_telemetry():
    tlm = Telemetry(4096)
    c = Costas(tsamps=64)
    c.set_telemetry(tlm, "car", 1)
    c.steps(psk(100, 64, 0.001))
    got = tlm.read_by_probe()
    assert sorted(got) == ["car.e", "car.freq", "car.lock", "car.locked"]
    assert sum(len(v) for v in got.values()) == 400
    assert got["car.freq"][-1] == np.float32(c.norm_freq) and got["car.lock"][-1] == np.float32(c.lock_metric)
    with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\)$"):
        c.set_telemetry(tlm, "x" * 26, 1)  # "x...x.locked" would be cut
    c.set_telemetry(None, "car", 1)
    c.steps(psk(10, 64, 0.001))
    assert all(len(v) == 0 for v in tlm.read_by_probe().values())


# (offset, format, value) of Costas fields that count, flag or feed the loop.
COSTAS_BAD_FIELDS = [(64, "<Q", 0), (120, "<Q", 64), (136, "<I", 2), (80, "<d", -1.0), (88, "<d", 0.0),
                     (96, "<d", np.nan), (104, "<d", 1.0), (32, "<d", np.inf), (56, "<d", 2.0),
                     (4, "<I", 7), (168, "<I", 0), (180, "<I", 3), (176, "<I", 40), (40, "<d", 1e308)]


def test_costas_split_state_and_restore_checks():
    x = psk(300, 16, 0.004, snr_db=10)
    make = lambda: Costas(tsamps=16, bn=0.03, bn_fll=0.01)
    run = lambda o, c: o.steps(c)
    whole = assert_split_invariant(make, run, x)
    assert_state_roundtrip(make, run, x, cut=1000)  # mid-symbol
    c = make()
    c.steps(x)
    c.reset()
    np.testing.assert_array_equal(c.steps(x), whole)
    assert_header_rules(c)
    good = c.get_state()
    assert good[:8] == b"CSTS\x03\x00\x01\x00" and len(good) == 232 and good[208:] == bytes(24)
    assert_rejects_fields(c, COSTAS_BAD_FIELDS)
    other = Costas(tsamps=3)
    other.set_state(good)  # configuration travels in the blob
    assert repr(other) == repr(make())
    assert_lifecycle(Costas, calls=[("steps", (np.ones(4),)), ("configure", (0.1, 0.7)),
                                    ("configure_lock", (0.9, 0.8, 1, 1))])


def symbol_errors(y, sym, m, offset, start):
    """Decision errors of prompts y against sent symbols, over the M phase ambiguities."""
    got = np.round((np.angle(y[start:]) - offset) * m / (2 * np.pi)) % m
    want = np.round((np.angle(sym[start:len(y)]) - offset) * m / (2 * np.pi)) % m
    return min(int(np.sum((got + r) % m != want)) for r in range(m))


@pytest.mark.parametrize("m", [2, 4, 8])
def test_mpsk_tracks_and_decides(m):
    offset = np.pi / 4 if m == 4 else 0.0
    x = psk(3000, 16, 0.003, m=m, offset=offset, snr_db=25, seed=m)
    sym = psk(3000, 1, 0.0, m=m, offset=offset, seed=m)
    c = CarrierMpsk(bn=0.04, bn_fll=0.02, tsamps=16, m=m)
    y = c.steps(x)
    assert len(y) == 3000 and round(c.norm_freq, 3) == 0.003 and c.lock_metric > 0.9 and c.m == m
    assert symbol_errors(y, sym, m, offset, 1000) == 0
    c.reset()
    assert (c.norm_freq, c.lock_metric, c.last_error) == (0.0, 0.0, 0.0)


def test_mpsk_at_m2_is_the_costas_loop():
    x = psk(2000, 8, 0.002, snr_db=8)
    a, b = Costas(bn=0.03, tsamps=8), CarrierMpsk(bn=0.03, tsamps=8, m=2)
    np.testing.assert_allclose(b.steps(x), a.steps(x), atol=1e-4)
    assert b.norm_freq == pytest.approx(a.norm_freq, abs=1e-7)


def test_mpsk_parameters_and_setters():
    for kw in [dict(m=3), dict(m=16), dict(bn=np.nan), dict(zeta=-1.0), dict(init_norm_freq=np.nan), dict(init_norm_freq=1e308),
               dict(bn_fll=np.inf), dict(bn_fll=1e308)]:
        with pytest.raises(MemoryError, match="^carrier_mpsk_create returned NULL$"):
            CarrierMpsk(**kw)
    c = CarrierMpsk(init_norm_freq=0.01, bn=0.02)
    c.configure(bn=0.05, zeta=1.0)
    assert (c.norm_freq, c.bn) == (0.01, 0.05)
    with pytest.raises(ValueError, match=r"^configure failed \(rc=-4\)$"):
        c.configure(-1.0, 1.0)
    with pytest.raises(ValueError, match="^norm_freq must be finite$"):
        c.norm_freq = np.nan
    c.bn_fll, c.norm_freq = 0.01, 0.02
    assert repr(c) == "CarrierMpsk(bn=0.05, zeta=1.0, init_norm_freq=0.02, tsamps=64, bn_fll=0.01, m=4)"
    # Bad samples hold the loop; it tracks again once they pass.
    x = psk(2000, 16, 0.003, m=4, offset=np.pi / 4)
    x[8000:8100] = np.nan
    c = CarrierMpsk(bn=0.04, bn_fll=0.02, tsamps=16)
    c.steps(x)
    assert round(c.norm_freq, 3) == 0.003 and c.lock_metric > 0.9


@pytest.mark.parametrize("make", [lambda: Costas(tsamps=4, bn_fll=1e307),
                                  lambda: CarrierMpsk(tsamps=4, m=4, bn_fll=1e307)])
def test_a_huge_fll_gain_keeps_the_loop_finite(make):
    # The assist would push the integrator past the largest double within a few symbols.
    c = make()
    c.steps(psk(200, 4, 0.01, m=4))
    assert np.isfinite(c.norm_freq)
    c.set_state(c.get_state())


MPSK_BAD_FIELDS = [(112, "<i", 3), (64, "<Q", 0), (128, "<Q", 16), (152, "<I", 2), (144, "<d", 0.0),
                   (136, "<f", np.nan), (96, "<d", -1.0), (104, "<d", 5.0), (40, "<d", np.nan), (4, "<I", 1),
                   (40, "<d", 1e308)]


def test_mpsk_split_state_and_restore_checks():
    x = psk(300, 16, 0.004, m=8, snr_db=15)
    make = lambda: CarrierMpsk(tsamps=16, bn=0.03, bn_fll=0.01, m=8)
    run = lambda o, c: o.steps(c)
    assert_split_invariant(make, run, x)
    assert_state_roundtrip(make, run, x, cut=1000)
    c = make()
    c.steps(x)
    assert_header_rules(c)
    good = c.get_state()
    assert good[:8] == b"CMPK\x01\x00\x01\x00" and len(good) == 192
    assert_rejects_fields(c, MPSK_BAD_FIELDS)
    assert_lifecycle(CarrierMpsk, calls=[("steps", (np.ones(4),)), ("configure", (0.1, 0.7))])


def tone(n, freq, noise=0.05, seed=0):
    rng = np.random.default_rng(seed)
    x = np.exp(2j * np.pi * freq * np.arange(n)) + noise * (rng.normal(size=n) + 1j * rng.normal(size=n))
    return x.astype(np.complex64)


def test_nda_tracks_a_tone_and_declares_lock_after_its_averaging():
    c = CarrierNda(bn=0.01, sps=8, n=4, m=4)
    x = tone(40000, 0.001)
    y = c.steps(x)
    assert len(y) == 40000 and round(c.norm_freq, 3) == 0.001 and c.lock > 0.5 and c.locked
    # The output is the input de-rotated by the tracked carrier: settled on one of M phases.
    phase = np.angle(y[-5000:].astype(np.complex128).mean()) * 4 / (2 * np.pi)
    assert abs(phase - round(phase)) < 0.02
    c.reset()
    assert (c.norm_freq, c.lock, c.locked) == (0.0, 0.0, False)
    # A constant: the lock EMA (weight 0.05, from 0) first exceeds 0.5 at sample k, and
    # 64 consecutive looks above it declare.
    k = next(k for k in range(1, 100) if 1 - 0.95 ** k > 0.5)
    assert first_locked(c, np.ones(200, np.complex64), 1) == k + 63 == 77
    # Silence stays below the energy floor: no error, no lock signal.
    c.reset()
    c.steps(np.zeros(100, np.complex64))
    assert (c.last_error, c.lock, c.norm_freq) == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("m", [2, 4, 8])
def test_nda_strips_the_modulation(m):
    offset = np.pi / 4 if m == 4 else 0.0
    x = psk(6000, 8, -0.002, m=m, offset=offset, snr_db=20, seed=m)
    c = CarrierNda(bn=0.005, sps=8, n=4, m=m)
    c.steps(x)
    assert c.norm_freq == pytest.approx(-0.002, abs=1e-4) and c.locked and c.m == m


def test_nda_parameters_setters_and_bad_samples():
    for kw in [dict(m=3), dict(sps=8, n=3), dict(sps=256, n=2), dict(sps=0), dict(n=0), dict(sps=2**33, n=2**33),
               dict(bn=np.nan), dict(zeta=0.0), dict(init_norm_freq=np.inf)]:
        with pytest.raises(MemoryError, match="^carrier_nda_create returned NULL$"):
            CarrierNda(**kw)
    c = CarrierNda(sps=128, n=2, m=8)  # a window of 64 is the longest
    assert (c.sps, c.n, c.m) == (128, 2, 8)
    assert repr(c) == "CarrierNda(bn=0.01, zeta=0.707, init_norm_freq=0.0, sps=128, n=2, m=8)"
    c = CarrierNda(init_norm_freq=0.002)
    blob = c.get_state()
    with pytest.raises(ValueError, match="^bn must be >= 0 and finite$"):
        c.bn = -1.0
    with pytest.raises(ValueError, match=r"^configure_lock failed \(rc=-4\)$"):
        c.configure_lock(0.5, np.nan, 1, 1)
    assert c.get_state() == blob
    c.steps(tone(3000, 0.002))
    integ = c.norm_freq
    c.bn = 0.02
    assert c.bn == 0.02 and c.norm_freq == integ  # the integrator is kept
    c.norm_freq = 0.003
    assert c.norm_freq == 0.003 and c.lock == 0.0
    # A NaN or overflowing sample leaves the arm with its window; the loop tracks on.
    x = tone(20000, 0.002)
    x[5000] = np.nan
    x[9000:9002] = 3e38
    c = CarrierNda()
    y = c.steps(x)
    assert np.isnan(y[5000]) and np.isfinite(y[5010:9000]).all() and np.isfinite(y[9010:]).all()
    assert round(c.norm_freq, 3) == 0.002 and c.locked
    # The output may be written over the input.
    a, b = CarrierNda(), CarrierNda()
    x = tone(1000, 0.001)
    want = a.steps(x)
    assert b.steps(x, out=x) is not None and np.array_equal(x, want)


def test_nda_telemetry():
    tlm = Telemetry(8192)
    c = CarrierNda()
    c.set_telemetry(tlm, "nda", 8)
    c.steps(tone(4096, 0.001))
    got = tlm.read_by_probe()
    assert sorted(got) == ["nda.e", "nda.freq", "nda.lock", "nda.locked"]
    assert all(len(v) == 512 for v in got.values())
    c.set_state(c.get_state())  # a restore keeps the attachment
    c.steps(tone(8, 0.001))
    assert all(len(v) == 1 for v in tlm.read_by_probe().values())


NDA_BAD_FIELDS = [(72, "<i", 3), (76, "<i", 3), (76, "<i", 0), (64, "<Q", 0), (80, "<Q", 4), (112, "<Q", 64),
                  (120, "<Q", 2), (136, "<d", 2.0), (144, "<f", 1.0), (696 + 16, "<I", 0), (696 + 28, "<I", 2),
                  (688, "<d", np.inf), (96, "<d", -1.0), (0 + 8, "<d", 0.5), (32, "<d", np.nan), (40, "<d", 1e308)]


def test_nda_split_state_and_restore_checks():
    x = psk(300, 8, 0.003, m=4, snr_db=15)
    make = lambda: CarrierNda(bn=0.02)
    run = lambda o, c: o.steps(c)
    assert_split_invariant(make, run, x)
    assert_state_roundtrip(make, run, x)
    c = make()
    c.steps(x)
    assert_header_rules(c)
    good = c.get_state()
    assert good[:8] == b"CNDA\x05\x00\x01\x00" and len(good) == 768 and good[744:] == bytes(24)
    assert_rejects_fields(c, NDA_BAD_FIELDS)
    assert_lifecycle(CarrierNda, calls=[("steps", (np.ones(4),)), ("configure_lock", (0.5, 0.4, 1, 1))])
