"""`veltra inspect` and `veltra convert`."""

import numpy as np
import pytest
import sigmf

from veltra import cli
from veltra.wfm import Reader, Writer


def test_inspect_reports_values_with_provenance(tmp_path, capsys):
    p = str(tmp_path / "c.blue")
    with Writer(p, 2.4e6, file_type="blue", sample_type="ci16", fc=1.2e9, t0=1.7e9) as w:
        w.write(np.zeros(1200, np.complex64))
    assert cli.main(["inspect", p]) == 0
    lines = dict(line.split(None, 1) if not line.startswith(("sample", "byte", "start"))
                 else (line[:12].strip(), line[13:]) for line in capsys.readouterr().out.splitlines())
    assert lines["container"] == "blue" and lines["samples"] == "1200"
    assert lines["sample rate"] == "2400000 Hz (from xdelta)"
    assert lines["frequency"] == "1200000000 Hz (from FREQ)"
    assert lines["start time"] == "2023-11-14T22:13:20Z (from timecode)"
    assert lines["duration"] == "0.0005 s"


@pytest.mark.parametrize("src_kw, out_name, args, container", [
    (dict(file_type="blue", sample_type="ci16", endian="be"), "o.sigmf-data", ["--type", "ci8"], "sigmf"),
    (dict(file_type="sigmf", sample_type="cf64"), "o.txt", ["--container", "csv"], "csv"),
    (dict(file_type="raw", sample_type="i16"), "o.blue", ["--type", "f32"], "blue"),
])
def test_convert_between_containers(tmp_path, capsys, src_kw, out_name, args, container):
    src = str(tmp_path / ("s.sigmf-data" if src_kw["file_type"] == "sigmf" else "s.in"))
    x = (np.arange(200_000) % 7 / 8 - 0.25j).astype(np.complex64)  # several blocks
    with Writer(src, 1e6, fc=1e8, **src_kw) as w:
        w.write(x)
    out = str(tmp_path / out_name)
    assert cli.main(["convert", src, out] + args) == 0
    a, b = Reader(src), Reader(out)
    assert (b.file_type, b.num_samples, b.fs, b.fc) == (container, 200_000, 1e6, 1e8)
    np.testing.assert_allclose(b.read(300_000), a.read(300_000), atol=1 / 64)
    if container == "sigmf":
        sigmf.sigmffile.fromfile(out).validate()


@pytest.mark.parametrize("argv", [["inspect", "{d}/missing"], ["convert", "{d}/missing", "{d}/o"],
                                  ["inspect", "{d}/bad.blue"], ["convert", "{d}/bad.blue", "{d}/o"]])
def test_bad_files_give_one_line_and_status_1(tmp_path, capsys, argv):
    (tmp_path / "bad.blue").write_bytes(b"BLUE" + bytes(100))
    assert cli.main([a.format(d=tmp_path) for a in argv]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"veltra {argv[0]}: cannot open capture")


@pytest.mark.parametrize("cmd", ["inspect", "convert"])
def test_help(cmd, capsys):
    with pytest.raises(SystemExit) as e:
        cli.main([cmd, "--help"])
    assert e.value.code == 0 and "usage: veltra " + cmd in capsys.readouterr().out
