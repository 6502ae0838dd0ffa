import struct

import numpy as np
import pytest

from veltra.telemetry import Telemetry
from veltra.track import RateSync

from track.timing_signals import clocked_qpsk, qpsk, rrc_shaped, symbol_errors
from vxcheck import (assert_header_rules, assert_lifecycle, assert_split_invariant,
                     assert_state_roundtrip, run_split)

SPS = 17.33389


@pytest.fixture(scope="module")
def rrc_qpsk():
    sym = qpsk(2000, seed=3)
    return sym, rrc_shaped(sym, SPS).astype(np.complex64)


@pytest.mark.parametrize("ted,m", [("gardner", 2), ("dttl", 2), ("gardner", 4)])
def test_recovers_rrc_qpsk_at_a_fractional_rate(rrc_qpsk, ted, m):
    sym, x = rrc_qpsk
    sync = RateSync(sps=SPS, m=m, ted=ted)
    y = np.concatenate([sync.steps(b) for b in np.array_split(x, 37)])
    assert len(y) >= 1900  # less the filter fill and span
    assert symbol_errors(y, sym, 500, 1400) == 0
    assert sync.rate == pytest.approx(SPS, abs=0.01)
    assert np.mean(np.abs(y[500:])) == pytest.approx(1.0, abs=0.05)  # unit-peak matched filter
    assert sync.locked


@pytest.mark.parametrize("ppm", [0.0, 200.0, -200.0, 1000.0])
def test_rate_reads_the_true_clock(ppm):
    sync = RateSync(sps=8.0)  # m = 2: two halfbands ahead of the terminal stage
    sync.steps(clocked_qpsk(ppm))
    assert sync.rate / (8.0 * (1 + ppm * 1e-6)) - 1 == pytest.approx(0.0, abs=5e-6)


def iandd_stream(n=3000, amp=0.25, seed=0):
    d = np.random.default_rng(seed).choice([-1.0, 1.0], n)
    return (amp * np.repeat(d, 8)).astype(np.complex64)


def test_lock_reconfiguration_and_reset():
    x = iandd_stream()
    sync = RateSync(sps=8.0, pulse="iandd", m=4, bn=0.01)
    first = sync.steps(x)
    assert round(sync.rate, 1) == 8.0 and sync.lock_stat > 0.55 and sync.locked
    sync.configure(0.002, 0.707)
    assert sync.locked and sync.bn == 0.002
    sync.configure_lock_raw(64, 0.5, 0.4, 2, 4)
    assert not sync.locked and sync.lock_stat == 0.0
    sync.reset()
    assert sync.ctrl == 0.0 and not sync.locked
    sync.configure(0.01, 0.707)
    sync.configure_lock_raw(133, 0.311, 0.311, 1, 8)
    np.testing.assert_array_equal(sync.steps(x), first)


MSG = (r"^RateSync: invalid parameter \(need sps >= m, 0 <= beta <= 1, span >= 1, m even in \[2, 8\], "
       r"num_phases a power of two >= 2, bn >= 0, zeta > 0\)$")


@pytest.mark.parametrize("kw", [dict(sps=1.5), dict(m=3), dict(m=10, sps=20.0), dict(num_phases=1000),
                                dict(beta=1.5), dict(span=0), dict(bn=-0.1), dict(zeta=0.0),
                                dict(sps=np.nan), dict(bn=np.inf), dict(bn=1e155), dict(num_phases=1 << 20)])
def test_refuses_bad_parameters(kw):
    with pytest.raises(ValueError, match=MSG):
        RateSync(**kw)


def test_refuses_bad_names_and_loop_values():
    with pytest.raises(ValueError, match="^pulse must be one of \"iandd\", \"rrc\", got 'gauss'$"):
        RateSync(pulse="gauss")
    with pytest.raises(ValueError, match="^ted must be one of \"gardner\", \"dttl\", got 'x'$"):
        RateSync(ted="x")
    sync = RateSync()
    with pytest.raises(ValueError, match=r"^configure failed \(rc=-4\)$"):
        sync.configure(-1.0, 0.7)
    with pytest.raises(ValueError, match="^bn must be >= 0 and finite$"):
        sync.bn = np.nan
    assert sync.bn == 0.01


def test_split_state_and_blob_layout(rrc_qpsk):
    x = rrc_qpsk[1][:9000]
    make = lambda: RateSync(sps=SPS, m=4, ted="dttl")
    run = lambda o, c: o.steps(c)
    assert_split_invariant(make, run, x[:3000], trials=3)
    assert run_split(make, run, x, [5, 2000])[1].get_state() == run_split(make, run, x, [])[1].get_state()
    assert_state_roundtrip(make, run, x, cut=5001)
    sync = make()
    sync.steps(x)
    assert_header_rules(sync)
    blob = sync.get_state()
    assert blob[:8] == b"RATS\x02\x00\x01\x00" and struct.unpack_from("<I", blob, 8)[0] == len(blob)
    loop = blob[-216:]
    assert loop[:12] == b"RSLP\x02\x00\x01\x00\xd8\x00\x00\x00" and loop[152:156] == b"LPFL"
    assert blob[16:20] == b"RCVT"


# Loop-blob fields (offset in the loop blob, format, value) a restore must refuse.
BAD_LOOP = [(56, "<Q", 2), (80, "<Q", 4), (64, "<Q", 10**9), (148, "<I", 2), (16, "<d", np.nan),
            (16, "<d", 1e9), (152, "<I", 0), (184, "<d", -1.0)]


def test_restore_checks_every_part_first(rrc_qpsk):
    sync = RateSync(sps=SPS, m=4)
    sync.steps(rrc_qpsk[1][:4000])
    good = sync.get_state()
    base = len(good) - 216
    bad_blobs = []
    for at, fmt, value in BAD_LOOP:
        bad = bytearray(good)
        struct.pack_into(fmt, bad, base + at, value)
        bad_blobs.append(bad)
    bad = bytearray(good)
    bad[16] ^= 1  # the converter's own magic
    bad_blobs.append(bad)
    for bad in bad_blobs:
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            sync.set_state(bytes(bad))
        assert sync.get_state() == good


def test_non_finite_burst_and_telemetry(rrc_qpsk):
    sym, x = rrc_qpsk
    x = x.copy()
    x[8000:8100] = np.nan
    x[12000:12010] = 1e30
    sync = RateSync(sps=SPS, m=2)
    tlm = Telemetry(1 << 14)
    sync.set_telemetry(tlm, "rs", 1)
    y = sync.steps(x)
    assert symbol_errors(y, sym, 1200, 700) == 0
    assert sync.rate == pytest.approx(SPS, abs=0.02) and np.isfinite(sync.ctrl)
    got = tlm.read_by_probe()
    assert sorted(got) == ["rs.ctrl", "rs.e", "rs.lock", "rs.locked", "rs.mu", "rs.rate"]
    assert all(len(v) == len(y) for v in got.values())
    assert np.all((got["rs.mu"] >= 0) & (got["rs.mu"] < 1))


def test_lifecycle_and_repr():
    assert repr(RateSync(m=4, sps=9.5)) == ("RateSync(sps=9.5, pulse='rrc', beta=0.35, span=8, m=4, "
                                            "num_phases=1024, bn=0.01, zeta=0.707, ted='gardner')")
    assert_lifecycle(RateSync, calls=[("steps", (np.ones(4),)), ("configure", (0.1, 0.7)),
                                      ("configure_lock_raw", (1, 0.1, 0.1, 1, 1))])
