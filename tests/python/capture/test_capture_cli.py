"""`veltra inspect`, `veltra convert` and `veltra psd`."""

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
                                  ["inspect", "{d}/bad.blue"], ["convert", "{d}/bad.blue", "{d}/o"],
                                  ["psd", "{d}/missing"], ["psd", "{d}/bad.blue"]])
def test_bad_files_give_one_line_and_status_1(tmp_path, capsys, argv):
    (tmp_path / "bad.blue").write_bytes(b"BLUE" + bytes(100))
    assert cli.main([a.format(d=tmp_path) for a in argv]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"veltra {argv[0]}: cannot open capture")


def test_psd_reports_floor_peaks_and_bandwidth_at_rf(tmp_path, capsys):
    fs, fc, n = 1e6, 4.33e8, 300_000  # several read blocks
    t = np.arange(n) / fs
    rng = np.random.default_rng(5)
    noise = 1e-3 * (rng.normal(size=n) + 1j * rng.normal(size=n))  # -57 dBFS in the band
    x = 0.5 * np.exp(2j * np.pi * 125e3 * t) + 0.01 * np.exp(-2j * np.pi * 200e3 * t) + noise
    p = str(tmp_path / "c.sigmf-data")
    with Writer(p, fs, file_type="sigmf", fc=fc) as w:
        w.write(x.astype(np.complex64))
    png = tmp_path / "psd.png"
    argv = ["psd", p, "--quiet"] + (["--plot", str(png)] if _has("matplotlib") else [])
    assert cli.main(argv) == 0
    out = capsys.readouterr().out
    lines = {line[:13].strip(): line[14:] for line in out.splitlines()}
    assert lines["frames"].startswith(f"{n // 1024} of 1024")
    floor = float(lines["noise floor"].split(" dBFS (")[1].split()[0])  # dBFS/Hz
    assert floor == pytest.approx(10 * np.log10(2e-6 / fs), abs=0.3)
    peaks = [line.split() for line in out.splitlines() if line.endswith("dBFS") and "Hz" in line]
    assert [round(float(p[-4])) for p in peaks] == pytest.approx([fc + 125e3, fc - 200e3], abs=fs / 1024 / 2)
    assert float(peaks[0][-2]) == pytest.approx(-6.0, abs=1.5)
    assert float(lines["occupied bw"].split()[0]) < 4 * fs / 1024  # the strong tone holds the power
    if _has("matplotlib"):
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.skipif(not __import__("importlib").util.find_spec("tqdm"), reason="tqdm not installed")
def test_long_files_show_progress_unless_quiet(tmp_path, capsys, monkeypatch):
    p = str(tmp_path / "long.raw")
    with Writer(p, 1e6) as w:
        w.write(np.zeros(11 << 16, np.complex64))
    monkeypatch.setattr("sys.stderr.isatty", lambda: True)
    for cmd in (["psd", p], ["convert", p, str(tmp_path / "o.raw")]):
        assert cli.main(cmd) == 0
        assert "samples" in capsys.readouterr().err
        assert cli.main(cmd + ["--quiet"]) == 0
        assert capsys.readouterr().err == ""


def _has(module):
    import importlib.util

    return importlib.util.find_spec(module) is not None


@pytest.mark.parametrize("cmd", ["inspect", "convert", "psd"])
def test_help(cmd, capsys):
    with pytest.raises(SystemExit) as e:
        cli.main([cmd, "--help"])
    assert e.value.code == 0 and "usage: veltra " + cmd in capsys.readouterr().out
