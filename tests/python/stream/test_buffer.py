import threading
import time

import numpy as np
import pytest

from veltra.buffer import F32Buffer, F64Buffer, I16Buffer
from veltra.interrupt import Interrupt
from vxcheck import assert_lifecycle

IQ = np.dtype([("i", "<i2"), ("q", "<i2")])
CLASSES = {F32Buffer: np.complex64, F64Buffer: np.complex128, I16Buffer: IQ}


def samples(dtype, start, n):
    k = np.arange(start, start + n)
    if dtype == IQ:
        out = np.zeros(n, IQ)
        out["i"], out["q"] = k % 30000, -(k % 20000)
        return out
    return (k + 1j * -k).astype(dtype)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_write_wait_consume(cls):
    dt = CLASSES[cls]
    b = cls(1024)
    assert b.write(samples(dt, 0, 1024)) and b.available == 1024 and b.space == 0
    assert not b.write(samples(dt, 0, 1)) and b.dropped == 1
    v = b.wait(1000)
    assert v.dtype == dt and not v.flags.writeable and v.shape == (1000,)
    np.testing.assert_array_equal(v, samples(dt, 0, 1000))
    b.consume()
    with pytest.raises(RuntimeError, match="^consume\\(\\) has no outstanding borrow"):
        b.consume()
    # A view across the physical end of the ring reads in order.
    assert b.write(samples(dt, 1024, 900))
    np.testing.assert_array_equal(b.wait(924), samples(dt, 1000, 924))
    with pytest.raises(ValueError, match=r"^consume\(n\): n exceeds the samples available; nothing was released \(rc=-4\)$"):
        b.consume(925)
    assert b.available == 924
    with pytest.raises(ValueError, match="^wait\\(1025\\) can never be satisfied: the ring holds 1024$"):
        b.wait(1025)
    with pytest.raises(ValueError, match="^peek\\(2000\\) can never be satisfied"):
        b.peek(2000)
    assert repr(b) == f"{cls.__name__}(capacity=1024)"


def test_peek_close_and_reset():
    b = F32Buffer(16)
    assert b.peek(4) is None
    b.write(np.arange(8, dtype=np.complex64))
    assert b.peek(4).shape == (4,)
    b.consume(2)
    assert b.available == 6
    b.close()
    b.close()
    assert b.closed and b.peek(6).shape == (6,)
    for call in (lambda: b.peek(8), lambda: b.wait(8)):
        with pytest.raises(EOFError, match="^end of stream: the producer closed the ring$"):
            call()
    b.write(np.zeros(3, np.complex64))
    b.reset()
    assert (b.available, b.closed, b.dropped) == (0, False, 0)
    assert not b.write(np.zeros(20, np.complex64)) and b.dropped == 20
    b.reset()
    assert b.dropped == 20


def test_write_some_delivers_everything():
    b = F64Buffer(1000)
    x = samples(np.complex128, 0, 3000)
    got, at = [], 0
    while at < len(x):
        at += b.write_some(x[at:])
        got.append(b.wait(b.available).copy())
        b.consume()
    np.testing.assert_array_equal(np.concatenate(got), x)
    assert b.dropped == 0 and b.write_some(x[:0]) == 0


def test_input_checks():
    b = I16Buffer(64)
    for bad in (np.zeros(8, np.int16), np.zeros((4, 2), np.int16), [1, 2]):
        with pytest.raises(TypeError, match="^x must be an array of the declared record dtype"):
            b.write(bad)
    assert b.write(np.zeros(8, np.int16).view(IQ))
    f = F32Buffer(64)
    with pytest.raises(TypeError, match=r"^x must be an ndarray of dtype np.complex64 \(got"):
        f.write(np.zeros(4, np.complex128))
    with pytest.raises(TypeError, match=r"^x must be an ndarray of dtype np.complex128"):
        F64Buffer(4).write_some(np.zeros(4, np.complex64))
    with pytest.raises(ValueError, match=r"^x must be a 1-D C-contiguous array \(got 2-D\)$"):
        f.write(np.zeros((2, 2), np.complex64))
    with pytest.raises(ValueError, match=r"^x must be a 1-D C-contiguous array \(got 1-D, not contiguous\)$"):
        f.write(np.zeros(8, np.complex64)[::2])
    for cap in (0, 2**63 + 1, -1):
        with pytest.raises(ValueError, match="^capacity must be at least 1, and small enough to map$"):
            F32Buffer(cap)


def test_views_outlive_destroy():
    b = F32Buffer(32)
    b.write(np.arange(32, dtype=np.complex64))
    v = b.wait(32)
    with b:
        pass
    assert v[31] == 31  # the mapping is still there
    with pytest.raises(RuntimeError, match="^destroyed$"):
        b.wait(1)
    assert_lifecycle(lambda: F32Buffer(8), calls=[("wait", (1,)), ("peek", (1,)), ("consume", (1,)),
                                                   ("write", (np.zeros(1, np.complex64),)), ("close", ())])


def test_threads_and_interrupts():
    b = F32Buffer(4096)
    total, block = 200_000, 1000
    x = samples(np.complex64, 0, total)

    def produce():
        for at in range(0, total, block):
            while not b.write(x[at:at + block]):
                time.sleep(0)
        b.close()

    t = threading.Thread(target=produce)
    t.start()
    got = []
    with pytest.raises(EOFError):
        while True:
            got.append(b.wait(700).copy())
            b.consume()
    t.join()
    rest = b.wait(b.available)
    np.testing.assert_array_equal(np.concatenate(got + [rest]), x)

    # destroy() and reset() refuse while another thread waits; an interrupt ends the wait.
    c = F32Buffer(8)
    with Interrupt(signals=(), latency_ms=10) as g:
        errors = []

        def consumer():
            try:
                c.wait(4)
            except KeyboardInterrupt as e:
                errors.append(str(e))

        th = threading.Thread(target=consumer)
        th.start()
        time.sleep(0.05)
        for call in (c.destroy, c.reset, lambda: c.consume(1), lambda: c.peek(1)):
            with pytest.raises(RuntimeError, match="in use"):
                call()
        assert c.space == 8  # the producer side goes on
        t0 = time.monotonic()
        g.interrupt()
        th.join()
        assert errors == ["interrupted"] and time.monotonic() - t0 < 0.5
        with pytest.raises(KeyboardInterrupt, match="^interrupted$"):
            c.peek(1)
        g.resume()
