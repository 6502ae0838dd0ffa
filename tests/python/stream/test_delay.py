import collections

import numpy as np
import pytest

from veltra.delay import DelayCf64
from vxcheck import assert_header_rules, assert_lifecycle, run_doctests
import veltra.delay


@pytest.mark.parametrize("taps", [0, 1, 3, 8, 13])
def test_matches_a_deque_over_random_pushes_and_snapshots(taps):
    rng = np.random.default_rng(taps)
    d = DelayCf64(taps)
    ref = collections.deque([0j] * taps, maxlen=taps)
    ops = rng.integers(0, 4, 20_000)
    vals = rng.normal(size=20_000) + 1j * rng.normal(size=20_000)
    for op, v in zip(ops, vals):
        if op == 0:
            d.push(v)
            ref.appendleft(v)
        elif op == 1:
            d.write(v)
            ref.appendleft(v)
        elif op == 2:
            got = d.push_ptr(v)
            ref.appendleft(v)
            assert got.tolist() == list(ref)
        else:
            k = int(rng.integers(0, taps + 3))
            assert d.ptr(k).tolist() == list(ref)[:k]
    assert d.ptr().tolist() == list(ref)


def test_reference_behaviour():
    d = DelayCf64(num_taps=3)
    assert (d.num_taps, d.capacity, d.state_bytes()) == (3, 4, 152)
    d.push(1 + 2j)
    d.push(x=3 + 4j)
    assert d.ptr().tolist() == [3 + 4j, 1 + 2j, 0j]
    blob = d.get_state()
    d.reset()
    assert d.ptr().tolist() == [0j, 0j, 0j]
    fresh = DelayCf64(3)
    fresh.set_state(blob)
    assert fresh.ptr().tolist() == [3 + 4j, 1 + 2j, 0j] and fresh.get_state() == blob
    assert d.ptr_max_out(10) == 3 and d.push_ptr_max_out() == 3
    assert DelayCf64().capacity == 1 and DelayCf64(0).ptr().shape == (0,)
    assert repr(DelayCf64(5)) == "DelayCf64(num_taps=5)"
    with pytest.raises(ValueError, match="count must be >= 0"):
        d.ptr(-1)


def test_out_buffers():
    d = DelayCf64(4)
    for v in range(6):
        d.push(v)
    buf = np.full(6, 9j)
    got = d.ptr(out=buf)
    assert got.base is buf and got.tolist() == [5, 4, 3, 2] and buf[4] == 9j
    with pytest.raises(ValueError, match="out has 3 elements, need >= 4"):
        d.push_ptr(1, out=np.zeros(3, np.complex128))
    with pytest.raises(TypeError, match="out must be a writable"):
        d.ptr(out=np.zeros(4, np.complex64))
    assert d.ptr(2, out=np.zeros(2, np.complex128)).tolist() == [5, 4]


def test_blobs_and_refusals():
    d = DelayCf64(5)
    for v in range(11):
        d.push(v)
    assert_header_rules(d)
    blob = bytearray(d.get_state())
    for head in (8, 2**63):
        blob[16:24] = head.to_bytes(8, "little")
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            d.set_state(bytes(blob))
    assert d.ptr().real.tolist() == [10, 9, 8, 7, 6]
    for n in (2**62, 2**64 - 1, -1):
        with pytest.raises(MemoryError, match="^delay_create returned NULL$"):
            DelayCf64(n)


def test_lifecycle_and_examples():
    assert_lifecycle(DelayCf64, calls=[("push", (1,)), ("ptr", ()), ("push_ptr", (1,)), ("write", (1,))])
    run_doctests(veltra.delay, min_examples=8)
