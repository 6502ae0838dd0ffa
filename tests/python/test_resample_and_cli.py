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


def test_demo_figures_and_commands(capsys):
    d = cli.demo_downconvert()
    assert d["freq"] == pytest.approx(d["true_freq"], abs=1e-4)
    assert d["power_db"] == pytest.approx(d["true_power_db"], abs=0.2)
    assert d["snr_db"] == pytest.approx(d["true_snr_db"], abs=0.5)
    r = cli.demo_phase_loop()
    assert r["est_freq"] == pytest.approx(r["true_freq"], abs=1e-4) and r["lock_at"] < 300
    assert cli.main(["demo"]) == 0
    assert cli.main(["info"]) == 0
    out = capsys.readouterr().out
    assert "measured" in out and "SIMD level" in out
    with pytest.raises(SystemExit):
        cli.main(["--version"])


def test_acquire_demo_hands_over_to_tracking(capsys):
    a = cli.demo_acquire()
    assert a["acquired"] and a["report"]["n_blocks"] == 1
    assert abs(a["report"]["residual_hz"] - a["true_hz"]) < a["report"]["bin_hz"]
    assert a["tracked_hz"] == pytest.approx(a["true_hz"], abs=0.5)
    assert a["lock_at"] < 500 and a["ber"] < 1e-3
    assert cli.main(["demo", "--acquire"]) == 0
    assert "acquired" in capsys.readouterr().out
