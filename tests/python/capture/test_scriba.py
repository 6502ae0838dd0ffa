"""The capture writer against independent oracles: a NumPy quantiser, struct, sigmf."""

import json
import os
import struct
import subprocess
import sys
import warnings

import numpy as np
import pytest
import sigmf

from veltra.scriba import Writer, write_blue_header

from capture_check import TYPES, expected, samples

def write(path, x, **kw):
    with Writer(path, kw.pop("fs", 1e6), **kw) as w:
        assert w.write(x) == len(x)
    return path


@pytest.mark.parametrize("endian", ["le", "be"])
@pytest.mark.parametrize("sample_type", TYPES)
def test_containers_hold_the_quantised_samples(tmp_path, sample_type, endian):
    x = samples()
    want = expected(x, sample_type)
    dtype = np.dtype(TYPES[sample_type][0]).newbyteorder("<" if endian == "le" else ">")
    raw = write(str(tmp_path / "c.raw"), x, sample_type=sample_type, endian=endian)
    blue = write(str(tmp_path / "c.blue"), x, file_type="blue", sample_type=sample_type, endian=endian)
    smf = write(str(tmp_path / "c.sigmf-data"), x, file_type="sigmf", sample_type=sample_type,
                endian=endian, fs=2.4e6, fc=1.2e9, t0=1.7e9 + 0.25)
    for got in (np.fromfile(raw, dtype), np.fromfile(blue, dtype, count=want.size, offset=512),
                np.fromfile(smf, dtype)):
        np.testing.assert_array_equal(got, want)
    # The official package accepts the recording and reads the same samples back.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rec = sigmf.sigmffile.fromfile(smf)
        rec.validate()
        back = rec.read_samples()
    elem, comps, scale = TYPES[sample_type]
    ref = want.astype(np.float64) / (scale or 1.0)
    if comps == 2:
        ref = ref[0::2] + 1j * ref[1::2]
    np.testing.assert_allclose(back, ref, rtol=1e-7, atol=0)


def hcb(path):
    """The header fields a reader uses, unpacked with struct in the header's byte order."""
    with open(path, "rb") as f:
        raw = f.read()
    o = ">" if raw[4:8] == b"IEEE" else "<"
    fields = dict(
        version=raw[0:4], head_rep=raw[4:8], data_rep=raw[8:12],
        detached=struct.unpack_from(o + "i", raw, 12)[0], pipe=struct.unpack_from(o + "i", raw, 20)[0],
        ext_start=struct.unpack_from(o + "i", raw, 24)[0], ext_size=struct.unpack_from(o + "i", raw, 28)[0],
        data_start=struct.unpack_from(o + "d", raw, 32)[0], data_size=struct.unpack_from(o + "d", raw, 40)[0],
        type=struct.unpack_from(o + "i", raw, 48)[0], format=raw[52:54],
        timecode=struct.unpack_from(o + "d", raw, 56)[0], keylength=struct.unpack_from(o + "i", raw, 160)[0],
        xdelta=struct.unpack_from(o + "d", raw, 264)[0], xunits=struct.unpack_from(o + "i", raw, 272)[0])
    fields["keytext"] = raw[164:164 + fields["keylength"]]
    ext = []
    at, end = fields["ext_start"] * 512, fields["ext_start"] * 512 + fields["ext_size"]
    while at + 8 <= end:
        lkey, lext, ltag, code = struct.unpack_from(o + "ihBc", raw, at)
        data = raw[at + 8:at + 8 + lkey - lext]
        ext.append((raw[at + 8 + lkey - lext:at + 8 + lkey - lext + ltag].decode(), code.decode(), data, lkey, lext))
        at += lkey
    fields["ext"] = ext
    return fields, raw, o


@pytest.mark.parametrize("endian, rep", [("le", b"EEEI"), ("be", b"IEEE")])
def test_blue_header_fields(tmp_path, endian, rep):
    p = str(tmp_path / "c.blue")
    with Writer(p, 2.4e6, file_type="blue", endian=endian, fc=1.2e9, t0=1.7e9, total=5) as w:
        assert hcb(p)[0]["pipe"] == 1  # not sealed while writing
        assert hcb(p)[0]["data_size"] == 40.0  # the expected total until close
        w.write(np.ones(1024, np.complex64))
        w.add_keyword("COMMENT", "A", "demo")
        w.add_keyword("CREATOR", "A", "veltra")
        w.add_keyword("GAINS", "I", [1, -2, 70000])
    h, raw, o = hcb(p)
    assert (h["version"], h["head_rep"], h["data_rep"]) == (b"BLUE", rep, rep)
    assert (h["data_start"], h["data_size"], h["type"], h["format"]) == (512.0, 8192.0, 1000, b"CF")
    assert h["xdelta"] == 1 / 2.4e6 and h["xunits"] == 1 and h["pipe"] == 0 and h["detached"] == 0
    assert h["timecode"] == 1.7e9 + 631152000
    assert h["keytext"] == b"FREQ=1200000000\x00CREATOR=veltra\x00" and h["keylength"] == 31
    # Extended keywords start at the first 512-byte boundary after the data.
    assert h["ext_start"] * 512 == 512 + 8192 and h["ext_size"] == len(raw) - (512 + 8192)
    tags = {t: (c, d, lkey, lext) for t, c, d, lkey, lext in h["ext"]}
    assert struct.unpack(o + "d", tags["FREQ"][1]) == (1.2e9,) and tags["FREQ"][0] == "D"
    assert tags["COMMENT"] == ("A", b"demo", 24, 20)
    assert struct.unpack(o + "3h", tags["GAINS"][1]) == (1, -2, 70000 - 65536)
    np.testing.assert_array_equal(np.fromfile(p, np.dtype("f4").newbyteorder(o), 2048, offset=512), [1, 0] * 1024)


def test_blue_without_fc_or_t0_and_header_patch_of_a_short_capture(tmp_path):
    p = str(tmp_path / "c.blue")
    write(p, np.zeros(3, np.complex64), file_type="blue", sample_type="i8", fs=0.0, total=1000)
    h, raw, _ = hcb(p)
    assert (h["keylength"], h["timecode"], h["xdelta"], h["ext_start"], h["ext_size"]) == (0, 0.0, 0.0, 0, 0)
    assert h["data_size"] == 3.0 and len(raw) == 515


@pytest.mark.parametrize("kw, fields", [
    (dict(sample_type="ci16", endian="be", total=100, detached=1, t0=0.0, fc=0.0),
     dict(head_rep=b"IEEE", format=b"CI", data_size=400.0, detached=1, timecode=0.0, keylength=0)),
    (dict(sample_type="f64", data_start=1024, fc=-5.5, t0=1.5),
     dict(head_rep=b"EEEI", format=b"SD", data_start=1024.0, keytext=b"FREQ=-5.5\x00", timecode=631152001.5)),
])
def test_write_blue_header(tmp_path, kw, fields):
    p = tmp_path / "cap.hdr"
    write_blue_header(p, 4e6, **kw)
    h = hcb(p)[0]
    assert os.path.getsize(p) == 512 and h["xdelta"] == 1 / 4e6 and h["pipe"] == 0
    assert {k: h[k] for k in fields} == fields


@pytest.mark.parametrize("call, exc, msg", [
    (lambda p: write_blue_header(p, 1.0, sample_type="cq"), ValueError,
     "invalid sample_type 'cq' (choices: cf32, cf64, ci32, ci16, ci8, f32, f64, i32, i16, i8)"),
    (lambda p: write_blue_header(p, 1.0, endian="mid"), ValueError, "invalid endian 'mid' (choices: le, be)"),
    (lambda p: write_blue_header(os.path.join(p, "no", "such"), 1.0), OSError, "write_blue_header failed (rc=-1)"),
    (lambda p: write_blue_header(os.path.join(p, "h"), float("nan")), OSError, "write_blue_header failed (rc=-1)"),
    (lambda p: Writer(p + "/c", 1.0, file_type="wav"), ValueError,
     "file_type must be one of \"raw\", \"csv\", \"blue\", \"sigmf\", got 'wav'"),
    (lambda p: Writer(p + "/c", 1.0, sample_type="cu8"), ValueError,
     "sample_type must be one of \"cf32\", \"cf64\", \"ci32\", \"ci16\", \"ci8\", \"f32\", \"f64\", \"i32\", "
     "\"i16\", \"i8\", got 'cu8'"),
    (lambda p: Writer(p + "/c", 1.0, endian="pdp"), ValueError, "endian must be one of \"le\", \"be\", got 'pdp'"),
    (lambda p: Writer(p + "/c.data", 1.0, file_type="sigmf"), OSError, "cannot open the capture for writing"),
    (lambda p: Writer(p + "/x/c", 1.0), OSError, "cannot open the capture for writing"),
    (lambda p: Writer(p + "/c", float("nan")), OSError, "cannot open the capture for writing"),
    (lambda p: Writer(p + "/c", -1.0), OSError, "cannot open the capture for writing"),
    (lambda p: Writer(p + "/c", 1.0, fc=float("inf")), OSError, "cannot open the capture for writing"),
    (lambda p: Writer(p + "/c", 1.0, t0=float("nan")), OSError, "cannot open the capture for writing"),
    (lambda p: Writer(p + "/c", 1.0, t0=1e12), OSError, "cannot open the capture for writing"),
    (lambda p: Writer(p + "/c", 2e12), OSError, "cannot open the capture for writing"),  # beyond SigMF's range
    (lambda p: Writer(p + "/c", 1.0, headroom=float("nan")), OSError, "cannot open the capture for writing"),
])
def test_refusals(tmp_path, call, exc, msg):
    with pytest.raises(exc) as e:
        call(str(tmp_path))
    assert str(e.value).startswith(msg)


def test_a_refused_create_leaves_an_existing_capture_alone(tmp_path):
    p = write(str(tmp_path / "c.sigmf-data"), np.ones(4, np.complex64), file_type="sigmf")
    for kw in (dict(fs=2e12), dict(fs=-1.0), dict(t0=float("nan")), dict(sample_type="cq")):
        with pytest.raises((OSError, ValueError)):
            Writer(p, **{"fs": 1.0, "file_type": "sigmf", **kw})
        assert os.path.getsize(p) == 32


def test_unbounded_values_are_fine_without_metadata(tmp_path):
    write(str(tmp_path / "c.blue"), np.zeros(2, np.complex64), file_type="blue", fs=2e12, fc=5e12)


@pytest.mark.parametrize("args, exc, msg", [
    (("T", "A", 5), TypeError, "value must be a str"),
    (("T", "D", "5"), TypeError, "value must be a number or a sequence"),
    (("T", "D", []), ValueError, "value sequence is empty"),
    (("T", "Q", 1), ValueError, "unsupported code 'Q'"),
    (("T", "A", "a\x00b"), ValueError, "add_keyword failed"),
    (("T" * 256, "L", 1), ValueError, "add_keyword failed"),
    (("", "L", 1), ValueError, "add_keyword failed"),
])
def test_add_keyword_refusals(tmp_path, args, exc, msg):
    with Writer(str(tmp_path / "c.blue"), 1.0, file_type="blue") as w:
        with pytest.raises(exc, match=msg):
            w.add_keyword(*args)
    with Writer(str(tmp_path / "c.raw"), 1.0) as w, pytest.raises(ValueError, match="add_keyword failed"):
        w.add_keyword("T", "L", 1)


def test_long_main_header_text_moves_to_the_extended_header(tmp_path):
    p = str(tmp_path / "c.blue")
    with Writer(p, 1.0, file_type="blue") as w:
        w.add_keyword("IO", "A", "x" * 60)
        w.add_keyword("VER", "A", "y" * 40)  # does not fit beside the first: extended
    h = hcb(p)[0]
    assert h["keytext"] == b"IO=" + b"x" * 60 + b"\x00"
    assert [(t, d) for t, _, d, _, _ in h["ext"]] == [("VER", b"y" * 40)]


@pytest.mark.parametrize("sample_type, headroom, x, clipped, peak_db, fraction", [
    ("ci16", 0.0, [1.2 + 0.1j] * 4, True, 20 * np.log10(np.float32(1.2)), 0.5),
    ("ci16", 2.0, [1.2 + 0.1j] * 4, False, 20 * np.log10(np.float32(1.2 * 10 ** -0.1)), 0.0),
    ("cf32", 0.0, [3.0 + 3j], False, 20 * np.log10(3.0), 0.0),
    ("i8", 0.0, [complex(np.nan, 0.0), 0.1], True, 20 * np.log10(np.float32(0.1)), 0.5),
    ("ci32", 0.0, [0.0j], False, -np.inf, 0.0),
])
def test_clipping_and_peak(tmp_path, sample_type, headroom, x, clipped, peak_db, fraction):
    for track in (False, True):
        with Writer(str(tmp_path / "c.raw"), 1.0, sample_type=sample_type, headroom=headroom) as w:
            assert w.clip_fraction == 0.0
            if track:
                w.track_clipping(1)
            w.write(np.asarray(x, np.complex64))
            assert w.clipped is clipped
            assert w.peak_dbfs == pytest.approx(peak_db, abs=1e-5)
            assert w.clip_fraction == (fraction if track else 0.0)


def meta(path):
    with open(path) as f:
        return json.load(f)


def test_sidecar_content(tmp_path):
    p = str(tmp_path / "capture.raw")
    write(p, np.zeros(4, np.complex64), fs=2.4e6, fc=1.2e9)
    m = meta(p + ".sigmf-meta")
    assert m["global"]["core:datatype"] == "cf32_le" and m["global"]["core:sample_rate"] == 2400000
    assert m["global"]["core:dataset"] == "capture.raw"
    assert m["captures"] == [{"core:sample_start": 0, "core:frequency": 1200000000}]
    write(p, np.zeros(4, np.complex64), fs=0.0, sample_type="i8", endian="be", t0=1.5)
    m = meta(p + ".sigmf-meta")
    assert "core:sample_rate" not in m["global"] and m["global"]["core:datatype"] == "ri8"
    assert m["captures"] == [{"core:sample_start": 0, "core:datetime": "1970-01-01T00:00:01.500000Z"}]
    q = str(tmp_path / "c.csv")
    write(q, np.zeros(1, np.complex64), file_type="csv", sidecar=False)
    assert not os.path.exists(q + ".sigmf-meta")
    write(q, np.zeros(1, np.complex64), file_type="blue")
    assert not os.path.exists(q + ".sigmf-meta")
    assert sorted(os.listdir(tmp_path)) == ["c.csv", "capture.raw", "capture.raw.sigmf-meta"]


@pytest.mark.parametrize("t0, stamp", [(-0.25, "1969-12-31T23:59:59.750000Z"),
                                       (1704067200.0000019, "2024-01-01T00:00:00.000001Z")])
def test_datetime_splits_with_floor(tmp_path, t0, stamp):
    p = str(tmp_path / "c.sigmf-data")
    write(p, np.zeros(1, np.complex64), file_type="sigmf", t0=t0)
    assert meta(str(tmp_path / "c.sigmf-meta"))["captures"][0]["core:datetime"] == stamp


def test_rewrite_replaces_metadata_from_create_onward(tmp_path):
    p = str(tmp_path / "c.sigmf-data")
    write(p, np.zeros(10, np.complex64), file_type="sigmf", fc=1e9)
    with Writer(p, 1e6, file_type="sigmf", sample_type="ci8") as w:
        m = meta(str(tmp_path / "c.sigmf-meta"))
        assert m["global"]["core:datatype"] == "ci8" and "core:frequency" not in m["captures"][0]
        w.write(np.zeros(2, np.complex64))
    assert sorted(os.listdir(tmp_path)) == ["c.sigmf-data", "c.sigmf-meta"]  # no temporary left


def test_csv_lines(tmp_path):
    x = np.array([0.5 + 0.25j, complex(-1.5, -0.0)], np.complex64)
    for sample_type, lines in [("cf32", ["0.500000000,0.250000000", "-1.500000000,-0.000000000"]),
                               ("f64", ["0.5", "-1.5"]),
                               ("ci8", ["64,32", "-128,0"]), ("i32", ["1073741824", "-2147483648"])]:
        p = str(tmp_path / "c.csv")
        write(p, x, file_type="csv", sample_type=sample_type)
        with open(p) as f:
            assert f.read().splitlines() == lines, sample_type


@pytest.mark.parametrize("kw", [dict(file_type="blue", sample_type="ci16", fc=1e3),
                                dict(file_type="csv", sample_type="cf32"),
                                dict(file_type="raw", sample_type="ci8", endian="be")])
def test_block_splits_give_identical_files(tmp_path, kw):
    x = samples(5000)
    whole = open(write(str(tmp_path / "a"), x, **kw), "rb").read()
    rng = np.random.default_rng(7)
    cuts = np.sort(rng.integers(0, len(x) + 1, size=6))
    with Writer(str(tmp_path / "b"), 1e6, **kw) as w:
        for part in np.split(x, cuts):
            w.write(part)
    assert open(str(tmp_path / "b"), "rb").read() == whole


def test_close_is_idempotent_and_later_calls_raise(tmp_path):
    w = Writer(tmp_path / "c.raw", 1.0)  # any os.PathLike
    assert repr(w).startswith("Writer(path='") and "file_type='raw'" in repr(w)
    w.destroy()
    w.close()
    assert repr(w) == "<Writer (destroyed)>"
    with pytest.raises(RuntimeError, match="destroyed"):
        w.write([0j])


# A failing write runs in a child process under a file-size limit.
FAILING_WRITE = """
import resource, signal, sys, numpy as np
from veltra.scriba import Writer
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
path, file_type, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
w = Writer(path, 1.0, file_type=file_type, sample_type="ci16", sidecar=False)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
n = w.write(np.full(100000, 0.25 + 0.5j, np.complex64))
errors = []
for call in (w.flush, w.close):
    try:
        call()
    except OSError as e:
        errors.append(str(e))
print(n, errors)
"""


@pytest.mark.parametrize("file_type, limit, landed, size", [
    ("raw", 4003, 1000, 4000), ("blue", 1003, 122, 1000), ("csv", 1003, 91, 1001)])
def test_a_failed_write_leaves_whole_samples(tmp_path, file_type, limit, landed, size):
    p = str(tmp_path / "c")
    out = subprocess.run([sys.executable, "-c", FAILING_WRITE, p, file_type, str(limit)],
                         capture_output=True, text=True, check=True).stdout
    n, errors = out.split(" ", 1)
    assert int(n) == landed and os.path.getsize(p) == size
    assert "flush failed (rc=-1)" in errors and "failed to finalise the capture" in errors
    if file_type == "blue":
        assert hcb(p)[0]["data_size"] == landed * 4.0  # the header still describes what landed
