import gc
import subprocess
import sys

import numpy as np
import pytest

from veltra.agc import AGC
from veltra.telemetry import RECORD_DTYPE, Telemetry

from vxcheck import assert_lifecycle


def emit_stamped(tlm, probe, values, first_stamp=0):
    for i, v in enumerate(values):
        tlm.stamp = first_stamp + i
        tlm.emit(probe, v)


def test_record_layout():
    assert RECORD_DTYPE.itemsize == 16
    assert RECORD_DTYPE.names == ("stamp", "value", "probe")
    assert [RECORD_DTYPE.fields[n][1] for n in RECORD_DTYPE.names] == [0, 8, 12]
    tlm = Telemetry(4)
    tlm.emit(tlm.probe("p"), 1.5)
    raw = tlm.read().tobytes()
    assert raw == (np.int64(0).tobytes() + np.float32(1.5).tobytes() + b"\0\0\0\0")


def test_full_ring_keeps_the_oldest_and_counts_the_drop():
    tlm = Telemetry(3)
    p = tlm.probe("lock")
    emit_stamped(tlm, p, [10, 11, 12, 13], first_stamp=100)
    assert (tlm.available, tlm.dropped, tlm.emitted, tlm.capacity) == (3, 1, 3, 3)
    rec = tlm.read()
    assert rec.dtype == RECORD_DTYPE and rec.shape == (3,)
    np.testing.assert_array_equal(rec["stamp"], [100, 101, 102])
    np.testing.assert_array_equal(rec["value"], [10, 11, 12])
    np.testing.assert_array_equal(rec["probe"], [0, 0, 0])
    again = tlm.read()
    assert again.shape == (0,) and again.dtype == RECORD_DTYPE


def test_read_counts():
    tlm = Telemetry(16)
    tlm.emit(tlm.probe("x"), np.arange(6))
    assert tlm.read(0).shape == (0,)
    np.testing.assert_array_equal(tlm.read(2)["value"], [0, 1])
    np.testing.assert_array_equal(tlm.read(100)["value"], [2, 3, 4, 5])
    with pytest.raises(ValueError):
        tlm.read(-1)
    with pytest.raises(OverflowError):
        tlm.read(2 ** 70)


def test_read_count_that_reads_the_context_itself():
    tlm = Telemetry(8)
    tlm.emit(tlm.probe("x"), [1.0, 2.0, 3.0])

    class Sneaky:
        def __index__(self):
            tlm.read(2)
            return 3

    np.testing.assert_array_equal(tlm.read(Sneaky())["value"], [3.0])


def test_decimation():
    tlm = Telemetry(64)
    e = tlm.probe("e", decim=4)
    tlm.emit(e, np.arange(1, 13))
    np.testing.assert_array_equal(tlm.read()["value"], [1, 5, 9])
    assert tlm.probe("e", decim=2) == e  # same id, new decimation, phase restarted
    tlm.emit("e", [1, 2, 3, 4, 5])
    np.testing.assert_array_equal(tlm.read()["value"], [1, 3, 5])
    tlm.set_decim("e", 3)
    tlm.emit("e", [1, 2, 3, 4, 5])
    np.testing.assert_array_equal(tlm.read()["value"], [1, 4])
    assert tlm.emitted == 8


def test_probe_table_limits():
    tlm = Telemetry(8)
    with pytest.raises(ValueError, match="^probe name '" + "x" * 32 + "' is longer than 31 bytes$"):
        tlm.probe("x" * 32)
    with pytest.raises(ValueError, match="is longer than 31 bytes"):
        tlm.probe("é" * 16)  # 32 bytes of UTF-8
    for bad in (0, -1, 2 ** 31, 2 ** 64 + 1):
        with pytest.raises((ValueError, OverflowError), match="decim"):
            tlm.probe("d", decim=bad)
    with pytest.raises(TypeError):
        tlm.probe("d", decim=1.5)
    # An embedded NUL would cut the name and give two names one id.
    for call in (tlm.probe, tlm.probe_id):
        with pytest.raises(ValueError, match="^embedded null character$"):
            call("d\0x")
    assert tlm.probe_count == 0
    assert tlm.probe("y" * 31, decim=2 ** 31 - 1) == 0
    for i in range(1, 64):
        assert tlm.probe(f"p{i}") == i
    with pytest.raises(ValueError, match=r"^the probe table is full \(64 probes\)$"):
        tlm.probe("one_more")
    assert tlm.probe("p7") == 7
    assert tlm.probe_count == 64 and tlm.probe_names[63] == "p63"
    assert tlm.probe_id("p63") == 63
    with pytest.raises(KeyError):
        tlm.probe_id("p64")
    with pytest.raises(KeyError):
        tlm.emit(64, 1.0)
    with pytest.raises(KeyError):
        tlm.emit("nope", 1.0)
    with pytest.raises(KeyError):
        tlm.set_decim("nope", 2)
    with pytest.raises(ValueError, match="decim"):
        tlm.set_decim("p1", 0)


def test_emit_converts_any_real_input():
    tlm = Telemetry(32)
    p = tlm.probe("v")
    tlm.emit(p, np.array([[1.0, 2.0], [3.0, np.nan]]))  # float64, 2-D, C order
    tlm.emit(p, 7)
    tlm.emit(p, [])
    v = tlm.read()["value"]
    np.testing.assert_array_equal(v, np.array([1, 2, 3, np.nan, 7], np.float32))
    with pytest.raises(ValueError):
        tlm.emit(p, "text")


def test_split_and_read_by_probe():
    tlm = Telemetry(64)
    a, b, quiet = tlm.probe("a"), tlm.probe("b"), tlm.probe("quiet")
    for i in range(5):
        tlm.stamp = 10 * i
        tlm.emit(a, i)
        if i % 2:
            tlm.emit(b, -i)
    rec = tlm.read()
    parts = tlm.split(rec)
    assert list(parts) == ["a", "b", "quiet"]
    np.testing.assert_array_equal(parts["a"], [0, 1, 2, 3, 4])
    np.testing.assert_array_equal(parts["b"], [-1, -3])
    assert parts["quiet"].shape == (0,) and parts["quiet"].dtype == np.float32
    stamps, values = tlm.split(rec, with_stamps=True)["b"]
    np.testing.assert_array_equal(stamps, [10, 30])
    assert stamps.dtype == np.int64
    # Records in any list or array form convert; plain numbers do not.
    assert tlm.split([(0, 2.5, 1)])["b"].tolist() == [2.5]
    assert all(v.size == 0 for v in tlm.split(rec[:0]).values())
    with pytest.raises(TypeError):
        tlm.split(np.zeros(4))
    tlm.emit(b, [7, 8])
    assert tlm.read_by_probe(count=1)["b"].tolist() == [7]
    assert tlm.read_by_probe()["b"].tolist() == [8]
    assert Telemetry(4).read_by_probe() == {}


def test_resize():
    tlm = Telemetry(2)
    p = tlm.probe("x")
    tlm.emit(p, [1, 2, 3])
    tlm.resize(2)
    tlm.resize(1)
    assert (tlm.capacity, tlm.available, tlm.dropped) == (2, 2, 1)
    tlm.resize(1000)
    assert (tlm.capacity, tlm.available, tlm.dropped) == (1000, 0, 0)
    assert tlm.probe_names == ["x"]
    with pytest.raises(ValueError, match=r"^resize failed \(rc=-4\)$"):
        tlm.resize(2 ** 62)
    assert tlm.capacity == 1000
    with pytest.raises(ValueError, match="^capacity must be at least 1$"):
        tlm.resize(0)


@pytest.mark.parametrize("capacity", [0, -1, -(2 ** 70)])
def test_constructor_refuses_empty_rings(capacity):
    with pytest.raises((ValueError, OverflowError)):
        Telemetry(capacity)


def test_constructor_refuses_unmappable_rings():
    with pytest.raises(MemoryError, match="^vx_tlm_create returned NULL$"):
        Telemetry(2 ** 40)
    with pytest.raises(OverflowError):
        Telemetry(2 ** 64 + 5)  # never wrapped into a small capacity
    assert Telemetry().capacity == 65536


def test_capsule_and_stamp():
    tlm = Telemetry(4)
    cap = tlm.capsule
    assert type(cap).__name__ == "PyCapsule"
    assert "veltra.telemetry.vx_tlm" in repr(cap) and "veltra.telemetry.vx_tlm" in repr(tlm._capsule)
    tlm.stamp = -(2 ** 63)
    assert tlm.stamp == -(2 ** 63)
    tlm.emit(tlm.probe("s"), 0.0)
    assert tlm.read()["stamp"][0] == -(2 ** 63)


def test_attached_objects_outlive_their_context_safely():
    # Each way a context used to be freed under an attached object. The object keeps the
    # closed context allocated and its records are dropped; none reach a newer context.
    x = np.ones(256, np.complex64)
    t = Telemetry(64)
    a = AGC()
    a.set_telemetry(t, "agc")
    t.__init__(64)                      # rebuilt under the attachment
    a.steps(x)
    assert (t.available, t.probe_count) == (0, 0)

    class Holder:
        def __init__(self):
            self.tlm = Telemetry(64)

        @property
        def _capsule(self):
            return self.tlm.capsule

    h, b = Holder(), AGC()
    b.set_telemetry(h, "agc")
    h.tlm = Telemetry(64)               # the attached context's last Python reference goes
    b.steps(x)
    assert h.tlm.available == 0

    with Telemetry(64) as gone:
        cap = gone.capsule
    with pytest.raises(ValueError, match="^telemetry context is closed$"):
        AGC().set_telemetry(cap, "agc")
    a.set_telemetry(None, "agc")        # detaching from a closed context is fine
    b.destroy()


def test_set_telemetry_needs_no_python_reference():
    # The attachment holds the context itself: the Telemetry may go (its records with it),
    # and no hidden reference keeps anything alive, so a chain holding its own context is
    # collected with its ring (the mirror maps show as "vx_shm").
    def rings():
        with open("/proc/self/maps") as f:
            return sum("vx_shm" in line for line in f)

    class Chain:
        def __init__(self):
            self.tlm = Telemetry(4096)
            self.agc = AGC()
            self.agc.set_telemetry(self, "agc")  # through _capsule

        @property
        def _capsule(self):
            return self.tlm.capsule

    gc.collect()
    before = rings()
    for _ in range(50):
        Chain()
    gc.collect()
    assert rings() == before
    tlm, a = Telemetry(8), AGC()
    base = sys.getrefcount(tlm)
    a.set_telemetry(tlm, "agc")
    assert sys.getrefcount(tlm) == base
    del tlm
    a.steps(np.ones(64, np.complex64))


def test_read_survives_rebinding_the_record_dtype():
    # The module owns its record dtype; user code rebinding the attributes cannot free it.
    code = """if True:
        import gc, veltra._telemetry as native, veltra.telemetry as face
        native.RECORD_DTYPE = face.RECORD_DTYPE = None
        gc.collect()
        t = face.Telemetry(4)
        t.emit(t.probe("p"), [1.0, 2.0])
        print(t.read()["value"].tolist())
    """
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, "[1.0, 2.0]\n", "")


def test_lifecycle():
    assert_lifecycle(lambda: Telemetry(4),
                     calls=[("probe", ("x",)), ("read", ()), ("emit", (0, 1.0)),
                            ("split", ([],)), ("resize", (8,)), ("probe_id", ("x",))])


def test_example_script(capsys):
    import pathlib
    import runpy

    path = pathlib.Path(__file__).parents[3] / "examples" / "telemetry_monitor.py"
    es, e, fs, f = runpy.run_path(str(path))["main"]()
    assert "0 dropped" in capsys.readouterr().out
    # Drained while produced, nothing lost: every sample's error, every 50th frequency.
    np.testing.assert_array_equal(es, np.arange(20000))
    np.testing.assert_array_equal(fs, np.arange(0, 20000, 50))
    assert f[-1] == pytest.approx(0.013, abs=2e-4)
