import numpy as np
import pytest
from commpy.channelcoding import convcode as cc

from veltra.coding import ConvEncoder, Viterbi

from vxcheck import (assert_header_rules, assert_lifecycle, assert_split_invariant,
                     assert_state_roundtrip)

RNG = np.random.default_rng(18)
K7 = ([0o171, 0o133], 7)
CODES = [([0o7, 0o5], 3), K7, ([0o13, 0o15, 0o17], 4), ([0o753, 0o561], 9), ([0o3], 2),
         ([0o25, 0o33, 0o37, 0o21, 0o35, 0o27], 5)]
UNREACHED = np.uint32(0xFE7FFFFF).view(np.float32)


def bits(n, rng=RNG):
    return rng.integers(0, 2, n).astype(np.uint8)


def conv_numpy(poly, k, invert, b):
    """Mod-2 convolution of the bits with each polynomial's taps (bit k-1 = current)."""
    out = []
    for j, p in enumerate(poly):
        taps = np.array([(p >> (k - 1 - i)) & 1 for i in range(k)])
        out.append((np.convolve(b.astype(int), taps)[:len(b)] & 1) ^ ((invert >> j) & 1))
    return np.stack(out, 1).ravel().astype(np.uint8)


def to_llr(sym, rng=None, ebn0_db=None, rate=0.5):
    x = 1.0 - 2.0 * sym.astype(np.float64)
    if ebn0_db is not None:
        sigma = np.sqrt(1 / (2 * rate * 10 ** (ebn0_db / 10)))
        x = x + sigma * rng.normal(size=x.size)
    return x.astype(np.float32)


def viterbi_reference(poly, k, invert, depth, llr):
    """The decoder's stated arithmetic in float32 NumPy, with a full traceback for every
    bit. Returns (bits, metrics after the last branch)."""
    n, S = len(poly), 1 << (k - 1)
    s = np.arange(S)
    bit = (s >> (k - 2)) & 1
    pred0 = (2 * s) % S

    def pattern(reg):
        r = reg | (bit << (k - 1))
        p = np.zeros(S, int)
        for j, g in enumerate(poly):
            p |= (np.array([bin(v).count("1") & 1 for v in (g & r)]) << j)
        return p ^ (invert & ((1 << n) - 1))

    out0, out1 = pattern(pred0), pattern(pred0 + 1)
    L = np.nan_to_num(llr.astype(np.float32), nan=0.0, posinf=1e30, neginf=-1e30)
    L = np.clip(L, np.float32(-1e30), np.float32(1e30)).reshape(-1, n)
    m = np.full(S, UNREACHED, np.float32)
    m[0] = 0
    rows, res = [], []
    for br in L:
        pats = np.arange(1 << n)
        bm = np.where(pats & 1, -br[0], br[0]).astype(np.float32)
        for j in range(1, n):
            bm = (bm + np.where((pats >> j) & 1, -br[j], br[j])).astype(np.float32)
        m0 = m[pred0] + bm[out0]
        m1 = m[pred0 + 1] + bm[out1]
        d = m1 > m0
        nxt = np.where(d, m1, m0)
        best = int(np.argmax(nxt))  # first of equal maxima
        m = (nxt - nxt[best]).astype(np.float32)
        rows.append(d)
        if len(rows) >= depth:
            st = best
            for r in range(depth - 1):
                st = pred0[st] + int(rows[-1 - r][st])
            res.append(bit[st])
    return np.array(res, np.uint8), m


@pytest.mark.parametrize("poly,k", CODES)
def test_encoder_matches_commpy_and_mod2_convolution(poly, k):
    b = bits(3000)
    enc = ConvEncoder(poly, k=k, invert=0b10)
    got = np.concatenate([enc.encode(b[:1001]), enc.encode(b[1001:])])
    np.testing.assert_array_equal(got, conv_numpy(poly, k, 0b10, b))
    if k < 9:  # CommPy cannot build the 256-state trellis under NumPy 2
        tr = cc.Trellis(np.array([k - 1]), np.array([poly]), polynomial_format="LSB")
        np.testing.assert_array_equal(ConvEncoder(poly, k=k).encode(b),
                                      cc.conv_encode(b, tr, termination="cont"))


@pytest.mark.parametrize("poly,k", CODES)
@pytest.mark.parametrize("depth", [1, 6, 35, 80])
def test_decoder_is_bit_exact_to_the_stated_algorithm(poly, k, depth):
    rng = np.random.default_rng(depth * 31 + k)
    n = len(poly)
    sym = ConvEncoder(poly, k=k, invert=5).encode(bits(300, rng))
    llr = to_llr(sym, rng, 1.0, 1 / n)
    # Erasures, infinities, huge values, signed zeros and subnormals in the stream.
    spots = rng.choice(llr.size, 24, replace=False)
    llr[spots] = np.float32([np.nan, np.inf, -np.inf, 3e38, -3e38, -0.0, 0.0, 1e-42] * 3)
    want, metrics = viterbi_reference(poly, k, 5, depth, llr)
    v = Viterbi(poly, k=k, invert=5, depth=depth)
    got = v.decode(llr)
    np.testing.assert_array_equal(got, want)
    blob = v.get_state()
    np.testing.assert_array_equal(np.frombuffer(blob[80:80 + 4 * len(metrics)], np.float32), metrics)


@pytest.mark.parametrize("poly,k", [([0o7, 0o5], 3), K7, ([0o13, 0o15, 0o17], 4), ([0o753, 0o561], 9)])
def test_clean_and_lightly_corrupted_input_decodes_like_commpy(poly, k):
    msg = bits(400)
    sym = ConvEncoder(poly, k=k).encode(msg)
    hard = sym.copy()
    hard[[20, 150, 400, 700]] ^= 1  # isolated channel errors
    for s in (sym, hard):
        out = Viterbi(poly, k=k, depth=5 * k).decode(to_llr(s))
        assert len(out) == len(msg) - (5 * k - 1)
        np.testing.assert_array_equal(out, msg[:len(out)])
        if k < 9:
            tr = cc.Trellis(np.array([k - 1]), np.array([poly]), polynomial_format="LSB")
            peer = cc.viterbi_decode(s.astype(float), tr, tb_depth=5 * k, decoding_type="hard")
            np.testing.assert_array_equal(peer[:len(msg) - 5 * k], msg[:len(msg) - 5 * k])


def test_soft_ber_of_k7_in_awgn():
    rng = np.random.default_rng(4)
    msg = bits(300_000, rng)
    sym = ConvEncoder(*K7[:1], k=7).encode(msg)
    for ebn0, limit in ((3.0, 1e-3), (4.0, 1e-4)):
        out = Viterbi(K7[0]).decode(to_llr(sym, rng, ebn0))
        assert np.mean(out != msg[:len(out)]) < limit, ebn0


def test_split_state_and_blob_rules():
    poly, k = K7
    sym = ConvEncoder(poly).encode(bits(900))
    x = to_llr(sym, RNG, 2.0).reshape(-1, 2)  # splits fall on branch boundaries
    make = lambda: Viterbi(poly, depth=20)
    run = lambda o, c: o.decode(c.ravel())
    assert_split_invariant(make, run, x)
    for cut in (5, 19, 300):  # while filling, at the fill edge, streaming
        assert_state_roundtrip(make, run, x, cut=cut)
    v = make()
    v.decode(x[:40].ravel())
    blob = v.get_state()
    assert len(blob) == 64 * (20 + 4) + 80 == v.state_bytes() and blob[:4] == b"VTRB"
    assert_header_rules(v, other_blob=Viterbi([0o171, 0o135], depth=20).get_state())

    def patched(at, value, dtype):
        b = bytearray(blob)
        b[at:at + np.dtype(dtype).itemsize] = np.array(value, dtype).tobytes()
        return bytes(b)

    bad = [patched(24, 20, "<u8"), patched(32, 21, "<u8"), patched(76, 1, "<u4"),
           patched(80, np.nan, "<f4"), patched(84, 1.0, "<f4"), patched(88, -np.inf, "<f4"),
           patched(92, -0.0, "<f4"),
           patched(80 + 256 + 7, 2, "u1"), patched(48, 1, "<u4")]
    for b in bad:
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            v.set_state(b)
        assert v.get_state() == blob
    with pytest.raises(ValueError, match="state blob size mismatch"):
        v.set_state(Viterbi(poly, depth=21).get_state())

    enc = ConvEncoder(poly)
    make_e = lambda: ConvEncoder(poly)
    run_e = lambda o, c: o.encode(c)
    b = bits(500)
    assert_split_invariant(make_e, run_e, b)
    assert_state_roundtrip(make_e, run_e, b)
    enc.encode(b[:5])
    eb = enc.get_state()
    assert len(eb) == 56 and eb[:4] == b"CVEN"
    assert_header_rules(enc)
    for reg in (64, 1 << 31):  # the register holds k - 1 = 6 bits
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            enc.set_state(eb[:16] + np.uint32(reg).tobytes() + eb[20:])
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        ConvEncoder([0o171, 0o133], invert=1).set_state(eb)


def test_lengths_refusals_and_bad_input_recovery():
    poly, k = K7
    v = Viterbi(poly)
    # The first call with B branches returns B - 34 bits; max_out is exact for any split.
    assert v.decode_max_out(100) == 16 and len(v.decode(np.ones(100, np.float32))) == 16
    assert v.decode_max_out(2) == 1 and v.decode_max_out(1) == 0
    before = v.get_state()
    with pytest.raises(ValueError, match="^decode: length 3 is not a whole number of branches of n = 2$"):
        v.decode(np.ones(3, np.float32))
    assert v.get_state() == before
    assert ConvEncoder(poly).encode_max_out(10) == 20 and ConvEncoder(poly).encode([]).size == 0
    with pytest.raises(ValueError, match="^out has 0 elements, need >= 1$"):
        v.decode(np.ones(2, np.float32), out=np.empty(0, np.uint8))

    # A block of garbage (NaN, infinities, huge values) does not poison later decoding.
    msg = bits(600)
    llr = to_llr(ConvEncoder(poly).encode(msg))
    llr[100:140] = np.float32([np.nan, np.inf, -np.inf, 3.4e38] * 10)
    g = Viterbi(poly)
    out = g.decode(llr)
    np.testing.assert_array_equal(out[100:], msg[100:len(out)])
    assert np.isfinite(np.frombuffer(g.get_state()[80:80 + 256], np.float32)).all()


def test_invert_mask():
    poly, k = K7
    b = bits(200)
    plain = ConvEncoder(poly).encode(b)
    inv = ConvEncoder(poly, invert=2 | 0b100).encode(b)  # bit 2 is beyond n and ignored
    np.testing.assert_array_equal(inv[0::2], plain[0::2])
    np.testing.assert_array_equal(inv[1::2], 1 - plain[1::2])
    out = Viterbi(poly, invert=2).decode(to_llr(inv))
    np.testing.assert_array_equal(out, b[:len(out)])


@pytest.mark.parametrize("cls", [ConvEncoder, Viterbi])
def test_construction_refusals_repr_and_lifecycle(cls):
    msg = ("ConvEncoder: not a usable code (need 1 to 6 non-zero polynomials, each under 2**k, "
           "and 2 <= k <= 9)" if cls is ConvEncoder else
           "Viterbi: not a usable code (need 1 to 6 non-zero polynomials, each under 2**k, "
           "2 <= k <= 9, and depth >= 1)")
    bad = [dict(poly=[0o400], k=8), dict(poly=[0o171, 0o133], k=10), dict(poly=[]),
           dict(poly=[0o171] * 7), dict(poly=[0o171, 0]), dict(poly=[5], k=1)]
    if cls is Viterbi:
        bad += [dict(poly=[0o171, 0o133], depth=0), dict(poly=[0o753, 0o561], k=9, depth=1 << 24)]
    for kw in bad:
        with pytest.raises(ValueError) as e:
            cls(**kw)
        assert str(e.value) == msg, kw
    with pytest.raises(ValueError, match="^poly must be a 1-D array$"):
        cls([[0o7, 0o5]], k=3)
    obj = cls(np.array([0o7, 0o5], np.int64), k=3, invert=7)
    tail = ", depth=35)" if cls is Viterbi else ")"
    assert repr(obj) == f"{cls.__name__}(poly=[0o7, 0o5], k=3, invert=3{tail}"
    call = ("encode", (np.ones(2, np.uint8),)) if cls is ConvEncoder else ("decode", (np.ones(2, np.float32),))
    assert_lifecycle(lambda: cls([0o7, 0o5], k=3), [call])
    assert repr(obj.destroy() or obj) == f"<{cls.__name__} (destroyed)>"
