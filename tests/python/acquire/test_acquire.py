import numpy as np
import pytest

from veltra.acquire import CarrierAcquisition

from vxcheck import assert_header_rules, assert_lifecycle, assert_state_roundtrip

FS, RS = 8000.0, 1000.0


def bpsk(n_sym, residual_hz, seed=0, sps=8):
    bits = np.random.default_rng(seed).integers(0, 2, n_sym) * 2 - 1
    t = np.arange(n_sym * sps)
    return (np.repeat(bits, sps) * np.exp(2j * np.pi * residual_hz * t / FS)).astype(np.complex64)


def noise(n, rms, seed):
    rng = np.random.default_rng(seed)
    return (rms / np.sqrt(2) * (rng.normal(size=n) + 1j * rng.normal(size=n))).astype(np.complex64)


@pytest.mark.parametrize("residual", [123.0, -40.0, 3990.0])
def test_clean_bpsk_is_found_at_the_first_block(residual):
    acq = CarrierAcquisition(FS, RS)
    assert (acq.n, acq.nfft, acq.dwell_target) == (80, 512, 1)
    acq.steps(bpsk(400, residual))
    r = acq.report()
    assert acq.ready and acq.n_blocks == 1 and r["samples"] == 80
    assert abs(acq.residual_hz - residual) < 1e-3 * r["bin_hz"]
    assert r["norm_freq"] == acq.residual_hz / FS and r["test_stat"] > r["threshold"]
    before = acq.get_state()
    acq.steps(bpsk(400, 500.0))  # ignored once ready
    assert acq.get_state() == before


def test_noise_alone_stays_below_pfa():
    acq = CarrierAcquisition(FS, RS, pfa=1e-2, max_n_blocks=1)
    x = noise(80 * 3000, 1.0, 5)
    hits = 0
    for k in range(3000):
        acq.reset()
        acq.steps(x[80 * k:80 * (k + 1)])
        hits += acq.ready
    assert hits / 3000 <= 2e-2
    assert acq.report()["given_up"] != acq.ready


def test_chunking_state_and_modes():
    x = bpsk(400, -250.0, seed=3) + noise(3200, 2.0, 4)
    whole = CarrierAcquisition(FS, RS)
    whole.steps(x)
    assert whole.ready
    for size in (1, 7, 1000):
        acq = CarrierAcquisition(FS, RS)
        for k in range(0, len(x), size):
            acq.steps(x[k:k + size])
        assert (acq.n_blocks, acq.residual_hz) == (whole.n_blocks, whole.residual_hz)
    make = lambda: CarrierAcquisition(FS, RS, design_snr=0.1, sequential=False)

    def run(obj, chunk):
        obj.steps(chunk)
        return np.array([obj.n_blocks, obj.ready, obj.residual_hz])

    slow = make()
    assert slow.dwell_target > 1
    slow.steps(np.tile(x, 2)[:80 * (slow.dwell_target - 1) + 50])  # not tested before the target
    assert not slow.ready and slow.n_blocks == slow.dwell_target - 1
    blob = assert_state_roundtrip(make, run, np.tile(x, 8), cut=80 * 3 + 17)
    assert blob[:4] == b"CAQR" and int.from_bytes(blob[64:72], "little") == 17  # fill
    slow.steps(np.tile(x, 40))
    assert slow.n_blocks == slow.dwell_target  # nothing processed past it
    slow.reset()
    assert (slow.n_blocks, slow.ready, slow.residual_hz) == (0, False, 0.0)
    one = CarrierAcquisition(FS, RS, max_n_blocks=0)
    assert one.max_n_blocks == 1
    one.steps(noise(800, 1.0, 9))
    assert one.n_blocks == 1
    assert_header_rules(whole)
    good = whole.get_state()
    for at, value in [(16, 1024), (24, 7), (32, 5), (48, 2), (64, 81)]:  # nfft, dwell, cap, ready, fill
        bad = bytearray(good)
        bad[at:at + 8] = value.to_bytes(8, "little")
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            whole.set_state(bytes(bad))
        assert whole.get_state() == good


def test_template_and_refusals():
    acq = CarrierAcquisition(FS, RS, psd_template=np.ones(512, np.float32))
    acq.steps(bpsk(20, 0.0))
    assert acq.nfft == 512
    assert CarrierAcquisition(FS, RS, psd_template=[]).nfft == 512  # empty: the default
    bad = [dict(psd_template=np.ones(100, np.float32)), dict(psd_template=np.zeros(512, np.float32)),
           dict(psd_template=np.full(512, np.nan, np.float32)), dict(zero_pad=0),
           dict(sample_rate_hz=0.0), dict(sample_rate_hz=np.inf), dict(symbol_rate_hz=np.nan),
           dict(resolution_hz=1e-9), dict(resolution_hz=np.nan), dict(pfa=0.0), dict(pfa=1.0),
           dict(pd=np.nan), dict(design_snr=-1.0), dict(design_snr=np.inf)]
    for kw in bad:
        args = {"sample_rate_hz": FS, "symbol_rate_hz": RS, **kw}
        with pytest.raises(MemoryError, match="^carrier_acq_create returned NULL$"):
            CarrierAcquisition(**args)
    with pytest.raises(ValueError, match="^window must be one of \"hann\", \"kaiser\", \"blackman-harris\", "
                                         "got 'flat'$"):
        CarrierAcquisition(FS, RS, window="flat")
    assert repr(CarrierAcquisition(FS, RS)).startswith("CarrierAcquisition(sample_rate_hz=8000.0, "
                                                       "symbol_rate_hz=1000.0, n=80, nfft=512")
    assert_lifecycle(lambda: CarrierAcquisition(FS, RS), [("steps", (bpsk(10, 0.0),)), ("report", ())])
