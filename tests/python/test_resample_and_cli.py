import numpy as np
import pytest

import veltra
from veltra import cli


@pytest.mark.parametrize("rate", [0.5, 0.25, 1 / 64, 1 / 3, 0.37, 2.5])
def test_resample_keeps_an_in_band_tone(rate):
    n = 16384
    f = 0.05 * min(rate, 1.0)  # well inside the output band
    x = np.exp(2j * np.pi * f * np.arange(n))
    y = veltra.resample(x, rate)
    assert abs(len(y) - n * rate) <= 2
    tail = y[len(y) // 4:].astype(np.complex128)
    # CIC paths are uncompensated: 4th-order sinc droop at f/rate of the output band.
    droop = np.sinc(f / rate) ** 4 if rate <= 1 / 8 else 1.0
    assert np.allclose(np.abs(tail), droop, atol=0.01)
    # The tone comes out at f / rate cycles per output sample.
    step = np.angle(np.mean(tail[1:] * np.conj(tail[:-1]))) / (2 * np.pi)
    assert step == pytest.approx(f / rate, abs=1e-6)


def test_resample_real_and_bad_rates():
    y = veltra.resample_real(np.cos(2 * np.pi * 0.01 * np.arange(4000)), 0.5)
    assert y.dtype == np.float32 and y.shape == (2000,)
    assert np.max(np.abs(y[500:])) == pytest.approx(1.0, abs=0.01)
    with pytest.raises(TypeError):
        veltra.resample_real(np.ones(4, complex), 0.5)
    for bad in (0.0, -1.0, np.nan, np.inf):
        with pytest.raises(ValueError, match="rate must be positive"):
            veltra.resample(np.ones(8), bad)
    with pytest.raises(AttributeError):
        veltra.no_such_thing


@pytest.mark.parametrize("m", [2, 4, 8])
def test_demo_link_meets_theory(m):
    from veltra import demo

    r = demo.run(m=m, n_sym=6000)
    assert r["locked"] and 0 <= r["lock_time"] < 1000
    assert r["freq"] == pytest.approx(r["cfo"], abs=3e-5)
    assert r["timing_rate"] == pytest.approx(r["true_sps"], abs=2e-3)
    # Loop jitter costs a fraction of a dB: within 3x of the theory SER, never far better.
    assert r["ser_theory"] / 3 < r["ser"] < 3 * r["ser_theory"]


def test_demo_and_info_commands(capsys, tmp_path, monkeypatch):
    assert cli.main(["demo", "--quiet", "--symbols", "3000"]) == 0
    assert cli.main(["info"]) == 0
    out = capsys.readouterr().out
    assert "bit error rate" in out and "theory" in out and "SIMD level" in out
    png = tmp_path / "demo.png"
    if _has("matplotlib"):
        assert cli.main(["demo", "--quiet", "--symbols", "2000", "--plot", str(png)]) == 0
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    monkeypatch.setitem(__import__("sys").modules, "matplotlib", None)  # as if not installed
    assert cli.main(["demo", "--plot", str(png)]) == 2
    assert "pip install veltra[plot]" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        cli.main(["--version"])


def _has(module):
    import importlib.util

    return importlib.util.find_spec(module) is not None


def test_acquire_demo_hands_over_to_tracking(capsys):
    from veltra import demo

    a = demo.acquire()
    assert a["acquired"] and a["report"]["n_blocks"] == 1
    assert abs(a["report"]["residual_hz"] - a["true_hz"]) < a["report"]["bin_hz"]
    assert a["tracked_hz"] == pytest.approx(a["true_hz"], abs=0.5)
    assert 0 <= a["lock_time"] < 500 and a["symbols"] > 2900
    assert a["ber"] < 1e-3 and a["rms_error_rad"] < 0.3
    assert cli.main(["demo", "--acquire"]) == 0
    assert "acquired" in capsys.readouterr().out
