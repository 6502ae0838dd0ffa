import struct

import numpy as np
import pytest

from veltra import mpsk
from veltra.telemetry import Telemetry
from veltra.track import BpskReceiver, MpskReceiver, MpskReceiverR

from track.timing_signals import clocked_qpsk, symbol_errors
from vxcheck import (assert_header_rules, assert_lifecycle, assert_split_invariant,
                     assert_state_roundtrip, run_split)

INVALID = r"^MpskReceiver: invalid parameter \(need m in \{2,4,8\}"


def qpsk_signal(n_sym=3000, sps=8, cfo=0.0005, esn0_db=20.0, m=4, seed=0, pulse="iandd"):
    rng = np.random.default_rng(seed)
    bits = rng.integers(0, 2, n_sym * {2: 1, 4: 2, 8: 3}[m], dtype=np.uint8)
    x = mpsk.modulate(bits, m, sps, pulse=pulse)
    x = x * np.exp(2j * np.pi * cfo * np.arange(x.size) + 0.4j)
    if esn0_db is not None:
        x = mpsk.awgn(x, esn0_db, sps, rng)
    return bits, mpsk.bits_to_symbols(bits, m), x.astype(np.complex64)


def demap(y, m):
    """Gray, LSB-first bits of receiver symbols, decided here from their angles."""
    return mpsk.demap(y, m)


def test_defaults_derive():
    rx = MpskReceiver()
    assert (rx.m, rx.sps, rx.m_out, rx.num_phases) == (4, 8.0, 8, 64)
    assert rx.zeta == 0.7071067811865476 and rx.bn_agc_ratio == 0.05
    assert (rx.lock_thresh, rx.lock_drop_thresh) == (0.4999, pytest.approx(0.39992))
    assert rx.sync_lock_thresh == rx.sync_lock_drop_thresh == 0.311
    assert rx.lock_time == -1 and not rx.locked and rx.agc_gain_db == 0.0
    assert [MpskReceiverR(sps=s).m_out for s in (16.0, 16.5, 32.0)] == [6, 8, 8]
    assert [MpskReceiver(sps=s).m_out for s in (2.0, 5.0, 7.9, 8.0)] == [2, 4, 6, 8]
    MpskReceiverR(sps=16.5, m_out=8)


@pytest.mark.parametrize("cls,kw", [
    (MpskReceiverR, dict(sps=4.0)), (MpskReceiverR, dict(sps=16.0, m_out=8)), (MpskReceiver, dict(sps=1.5)),
    (MpskReceiver, dict(m=16)), (MpskReceiver, dict(m_out=3)), (MpskReceiver, dict(m_out=10, sps=20.0)),
    (MpskReceiver, dict(sps=4.0, m_out=8)), (MpskReceiver, dict(rrc_beta=1.5)), (MpskReceiver, dict(rrc_span=0)),
    (MpskReceiver, dict(num_phases=1)), (MpskReceiver, dict(num_phases=48)), (MpskReceiver, dict(zeta=-1.0)),
    (MpskReceiver, dict(bn_carrier=-0.1)), (MpskReceiver, dict(bn_timing=np.nan)), (MpskReceiver, dict(bn_carrier=1e155)),
    (MpskReceiver, dict(bn_agc_ratio=1.0)), (MpskReceiver, dict(sps=np.inf)),
    (MpskReceiver, dict(init_norm_freq=np.nan)),
    (BpskReceiver, dict(sample_rate_hz=1e3, symbol_rate_hz=100.0, carrier_freq_hz=500.0)),
    (BpskReceiver, dict(sample_rate_hz=0.0, symbol_rate_hz=100.0)),
])
def test_refuses(cls, kw):
    with pytest.raises(ValueError, match=INVALID):
        cls(**kw)


def test_names_and_repr():
    with pytest.raises(ValueError, match="^pulse must be one of \"iandd\", \"rrc\", got 'sinc'$"):
        MpskReceiver(pulse="sinc")
    rx = BpskReceiver(sample_rate_hz=48000.0, symbol_rate_hz=6000.0, carrier_freq_hz=1200.0)
    assert (rx.sps, rx.m, rx.norm_freq) == (8.0, 2, 0.025)
    assert repr(rx).startswith("BpskReceiver(sample_rate_hz=48000.0, symbol_rate_hz=6000.0, carrier_freq_hz=1200.0,")
    assert repr(MpskReceiver(m=8)).startswith("MpskReceiver(m=8, sps=8.0, m_out=8, pulse='iandd',")


@pytest.mark.parametrize("ppm", [0.0, 200.0, -200.0, 1000.0])
def test_timing_rate_reads_the_true_clock(ppm):
    rx = MpskReceiver(m=4, sps=8.0, pulse="rrc")
    rx.steps(clocked_qpsk(ppm))
    assert rx.timing_rate / (8.0 * (1 + ppm * 1e-6)) - 1 == pytest.approx(0.0, abs=5e-6)


def test_acquires_carrier_and_timing():
    _, sym, x = qpsk_signal()
    rx = MpskReceiver(m=4, sps=8.0, bn_carrier=0.05)
    y = np.concatenate([rx.steps(b) for b in np.array_split(x, 7)])
    assert rx.locked and 0 <= rx.lock_time < 500
    assert rx.norm_freq == pytest.approx(0.0005, abs=5e-5)
    assert symbol_errors(y, sym, rx.lock_time + 200, len(y) - rx.lock_time - 250) == 0
    assert rx.timing_rate == pytest.approx(8.0, abs=0.01)
    # Losing the carrier (noise alone) drops the lock but keeps the first lock time.
    first = rx.lock_time
    rx.steps(mpsk.awgn(np.zeros(8000, np.complex64) + 1e-3, -20.0, 8, np.random.default_rng(2)))
    assert not rx.locked and rx.lock_time == first


def test_real_if_at_quarter_rate():
    rng = np.random.default_rng(1)
    bb = mpsk.modulate(rng.integers(0, 2, 4800, dtype=np.uint8), 4, 32, pulse="iandd")
    x = np.real(bb * np.exp(2j * np.pi * 0.25 * np.arange(bb.size))).astype(np.float32)
    rx = MpskReceiverR(sps=32.0, m_out=8, init_norm_freq=0.25)
    y = rx.steps(x)
    assert abs(len(y) - 2398) <= 3 and rx.lock > 0.8 and rx.locked
    assert rx.norm_freq == pytest.approx(0.25, abs=1e-5)


@pytest.mark.parametrize("m,sps", [(2, 8.0), (4, 8.0), (8, 8.0), (8, 2.0)])
def test_bits_are_the_gray_demap_of_the_symbols(m, sps):
    _, _, x = qpsk_signal(n_sym=600, sps=int(sps), m=m, cfo=0.0, esn0_db=25.0)
    y = MpskReceiver(m=m, sps=sps).steps(x)
    bits = MpskReceiver(m=m, sps=sps).bits(x)  # m = 8 at sps 2: three bits per input, none lost
    np.testing.assert_array_equal(bits, demap(y, m))
    assert MpskReceiver(m=m, sps=sps).bits_max_out(len(x)) == {2: 1, 4: 2, 8: 3}[m] * len(x)


@pytest.mark.parametrize("m", [2, 4, 8])
def test_differential_bits_ignore_a_constellation_turn(m):
    _, _, x = qpsk_signal(n_sym=800, m=m, cfo=0.0, esn0_db=30.0)
    k = {2: 1, 4: 2, 8: 3}[m]
    ref = MpskReceiver(m=m, differential=1, bn_carrier=0.02).bits(x)
    for turn in range(1, m):
        got = MpskReceiver(m=m, differential=1, bn_carrier=0.02).bits((x * np.exp(2j * np.pi * turn / m)).astype(np.complex64))
        np.testing.assert_array_equal(got[k:], ref[k:])


def test_ber_within_a_third_of_a_db_of_theory():
    n_sym = 500_000
    rng = np.random.default_rng(5)
    bits = rng.integers(0, 2, 2 * n_sym, dtype=np.uint8)
    sym = mpsk.bits_to_symbols(bits, 4)
    x = mpsk.awgn(np.repeat(sym, 8), 6.0 + 3.0103, 8, rng)  # Eb/N0 6 dB
    rx = MpskReceiver(bn_carrier=0.005, bn_timing=0.001)
    y = rx.steps(x)
    start = 2000
    a = y[start:start + 4000]
    lag = max(range(-40, 41), key=lambda k: abs(np.vdot(sym[start + k:start + k + 4000], a)))
    ref = sym[start + lag:start + lag + len(y) - start - 100]
    got = y[start:start + len(ref)]
    turn = np.angle(np.vdot(got, ref))  # the receiver's quarter-turn ambiguity
    got = got * np.exp(1j * np.round(turn / (np.pi / 2)) * np.pi / 2)
    ber = np.mean(demap(got, 4) != demap(ref, 4))
    assert ber < mpsk.ber_theory(6.0 - 0.3, 4)
    assert ber > mpsk.ber_theory(6.0 + 0.3, 4)  # and no better than theory allows


def test_split_reset_and_state():
    _, _, x = qpsk_signal(n_sym=400)
    make = lambda: MpskReceiver(bn_carrier=0.05)
    whole = assert_split_invariant(make, lambda o, c: o.steps(c), x, trials=3)
    assert_split_invariant(make, lambda o, c: o.bits(c), x, trials=2)
    assert_state_roundtrip(make, lambda o, c: (o.steps(c), o.bits(c)), x)
    blobs = []
    for cuts in ([], [1, 999, 1000, 2500]):  # the running state too is split-invariant
        _, obj = run_split(make, lambda o, c: o.steps(c), x, cuts)
        blobs.append(obj.get_state())
    assert blobs[0] == blobs[1]
    rx = make()
    rx.steps(x)
    rx.reset()
    np.testing.assert_array_equal(rx.steps(x), whole)
    assert_header_rules(rx)
    blob = rx.get_state()
    assert blob[:8] == b"MPSK\x06\x00\x01\x00" and blob[-360:-352] == b"MRXL\x07\x00\x01\x00"
    assert blob[-280:-276] == b"RSLP" and blob[-64:-60] == b"LPFL"
    real = MpskReceiverR(sps=16.0)
    assert real.get_state()[:8] == b"MPSR\x02\x00\x01\x00"
    with pytest.raises(ValueError, match="rejected|mismatch"):
        real.set_state(blob)


# Loops-blob fields (offset from the loops blob's start, format, value) a restore refuses.
BAD_LOOPS = [(48, "<Q", 2), (56, "<Q", 4), (64, "<q", -2), (76, "<I", 2), (16, "<d", np.nan),
             (16, "<d", 1.0), (80 + 56, "<Q", 3), (296, "<I", 0), (296 + 32, "<d", 10.0), (40, "<Q", 2**62)]


def test_restore_refuses_bad_loop_fields():
    rx = MpskReceiver()
    rx.steps(qpsk_signal(n_sym=300)[2])
    good = rx.get_state()
    base = len(good) - 360
    for at, fmt, value in BAD_LOOPS:
        bad = bytearray(good)
        struct.pack_into(fmt, bad, base + at, value)
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            rx.set_state(bytes(bad))
        assert rx.get_state() == good, (at, value)


def test_telemetry_probes():
    _, _, x = qpsk_signal(n_sym=500)
    tlm = Telemetry(1 << 15)
    rx = MpskReceiver()
    rx.set_telemetry(tlm, "rx", 1)
    n = len(rx.steps(x))
    got = tlm.read_by_probe()
    names = {"rx.lock", "rx.car.e", "rx.car.freq", "rx.car.nco", "rx.car.locked", "rx.sym.i", "rx.sym.q",
             "rx.sync.e", "rx.sync.ctrl", "rx.sync.rate", "rx.sync.lock", "rx.sync.locked", "rx.sync.mu"}
    assert names <= set(got) and set(got) - names <= {"rx.agc.gain_db", "rx.agc.level_db"}
    assert all(len(got[k]) == n for k in names)
    assert {"rx.agc.gain_db", "rx.agc.level_db"} <= set(got)
    with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\)$"):
        MpskReceiver().set_telemetry(tlm, "p" * 27, 1)  # "<prefix>.sync.locked" would be cut
    rx.set_telemetry(None, "rx", 1)


def test_non_finite_samples_and_norm_freq():
    _, sym, x = qpsk_signal()
    x[6000:6100] = np.nan
    rx = MpskReceiver(bn_carrier=0.05)
    y = rx.steps(x)
    assert rx.locked and np.isfinite(rx.norm_freq)
    assert symbol_errors(y, sym, 1200, 1500) == 0
    assert len(MpskReceiver().bits(np.full(800, np.nan, np.complex64))) % 2 == 0
    rx.norm_freq = 0.001
    assert rx.norm_freq == 0.001
    with pytest.raises(ValueError, match="^norm_freq must be finite$"):
        rx.norm_freq = np.inf


def test_lifecycle():
    assert_lifecycle(MpskReceiver, calls=[("steps", (np.ones(4),)), ("bits", (np.ones(4),)),
                                          ("bits_max_out", (4,))])


def test_example_receives_a_capture(tmp_path, capsys):
    import pathlib
    import runpy

    path = pathlib.Path(__file__).parents[3] / "examples" / "receive_capture.py"
    rx, meter = runpy.run_path(str(path))["main"](str(tmp_path / "qpsk.sigmf-data"))
    assert "sigmf capture: 64000 samples" in capsys.readouterr().out
    assert rx.locked and 0 <= rx.lock_time < 1000
    assert rx.norm_freq * 1e6 == pytest.approx(1000.0, abs=20.0)
    assert meter.symbols > 6000 and meter.ser().p_hat < 2e-3  # theory 7e-5 at 12 dB
