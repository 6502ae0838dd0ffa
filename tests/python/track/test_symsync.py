import struct

import numpy as np
import pytest
from scipy.signal import lfilter

from veltra.telemetry import Telemetry
from veltra.track import SymbolSync

from vxcheck import (assert_header_rules, assert_lifecycle, assert_split_invariant,
                     assert_state_roundtrip, run_split)


def bpsk_clock_offset(n_sym=5000, sps=4.004, esn0_db=20.0, seed=1):
    """x[n] = d[floor(n/sps)] plus white noise at Es/N0, through a 4-tap boxcar."""
    rng = np.random.default_rng(seed)
    d = rng.choice([-1.0, 1.0], n_sym)
    n = np.arange(int(n_sym * sps))
    x = d[np.minimum((n / sps).astype(int), n_sym - 1)].astype(complex)
    n0 = sps / 10 ** (esn0_db / 10)  # Es = sps for unit-amplitude samples
    x += np.sqrt(n0 / 2) * (rng.normal(size=n.size) + 1j * rng.normal(size=n.size))
    return d, lfilter(np.ones(4) / 4, 1, x).astype(np.complex64)


def decision_errors(y, d, start, count=3000):
    """Fewest sign errors over the lags and polarities the alignment can take."""
    dec = np.sign(y.real[start:start + count])
    return min(int(np.sum(dec != s * d[start + k:start + k + count]))
               for k in range(-4, 5) for s in (1, -1))


@pytest.mark.parametrize("ted", ["gardner", "dttl"])
@pytest.mark.parametrize("order", ["linear", "parabolic", "cubic"])
def test_tracks_a_clock_offset(ted, order):
    d, x = bpsk_clock_offset()
    sync = SymbolSync(sps=4, ted=ted, order=order)
    ys, rates = [], []
    for block in np.array_split(x, 250):
        ys.append(sync.steps(block))
        rates += [sync.rate] * len(ys[-1])
    y = np.concatenate(ys)
    assert abs(len(y) - 4998) <= 2
    assert decision_errors(y, d, 1000) == 0
    assert np.mean(rates[2000:]) == pytest.approx(4.004, abs=1e-3)
    assert sync.locked


def test_alternating_pattern_and_small_sps():
    x = np.repeat(np.tile([1.0, -1.0], 64), 4).astype(np.complex64)
    sync = SymbolSync(sps=4)
    y = sync.steps(x)
    assert len(y) == 127 and round(sync.rate, 1) == 4.0
    assert set(np.sign(y.real)) == {-1.0, 1.0}
    for sps in (0, 1):  # a zero increment never strobes
        assert SymbolSync(sps=sps).steps(x).size == 0


def test_lock_waits_for_a_full_block_of_looks():
    d, x = bpsk_clock_offset(n_sym=600, esn0_db=30)
    sync = SymbolSync(sps=4)
    first_locked = None
    produced = 0
    for i in range(len(x)):
        produced += len(sync.steps(x[i:i + 1]))
        if sync.locked and first_locked is None:
            first_locked = produced
    # One decision per 133 looks (n_up = 1): never earlier, and only on a block boundary.
    assert first_locked >= 133 and first_locked % 133 == 0


def blob_fields(blob):
    avgs, = struct.unpack_from("<Q", blob, 224)
    up, down, n_up, n_down, run, locked = struct.unpack_from("<ddIIIi", blob, 240)
    return avgs, up, down, n_up, n_down, run, locked


def test_lock_geometry():
    sync = SymbolSync()
    blob = sync.get_state()
    assert blob[:8] == b"SYNC\x05\x00\x01\x00" and len(blob) == 304 == sync.state_bytes()
    avgs, up, down, n_up, n_down, _, _ = blob_fields(blob)
    assert (avgs, n_up, n_down) == (133, 1, 8)
    assert up == down == pytest.approx(0.311, abs=5e-4)
    with pytest.raises(ValueError, match=r"^configure_lock failed \(rc=-4\)$"):
        sync.configure_lock(0.35, 10, 0.9, 0.9)
    for bad in [(0.35, 10, 0.0, 0.9), (0.35, 10, 1e-3, 1.0), (np.nan, 10, 1e-3, 0.9), (-1.0, 10, 1e-3, 0.9)]:
        with pytest.raises(ValueError, match=r"rc=-4"):
            sync.configure_lock(*bad)
    assert sync.get_state() == blob
    sync.configure_lock_raw(0, 0.5, 0.4, 0, 0)
    assert blob_fields(sync.get_state())[:5] == (1, 0.5, 0.4, 1, 1)
    sync.configure_lock_raw(2, 0.5, 0.4, 2**40, 3)  # counts saturate, never wrap to 0
    assert blob_fields(sync.get_state())[3] == 2**31 - 1


def test_lock_drops_only_after_n_down_decisions():
    d, x = bpsk_clock_offset(n_sym=1000, esn0_db=30)
    sync = SymbolSync(sps=4)
    sync.steps(x)
    assert sync.locked
    sync.configure_lock_raw(10, 0.5, 2.5, 1, 3)  # every statistic is now below the drop level
    assert sync.locked
    decisions = []
    for i in range(0, 200):
        if len(sync.steps(x[4 * i:4 * i + 4])):
            decisions.append(sync.locked)
    # 10 looks per decision, 3 decisions to drop: lock ends with the 30th look.
    assert decisions.index(False) in range(28, 31)


def test_reset_split_and_state():
    _, x = bpsk_clock_offset(n_sym=800)
    make = lambda: SymbolSync(sps=4, bn=0.02, ted="dttl", order="parabolic")
    run = lambda o, c: o.steps(c)
    whole = assert_split_invariant(make, run, x[:1200], trials=4)
    assert run_split(make, run, x, [7, 8, 1001])[1].get_state() == run_split(make, run, x, [])[1].get_state()
    assert_state_roundtrip(make, run, x)
    sync = make()
    sync.steps(x)
    assert_header_rules(sync)
    sync.reset()
    assert sync.rate == 4.0 and sync.timing_error == 0.0 and not sync.locked
    np.testing.assert_array_equal(sync.steps(x[:1200]), whole)
    # Construction parameters travel in the blob.
    other = SymbolSync(sps=8, order="linear")
    other.set_state(make().get_state())
    assert repr(other) == repr(make())


# (offset, format, value): fields that select a code path or count.
BAD_FIELDS = [(56, "<i", 3), (124, "<i", 2), (128, "<i", 7), (208, "<Q", 0), (200, "<Q", 500),
              (252, "<i", 2), (240, "<I", 0), (248, "<I", 1), (112, "<Q", 5), (64, "<d", np.nan),
              (160, "<d", 0.0), (152, "<d", -1.0)]


def test_restore_refuses_bad_fields():
    sync = SymbolSync()
    sync.steps(bpsk_clock_offset(n_sym=100)[1])
    good = sync.get_state()
    for at, fmt, value in BAD_FIELDS:
        bad = bytearray(good)
        struct.pack_into(fmt, bad, at + 16, value)
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            sync.set_state(bytes(bad))
        assert sync.get_state() == good, (at, value)


def test_bad_parameters_and_non_finite_samples():
    msg = r"^SymbolSync: invalid parameter \(need bn >= 0 and zeta > 0, both finite\)$"
    for kw in [dict(bn=-0.1), dict(bn=np.nan), dict(zeta=0.0), dict(zeta=np.inf), dict(bn=1e155)]:
        with pytest.raises(ValueError, match=msg):
            SymbolSync(**kw)
    with pytest.raises(ValueError, match="^order must be one of \"linear\", \"parabolic\", \"cubic\", got 'sinc'$"):
        SymbolSync(order="sinc")
    with pytest.raises(ValueError, match="^ted must be one of \"gardner\", \"dttl\", got 'mm'$"):
        SymbolSync(ted="mm")
    sync = SymbolSync()
    with pytest.raises(ValueError, match=r"^configure failed \(rc=-4\)$"):
        sync.configure(0.01, -1.0)
    with pytest.raises(ValueError, match="^bn must be >= 0 and finite$"):
        sync.bn = np.inf
    sync.bn = 0.02
    assert sync.bn == 0.02
    # A burst of NaN and huge samples: the loop holds, then tracks again.
    d, x = bpsk_clock_offset(n_sym=3000)
    x[4000:4040] = np.nan
    x[6000:6004] = 1e30
    y = sync.steps(x)
    assert sync.rate == pytest.approx(4.004, abs=0.02)
    assert decision_errors(y, d, 2000, count=900) == 0
    # A loud finite burst may throw the loop, but only within the strobe window.
    x[6000:6400] = 1e15
    sync.reset()
    sync.steps(x)
    assert 2.0 <= sync.rate <= 6.0


def test_telemetry_and_lifecycle():
    tlm = Telemetry(4096)
    sync = SymbolSync()
    sync.set_telemetry(tlm, "t", 1)
    n = len(sync.steps(bpsk_clock_offset(n_sym=200)[1]))
    got = tlm.read_by_probe()
    assert sorted(got) == ["t.e", "t.freq", "t.lock", "t.locked", "t.rate"]
    assert all(len(v) == n for v in got.values())
    assert got["t.rate"][-1] == pytest.approx(sync.rate, rel=1e-6)
    # The attachment is the object's own: it neither travels in a blob nor is lost to one.
    blob = sync.get_state()
    assert blob[288:304] == bytes(16)
    fresh = SymbolSync()
    fresh.set_state(blob)
    x = bpsk_clock_offset(n_sym=50)[1]
    fresh.steps(x)
    assert len(tlm.read()) == 0
    sync.set_state(blob)
    assert len(sync.steps(x)) == len(tlm.read_by_probe()["t.e"]) > 0
    with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\)$"):
        sync.set_telemetry(tlm, "x" * 40, 1)
    sync.set_telemetry(None, "t", 1)
    assert_lifecycle(SymbolSync, calls=[("steps", (np.ones(4),)), ("configure", (0.1, 0.7)),
                                        ("configure_lock_raw", (1, 0.1, 0.1, 1, 1))])
