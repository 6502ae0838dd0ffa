"""Composer and Segment: timeline, drawn values, SNR conventions, annotated SigMF."""

import json
import warnings

import numpy as np
import pytest
import sigmf

from veltra.wfm import Composer, Reader, Segment

KINDS = {"tone": {}, "noise": {}, "pn": {}, "bpsk": {}, "qpsk": {}, "chirp": dict(f1_hz=0.2),
         "bits": dict(bits=[1, 0, 1]), "symbols": dict(symbols=[1j, -1]), "dsss": dict(symbol_rate=0.01)}


@pytest.mark.parametrize("kind", KINDS)
def test_every_kind_composes_and_instances_rederive_alone(kind):
    seg = Segment(kind, num_samples=300, num_samples_hi=500, gap_before=3, gap_after_hi=40, instances=4,
                  freq_hz=0.01, freq_hi=0.05, snr=12.0, snr_hi=20.0, level_db=-3, seed=9, sps=4,
                  ppm=2.0, ppm_hi=5.0, carrier_hz=1e4, lifetime="persist", **KINDS[kind])
    c = Composer([Segment("tone", num_samples=10), seg])
    y = c.compose()
    assert y.dtype == np.complex64 and y.size == c.num_samples
    spans = [s for s in c.spans if s.segment == 1]
    assert len(spans) == 4 and len({s.num_samples for s in spans}) > 1  # drawn per instance
    for s in spans:
        a = s.start + s.gap_before
        np.testing.assert_array_equal(c.instance(1, s.instance), y[a:a + s.num_samples])
        assert not y[s.start:a].any()


@pytest.mark.parametrize("kind, mode, per", [
    ("tone", "fs", 1.0), ("qpsk", "esno", 8.0), ("qpsk", "ebno", 4.0), ("bpsk", "auto", 8.0),
    ("dsss", "ebno", 100.0),
])
def test_noise_matches_the_requested_snr(kind, mode, per):
    extra = KINDS[kind] if kind != "dsss" else dict(symbol_rate=0.01)
    kw = dict(num_samples=100_000, sps=8, level_db=-6.0, seed=4, **extra)
    clean = Composer([Segment(kind, **kw)]).compose()
    noisy = Composer([Segment(kind, snr=10.0, snr_mode=mode, **kw)]).compose()
    noise = np.mean(np.abs(noisy.astype(complex) - clean) ** 2)
    signal = np.mean(np.abs(clean.astype(complex)) ** 2)
    measured = 10 * np.log10(signal / noise * per)  # back in the mode's unit
    assert measured == pytest.approx(10.0, abs=0.2)


def test_rrc_pulse_at_an_offset_symbol_clock():
    from veltra import mpsk

    sym = mpsk.bits_to_symbols(np.random.default_rng(2).integers(0, 2, 4000), 4)
    kw = dict(symbols=sym, sps=8, pulse="rrc", rrc_beta=0.25, rrc_span=6, clock_ppm=-5000.0, num_samples=15920)
    clean = Composer([Segment("symbols", **kw)]).compose()
    np.testing.assert_allclose(clean, mpsk.shape(sym, 8 * 0.995, 0.25, 6, num_samples=15920), atol=1e-6)
    noisy = Composer([Segment("symbols", snr=10.0, snr_mode="esno", **kw)]).compose()
    es_n0 = np.mean(np.abs(clean) ** 2) * 8 * 0.995 / np.mean(np.abs(noisy.astype(complex) - clean) ** 2)
    assert 10 * np.log10(es_n0) == pytest.approx(10.0, abs=0.2)


def test_written_recording_validates_and_reads_back(tmp_path):
    c = Composer([Segment("bpsk", fs=8000.0, freq_hz=1000.0, num_samples=256, gap_after=64, instances=3,
                          snr=15.0, ppm=1.0, carrier_hz=1e9),
                  Segment("chirp", fs=8000.0, freq_hz=-500.0, f1_hz=700.0, num_samples=128)])
    p = str(tmp_path / "syn.sigmf-data")
    assert c.write(p, fc=1e9, t0=1.7e9) == c.num_samples
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rec = sigmf.sigmffile.fromfile(p)
        rec.validate()
    np.testing.assert_array_equal(Reader(p).read(10 ** 6), c.compose())
    meta = json.load(open(tmp_path / "syn.sigmf-meta"))
    anns = meta["annotations"]
    assert [a["core:label"] for a in anns] == ["bpsk"] * 3 + ["chirp"]
    assert [a["core:sample_start"] for a in anns] == [0, 320, 640, 960]
    assert (anns[0]["core:freq_lower_edge"], anns[0]["core:freq_upper_edge"]) == (1e9 + 500, 1e9 + 1500)
    assert (anns[3]["core:freq_lower_edge"], anns[3]["core:freq_upper_edge"]) == (1e9 - 500, 1e9 + 700)
    assert anns[0]["formix:veltra_lifetime"] == "per_instance"
    assert meta["global"]["core:extensions"] == [{"name": "formix", "version": "1.0.0", "optional": True}]


@pytest.mark.parametrize("args, kw, exc, msg", [
    (("square",), {}, ValueError, "kind must be one of"),
    (("chirp",), {}, ValueError, "segment kind 'chirp' needs the keyword 'f1_hz'"),
    (("bits",), {}, ValueError, "segment kind 'bits' needs the keyword 'bits'"),
    (("dsss",), {}, ValueError, "segment kind 'dsss' needs the keyword 'symbol_rate'"),
    (("tone",), dict(colour=1), TypeError, "unexpected keyword argument 'colour'"),
    (("tone",), dict(snr_mode="db"), ValueError, "snr_mode must be one of"),
    (("tone",), dict(instances=1 << 25), ValueError, "instances must be <="),
    (("tone",), dict(num_samples=-1), ValueError, "num_samples must be a non-negative int"),
    (("tone",), dict(num_samples=10, num_samples_hi=5), ValueError, "num_samples_hi must be >= num_samples"),
    (("tone",), dict(freq_hz=float("nan")), ValueError, "freq_hz must be finite"),
    (("tone",), dict(snr_hi=3.0), ValueError, "snr_hi needs snr"),
    (("qpsk",), dict(pulse="sinc"), ValueError, "pulse must be one of"),
    (("qpsk",), dict(rrc_beta=1.5), ValueError, "rrc_beta must lie in"),
])
def test_segment_refusals(args, kw, exc, msg):
    with pytest.raises(exc, match=msg):
        Segment(*args, **kw)


def test_timeline_is_capped():
    with pytest.raises(ValueError, match="the composition would hold"):
        Composer([Segment("tone", num_samples=1 << 30, instances=4)])
