import numpy as np
import pytest

from veltra import qcast
from vxcheck import (assert_header_rules, assert_lifecycle, assert_split_invariant,
                     assert_state_roundtrip, run_doctests)

# Float-to-integer classes: code range, output dtype, packing of a code, inverse class.
F2I = {
    qcast.F32ToI8: (-128, 127, np.int8, lambda c: c.astype(np.int8), qcast.I8ToF32),
    qcast.F32ToI16: (-32768, 32767, np.int16, lambda c: c.astype(np.int16), qcast.I16ToF32),
    qcast.F32ToI32: (-2**31, 2**31 - 1, np.int32, lambda c: c.astype(np.int32), qcast.I32ToF32),
    qcast.F32ToI16U32: (-32768, 32767, np.uint32, lambda c: c.astype(np.int16).view(np.uint16).astype(np.uint32), qcast.I16U32ToF32),
    qcast.F32ToI16U64: (-32768, 32767, np.uint64, lambda c: c.astype(np.int16).view(np.uint16).astype(np.uint64), qcast.I16U64ToF32),
    qcast.F32ToUQ15: (-32768, 32767, np.uint16, lambda c: (c + 32768).astype(np.uint16), qcast.UQ15ToF32),
}


def round_half_away(v):
    """Exact for any float64: compare the fraction instead of adding 0.5."""
    a = np.abs(v)
    f = np.floor(a)
    return np.copysign(np.where(a - f >= 0.5, f + 1, f), v)


def quantise(x, scale, lo, hi, wide):
    """Independent quantiser: scale (float32, or float64 for int32 output), clip, round
    half away from zero; NaN -> 0 and counted as clipped."""
    v = x.astype(np.float64) * scale if wide else (x * np.float32(scale)).astype(np.float64)
    with np.errstate(invalid="ignore"):
        clipped = bool(np.any(np.isnan(v) | (v > hi) | (v < lo)))
    code = round_half_away(np.clip(np.nan_to_num(v, nan=0.0), lo, hi))
    return code.astype(np.int64), clipped


def stress_input(n, rng):
    x = rng.uniform(-1.2, 1.2, n).astype(np.float32)
    special = np.array([1.0, -1.0, np.nan, np.inf, -np.inf, 0.0, -0.0, 0.5 / 32768,
                        -0.5 / 32768, 1.5 / 32768, 0.5 / 128, 2.5 / 128, 1e30, -1e30], np.float32)
    x[rng.choice(n, 2000, replace=False)] = np.resize(special, 2000)
    # Exact half-codes at every scale of the table.
    halves = (rng.integers(-200, 200, 3000) + 0.5).astype(np.float32)
    x[rng.choice(n, 3000, replace=False)] = halves / np.float32(128.0)
    return x


@pytest.mark.parametrize("cls", F2I, ids=lambda c: c.__name__)
def test_float_to_int_matches_an_independent_quantiser(cls):
    lo, hi, dtype, pack, _ = F2I[cls]
    x = stress_input(1_000_000, np.random.default_rng(1))
    for scale in (cls().scale, 1000.0):
        q = cls(scale=scale)
        code, clipped = quantise(x, scale, lo, hi, dtype == np.int32)
        got = q.steps(x)
        assert got.dtype == dtype
        np.testing.assert_array_equal(got, pack(code))
        assert q.clipped == clipped
        # Per-sample step agrees and an in-range block leaves the flag alone.
        assert [q.step(float(v)) for v in x[:300]] == got[:300].tolist()
        q.reset()
        assert not q.clipped
        q.steps(np.float32([0.01, -0.01]))
        assert not q.clipped


def test_reference_codes():
    q = qcast.F32ToI16()
    assert q.steps(np.float32([0.5, -0.25])).tolist() == [16384, -8192]
    assert qcast.I16ToF32().steps(np.int16([16384, -8192])).tolist() == [0.5, -0.25]
    assert q.step(-1.0) == -32768 and not q.clipped
    assert q.step(1.0) == 32767 and q.clipped
    assert (q.step(0.5 / 32768), q.step(-0.5 / 32768)) == (1, -1)
    u = qcast.F32ToUQ15()
    assert [u.step(0.0), u.step(-1.0)] == [32768, 0] and not u.clipped
    assert u.step(1.0) == 65535 and u.clipped
    assert qcast.F32ToI32().step(1.0) == 2**31 - 1
    assert qcast.I16U32ToF32().step(0xABCD8000) == -1.0  # only the low 16 bits count
    assert qcast.I16U64ToF32().step(-1) == pytest.approx(-1 / 32768)
    assert qcast.UQ15ToF32().steps(np.uint16([0, 32768, 65535])).tolist() == [-1.0, 0.0, 32767 / 32768]


@pytest.mark.parametrize("cls", F2I, ids=lambda c: c.__name__)
def test_round_trip_through_the_inverse(cls):
    lo, hi, dtype, pack, inverse = F2I[cls]
    codes = np.unique(np.linspace(lo, hi, 4001).round()).astype(np.int64)
    if dtype == np.int32:
        codes -= codes % 256  # codes float32 holds exactly
    scale = cls().scale
    back = inverse(scale=scale).steps(pack(codes))
    np.testing.assert_array_equal(back, (codes / np.float64(scale)).astype(np.float32))
    np.testing.assert_array_equal(cls(scale=scale).steps(back), pack(codes))


def test_scale_validation_and_repr():
    for cls in [*F2I, *(v[4] for v in F2I.values())]:
        name = cls.__name__
        for bad in (0.0, -1.0, np.nan, np.inf, 1e300, 1e-300):
            with pytest.raises(MemoryError, match="_create returned NULL$"):
                cls(scale=bad)
        assert repr(cls(scale=2.5)) == f"{name}(scale=2.5)"
    with pytest.raises(MemoryError, match="^f32_to_i8_create returned NULL$"):
        qcast.F32ToI8(scale=0.0)
    with pytest.raises(MemoryError, match="^uq15_to_f32_create returned NULL$"):
        qcast.UQ15ToF32(scale=-3.0)


def test_outputs_may_alias_inputs():
    x = np.float32([0.5, -0.25, 0.125, 1.0] * 20)
    buf = x.copy()
    q = qcast.F32ToI32()
    assert q.steps(buf, out=buf.view(np.int32)) is not None  # same element size: in place
    np.testing.assert_array_equal(buf.view(np.int32), qcast.F32ToI32().steps(x))
    # A wider output laid over its own input must not read back what it wrote.
    raw = np.zeros(160, np.int16)
    raw[:80] = qcast.F32ToI16().steps(x)
    out = raw.view(np.float32)
    qcast.I16ToF32().steps(raw[:80], out=out)
    np.testing.assert_array_equal(out, qcast.I16ToF32().steps(qcast.F32ToI16().steps(x)))


@pytest.mark.parametrize("cls", F2I, ids=lambda c: c.__name__)
def test_float_to_int_blobs(cls):
    q = cls(scale=3.0)
    q.steps(np.float32([1e30]))
    blob = q.get_state()
    assert len(blob) == 24 and blob[16:20] == np.float32(3.0).tobytes() and blob[20:24] == b"\1\0\0\0"
    fresh = cls()
    fresh.set_state(blob)
    assert fresh.clipped and fresh.scale == 3.0
    assert_header_rules(q)
    for scale, flag in ((0.0, 1), (-1.0, 0), (np.inf, 0), (np.nan, 0), (1.0, 2)):
        bad = bytearray(blob)
        bad[16:21] = np.float32(scale).tobytes() + bytes([flag])
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            q.set_state(bytes(bad))
    assert q.get_state() == blob


def test_adc_reference_codes_and_limits():
    a = qcast.ADC(12, 0.0, 0)
    assert a.steps(np.float32([0.0, 0.5, 0.999, -1.0])).tolist() == [0, 1024, 2046, -2048]
    assert not a.clipped and a.bits == 12 and a.scale == 2048.0
    b = qcast.ADC(64, 0.0, 0)
    assert b.steps(np.float32([1.0, -1.0, 1e38, -np.inf, np.nan])).tolist() == \
        [2**63 - 1, -2**63, 2**63 - 1, -2**63, 0]
    assert b.clipped
    assert qcast.ADC(1, 0.0, 0).steps(np.float32([0.2, 0.6, -0.6, -2])).tolist() == [0, 0, -1, -1]
    assert qcast.ADC().scale == pytest.approx(2**15 * 10 ** 0.5)
    assert repr(qcast.ADC(dbfs=-3.5)) == "ADC(bits=16, dbfs=-3.5, dithering=0)"
    for kw in ({"bits": 0}, {"bits": 65}, {"bits": -1}, {"dithering": -1}, {"dbfs": np.nan},
               {"dbfs": np.inf}, {"dbfs": -1e5}, {"dbfs": 1e5}):
        with pytest.raises(MemoryError, match="^adc_create returned NULL$"):
            qcast.ADC(**kw)


@pytest.mark.parametrize("bits", [1, 12, 16, 53, 55, 64])
def test_adc_matches_an_independent_quantiser(bits):
    x = stress_input(200_000, np.random.default_rng(bits))
    a = qcast.ADC(bits, -1.0, 0)
    v = x.astype(np.float64) * a.scale
    p = 2.0 ** (bits - 1)
    with np.errstate(invalid="ignore"):
        r = round_half_away(np.nan_to_num(v, nan=0.0, posinf=p, neginf=-p))
        hi, lo = r >= p, r < -p
        want = np.where(hi, 0, np.where(lo, 0, r)).astype(np.int64)
    want[hi], want[lo] = int(p) - 1, -int(p)
    np.testing.assert_array_equal(a.steps(x), want)
    assert a.clipped


def xorshift_dither(n, s=0x12345678):
    out = []
    for _ in range(n):
        s ^= (s << 13) & 0xFFFFFFFF
        s ^= s >> 17
        s ^= (s << 5) & 0xFFFFFFFF
        u1 = s - (1 << 32) if s >> 31 else s
        t = (s * 0x9E3779B1) & 0xFFFFFFFF
        u2 = t - (1 << 32) if t >> 31 else t
        out.append((u1 + u2) * 2.0**-32)
    return np.array(out)


def test_adc_dither():
    x = np.float32(np.linspace(-0.3, 0.3, 3000)) / np.float32(100.0)
    a = qcast.ADC(12, 0.0, 1)
    first = a.steps(x)
    want = round_half_away(x.astype(np.float64) * 2048 + xorshift_dither(len(x))).astype(np.int64)
    np.testing.assert_array_equal(first, want)
    a.reset()
    np.testing.assert_array_equal(a.steps(x), first)
    # A constant input between codes is resolved on average (the point of dither).
    assert np.mean(qcast.ADC(12, 0.0, 1).steps(np.full(100000, 0.3 / 2048, np.float32))) == \
        pytest.approx(0.3, abs=0.01)
    make = lambda: qcast.ADC(10, -3.0, 7)
    run = lambda o, c: o.steps(c)
    assert_split_invariant(make, run, x[:500])
    assert_state_roundtrip(make, run, x)
    one = make()
    assert [one.step(float(v)) for v in x[:50]] == make().steps(x[:50]).tolist()


def test_adc_blobs():
    a = qcast.ADC(10, -3.0, 1)
    a.steps(np.float32([0.3, 5.0]))
    blob = a.get_state()
    assert len(blob) == 64 and blob[52] == 1
    assert_header_rules(a)

    def patched(at, fmt, value):
        b = bytearray(blob)
        b[at:at + np.dtype(fmt).itemsize] = np.array(value, fmt).tobytes()
        return bytes(b)

    for at, fmt, value in ((16, "<f8", 0.0), (16, "<f8", np.inf), (16, "<f8", -2.0), (16, "<f8", np.nan),
                           (40, "<u4", 0), (40, "<u4", 65), (24, "<i8", -600), (48, "<i4", -1),
                           (52, "<u1", 2)):
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            a.set_state(patched(at, fmt, value))
    assert a.get_state() == blob
    # Every field is restored, the code range included, and clamping follows it.
    b = qcast.ADC()
    b.set_state(blob)
    assert b.get_state() == blob and b.bits == 10 and b.clipped
    narrow = qcast.ADC(16, 0.0, 0)
    nb = bytearray(narrow.get_state())
    nb[24:40] = np.array([5, -7], "<i8").tobytes()
    narrow.set_state(bytes(nb))
    assert narrow.steps(np.float32([1.0, -1.0, 0.0001, np.nan])).tolist() == [5, -7, 3, 0]


def test_lifecycle_and_examples():
    for cls in [*F2I, *(v[4] for v in F2I.values()), qcast.ADC]:
        assert_lifecycle(cls, calls=[("step", (0,)), ("steps", (np.zeros(2, np.float32),))])
    run_doctests(qcast, min_examples=40)
