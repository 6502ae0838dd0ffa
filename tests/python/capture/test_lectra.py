"""The capture reader: round trips through the writer, files built by other means, follow mode."""

import json
import os
import struct
import threading
import time

import numpy as np
import pytest
import sigmf

from veltra.interrupt import Interrupt
from veltra.wfm import Reader, Writer

from capture_check import TYPES, expected, samples

CONTAINERS = {"raw": "c.bin", "csv": "c.dat", "blue": "c.blue", "sigmf": "c.sigmf-data"}


def unit(x, sample_type):
    """What a reader returns for what the writer stored: unit scale, complex64."""
    elem, comps, scale = TYPES[sample_type]
    v = expected(x, sample_type).astype(np.float64)
    if scale:
        v = v * 2.0 ** -(8 * np.dtype(elem).itemsize - 1)
    v = v.astype(np.float32)
    return (v[0::2] + 1j * v[1::2] if comps == 2 else v + 0j).astype(np.complex64)


@pytest.mark.parametrize("container", CONTAINERS)
@pytest.mark.parametrize("sample_type", TYPES)
def test_round_trip_with_provenance(tmp_path, container, sample_type):
    x = samples(300)
    for endian in ("le", "be"):
        p = str(tmp_path / CONTAINERS[container])
        with Writer(p, 2.4e6, file_type=container, sample_type=sample_type, endian=endian,
                    fc=1.2e9, t0=1.7e9 + 0.25) as w:
            w.write(x)
        with Reader(p) as r:
            assert (r.file_type, r.sample_type, r.num_samples) == (container, sample_type, 300)
            assert r.mode == ("complex" if sample_type[0] == "c" else "scalar")
            y = r.read(1000)
            if container == "csv" and sample_type in ("cf32", "f32"):  # nine decimals in the text
                np.testing.assert_allclose(y, unit(x, sample_type), atol=6e-10)
            else:
                np.testing.assert_array_equal(y, unit(x, sample_type))
            want = {"blue": ("xdelta", "FREQ", "timecode")}.get(container, ("core:sample_rate", "core:frequency",
                                                                             "sigmf"))
            assert (r.fs_source, r.fc_source, r.t0_source) == want
            assert (r.fs, r.fc) == (2.4e6, 1.2e9)
            assert r.t0 == pytest.approx(1.7e9 + 0.25, abs=1e-6)
            if container != "csv" and sample_type not in ("ci8", "i8"):
                assert r.endian == endian


def test_a_recording_of_the_sigmf_package(tmp_path):
    data = (np.arange(64) * (1 - 1j)).astype(np.complex64) / 64
    p = str(tmp_path / "rec.sigmf-data")
    np.stack([data.real, data.imag], -1).astype("<f4").tofile(p)
    meta = sigmf.SigMFFile(data_file=p, global_info={"core:datatype": "cf32_le", "core:sample_rate": 48000})
    meta.add_capture(0, metadata={"core:frequency": 915e6, "core:datetime": "2024-01-01T00:00:00Z"})
    meta.tofile(str(tmp_path / "rec.sigmf-meta"))
    r = Reader(p)
    assert (r.fs, r.fc, r.t0, r.t0_source, r.num_samples) == (48000, 915e6, 1704067200, "sigmf", 64)
    np.testing.assert_array_equal(r.read(100), data)


def sigmf_pair(tmp_path, global_, capture):
    with open(tmp_path / "m.sigmf-meta", "w") as f:
        json.dump({"global": global_, "captures": [capture], "annotations": []}, f)
    (tmp_path / "m.sigmf-data").write_bytes(bytes(16))
    return str(tmp_path / "m.sigmf-data")


@pytest.mark.parametrize("stamp, t0", [
    ("2024-01-01T00:00:00Z", 1704067200.0), ("20240101t010203.5z", 1704070923.5),
    ("2024-01-01 00:00:00+01:30", 1704061800.0), ("2024-01-01T00:00:00,25-0100", 1704070800.25),
    ("1969-12-31T23:59:59.999999999Z", -1e-9), ("2024-01-01T00:00:00", None), ("2024-13-01T00:00:00Z", None),
    ("2024-01-01T00:00:00Z junk", None), ("2024-01-01T00:00:00+01:", None), ("2024-01-0100:00:00Z", None),
])
def test_datetime_stamps(tmp_path, stamp, t0):
    r = Reader(sigmf_pair(tmp_path, {"core:datatype": "cf32_le"}, {"core:sample_start": 0, "core:datetime": stamp}))
    if t0 is None:
        assert (r.t0, r.t0_source) == (0.0, "none")
    else:
        assert r.t0 == pytest.approx(t0, abs=1e-9) and r.t0_source == "sigmf"


@pytest.mark.parametrize("datatype", ["cu8", "ri16_xe", "cf16_le", "xf32", 5])
def test_unsupported_metadata_types_fail_the_open(tmp_path, datatype):
    with pytest.raises(ValueError, match="cannot open capture"):
        Reader(sigmf_pair(tmp_path, {"core:datatype": datatype}, {}))


def blue(tmp_path, name="h.blue", fmt=b"CF", rep=b"EEEI", data_start=512.0, data_size=16.0, type_=1000,
         keytext=b"", ext=b"", ext_start=0, payload=bytes(16), pipe=0, detached=0, xdelta=1e-3, truncate=None):
    """A BLUE file built with struct, field by field."""
    o = ">" if rep == b"IEEE" else "<"
    h = bytearray(512)
    h[0:12] = b"BLUE" + rep + rep
    struct.pack_into(o + "iiiii", h, 12, detached, 0, pipe, ext_start, len(ext))
    struct.pack_into(o + "dd", h, 32, data_start, data_size)
    struct.pack_into(o + "i", h, 48, type_)
    h[52:54] = fmt
    struct.pack_into(o + "i", h, 160, len(keytext))
    h[164:164 + len(keytext)] = keytext
    struct.pack_into(o + "di", h, 264, xdelta, 1)
    body = bytes(h) + payload
    if ext:
        body += bytes(ext_start * 512 - len(body)) + ext
    p = tmp_path / name
    p.write_bytes(body[:truncate])
    return str(p)


def entry(tag, code, data, o="<", lkey=None, lext=None):
    pad = -(len(tag) + len(data)) % 8
    lkey = 8 + len(data) + len(tag) + pad if lkey is None else lkey
    lext = lkey - len(data) if lext is None else lext
    return struct.pack(o + "ihBc", lkey, lext, len(tag), code) + data + tag + bytes(pad)


@pytest.mark.parametrize("kw", [
    dict(fmt=b"XF"), dict(fmt=b"CQ"), dict(type_=3000), dict(data_start=float("nan")), dict(data_start=-512.0),
    dict(data_start=512.5), dict(data_start=1e6), dict(data_size=float("inf")), dict(data_size=-8.0),
    dict(truncate=300),
])
def test_hostile_headers_are_refused(tmp_path, kw):
    with pytest.raises(ValueError, match="cannot open capture"):
        Reader(blue(tmp_path, **kw))


def test_keywords_fc_and_malformed_entries(tmp_path):
    ext = (entry(b"RF_FREQ", b"D", struct.pack("<d", 2e9)) + entry(b"GAIN", b"I", struct.pack("<2h", 3, -4)) +
           entry(b"BAD", b"L", b"1234", lext=4) + entry(b"LOST", b"A", b"x"))
    p = blue(tmp_path, keytext=b"FREQ=1e9 \x00EMPTY=\x00noequals\x00", ext=ext, ext_start=2, data_size=16.0)
    r = Reader(p)
    assert (r.fc, r.fc_source) == (1e9, "FREQ")  # the first tag with a usable value
    assert r.keywords == {"FREQ": "1e9 ", "EMPTY": "\x00", "RF_FREQ": 2e9, "GAIN": [3, -4]}
    assert r.header["format"] == "CF" and r.header["outbytes"] == [0.0] * 8 and r.header["ext_start"] == 2
    assert r.num_samples == 2 and len(r.read(10)) == 2  # the declared payload, not the keywords


@pytest.mark.parametrize("kw", [dict(keytext=b"X=1\x00"), dict(ext_start=1 << 20, ext=b""),
                                dict(ext=entry(b"T", b"D", bytes(8)) * 2, ext_start=2)])
def test_sizes_and_offsets_are_clamped(tmp_path, kw):
    p = blue(tmp_path, **kw)
    raw = bytearray(open(p, "rb").read())
    struct.pack_into("<i", raw, 160, 1 << 30)  # keylength far beyond its field
    open(p, "wb").write(raw)
    r = Reader(p)
    assert r.num_samples == 2


def test_scalar_big_endian_blue_and_detached_headers(tmp_path):
    payload = struct.pack(">4h", 16384, -32768, 1, 0)
    p = blue(tmp_path, fmt=b"SI", rep=b"IEEE", payload=payload, data_size=8.0)
    r = Reader(p)
    assert (r.mode, r.sample_type, r.endian) == ("scalar", "i16", "be")
    np.testing.assert_array_equal(r.read(4), np.array([0.5, -1.0, 2 ** -15, 0], np.complex64))
    assert not np.signbit(r.read(0).imag).any()
    blue(tmp_path, name="d.hdr", fmt=b"CB", data_start=0.0, data_size=4.0, payload=b"", detached=1)
    (tmp_path / "d.det").write_bytes(bytes([64, 192, 1, 2, 3]))
    for path in ("d.det", "d.hdr"):
        r = Reader(tmp_path / path)
        np.testing.assert_array_equal(r.read(9), [0.5 - 0.5j, 2 ** -7 + 2j * 2 ** -7])
    os.remove(tmp_path / "d.det")
    with pytest.raises(ValueError):
        Reader(tmp_path / "d.hdr")


def test_detection_by_content_and_sidecars(tmp_path):
    (tmp_path / "capture.dat").write_text("1.5, -0.5\n2,3\n")
    assert Reader(tmp_path / "capture.dat").file_type == "csv"
    assert Reader(blue(tmp_path, name="capture.csv")).file_type == "blue"
    p = str(tmp_path / "c.raw")
    with Writer(p, 2.4e6, sample_type="ci16", endian="be") as w:
        w.write(np.full(4, 0.5, np.complex64))
    r = Reader(p)
    assert (r.sample_type, r.endian, r.fs, r.num_samples) == ("ci16", "be", 2.4e6, 4)
    assert repr(r).startswith(f"Reader(path={p!r}, file_type='raw', sample_type='ci16', endian='be'")
    r = Reader(p, sample_type="cf32")  # a named hint wins over the sidecar
    assert (r.sample_type, r.num_samples) == ("cf32", 2)
    (tmp_path / "bare.raw").write_bytes(bytes(10))
    r = Reader(tmp_path / "bare.raw")
    assert (r.fs, r.fs_source, r.num_samples, r.trailing_bytes) == (0.0, "none", 1, 2)
    with pytest.raises(ValueError, match="seek_time: the capture declares no sample rate"):
        r.seek_time(0.0)
    r.seek(1)
    assert r.read(5).size == 0
    with pytest.raises(ValueError, match=r"seek: index is negative.*\(rc=-4\)"):
        r.seek(2)
    assert r.position == 1
    with pytest.raises(ValueError, match="sample_type must be one of \"auto\""):
        Reader(p, sample_type="cu8")
    with pytest.raises(ValueError, match="cannot open capture"):
        Reader(tmp_path / "missing")


def test_csv_seek_and_count(tmp_path):
    p = tmp_path / "s.csv"
    p.write_text("\n0,1\n2,3\n\n4,5\n" + "9" * 5000 + "\n6,7\n")  # an absurd line ends the samples
    r = Reader(p)
    assert r.num_samples == 3
    r.seek(2)
    assert r.read(9).tolist() == [4 + 5j]
    r.seek(1)
    assert r.read(1).tolist() == [2 + 3j]
    with pytest.raises(ValueError):
        r.seek(4)
    assert r.position == 2


def grow(path, blocks, n, pause, **kw):
    def run():
        with Writer(path, 1e3, **kw) as w:
            for k in range(blocks):
                w.write(np.full(n, (k + 1) / 8, np.complex64))
                w.flush()
                time.sleep(pause)
            if kw.get("file_type") == "blue":
                w.add_keyword("COMMENT", "A", "x" * 200)
    return threading.Thread(target=run)


@pytest.mark.parametrize("sample_type", ["cf32", "ci16"])
def test_a_lagging_follower_gets_exactly_the_samples_then_eof(tmp_path, sample_type):
    p = str(tmp_path / "f.blue")
    t = grow(p, 5, 301, 0.02, file_type="blue", sample_type=sample_type, fc=1e6, total=10 ** 6)
    t.start()
    while not os.path.exists(p) or os.path.getsize(p) < 512:
        time.sleep(0.005)
    r = Reader(p)
    r.follow_timeout_ms = 5000
    got = []
    while True:
        time.sleep(0.01)  # lag behind the writer
        y = r.read_follow(97)
        if y.size == 0:
            break
        got.append(y)
    t.join()
    assert r.ending == "eof"
    np.testing.assert_array_equal(np.concatenate(got).real, np.repeat(np.arange(1, 6) / 8, 301))


def test_follow_budgets_and_stop_requests(tmp_path):
    p = tmp_path / "f.raw"
    p.write_bytes(bytes(8))
    r = Reader(p)
    r.follow_timeout_ms = 250
    assert r.read_follow(4).size == 1
    t0 = time.monotonic()
    assert r.read_follow(4).size == 0 and r.ending == "timeout"
    assert 0.2 < time.monotonic() - t0 < 1.0
    r.follow_timeout_ms = 0  # unbounded, and no grace: a stop ends the wait at once
    with Interrupt(latency_ms=20) as guard:
        timer = threading.Timer(0.1, guard.interrupt)
        timer.start()
        t0 = time.monotonic()
        assert r.read_follow(4).size == 0 and r.ending == "interrupted"
        assert time.monotonic() - t0 < 0.5
        timer.join()
        guard.resume()


def test_csv_is_followed_in_whole_lines(tmp_path):
    p = tmp_path / "f.csv"
    p.write_text("1,2\n3,")
    r = Reader(p)
    r.follow_timeout_ms = 50
    assert r.read_follow(5).tolist() == [1 + 2j]
    assert r.read_follow(5).size == 0 and r.ending == "timeout"
    with open(p, "a") as f:
        f.write("4\n")
    assert r.read_follow(5).tolist() == [3 + 4j]
