import numpy as np
import pytest
import reedsolo

from veltra.coding import Deinterleaver, Interleaver, ReedSolomon

from vxcheck import assert_lifecycle

RNG = np.random.default_rng(22)
RS_INVALID = ("ReedSolomon: not a usable code \u2014 need an even nroots in 2..64 leaving at least one "
              "information symbol, 2 <= symbol_bits <= 8, a PRIMITIVE field_poly, and a root_stride "
              "coprime with 2**symbol_bits - 1")
IL_INVALID = ("Interleaver: rows, cols and unit_bits must all be non-zero, and their product must "
              "fit a size_t")
# (nroots, symbol_bits, field_poly, first_root, root_stride)
CODES = [(32, 8, 0x1D, 1, 1), (32, 8, 0x87, 112, 11), (16, 8, 0x1D, 0, 1), (4, 4, 0x3, 0, 1),
         (6, 4, 0x3, 5, 2), (8, 8, 0x1D, 200, 7), (2, 3, 0x3, 1, 1), (64, 8, 0x2B, 7, 254)]


def antilog(J, poly):
    a = [1]
    for _ in range((1 << J) - 2):
        x = a[-1] << 1
        a.append(x ^ ((1 << J) | poly) if x >> J else x)
    return a


def peer(code):
    """reedsolo with the same field, first root and generator element a**stride."""
    nroots, J, poly, fcr, s = code
    n = (1 << J) - 1
    return reedsolo.RSCodec(nroots, nsize=n, fcr=fcr, prim=(1 << J) | poly,
                            generator=antilog(J, poly)[s % n], c_exp=J)


def corrupt(word, count, rng, n):
    bad = word.copy()
    pos = rng.choice(word.size, count, replace=False)
    bad[pos] ^= rng.integers(1, n + 1, count).astype(np.uint8)
    return bad


def test_generators_match_published_tables():
    # CCSDS (255,223): F = x^8+x^7+x^2+x+1, roots a^(11j), j = 112..143, in index form.
    ccsds = [0, 249, 59, 66, 4, 43, 126, 251, 97, 30, 3, 213, 50, 66, 170, 5, 24]
    ccsds += ccsds[-2::-1]
    # DVB (204,188), shortened from (255,239): roots a^0..a^15 of x^8+x^4+x^3+x^2+1.
    dvb = [0, 120, 104, 107, 109, 102, 161, 76, 3, 91, 191, 147, 169, 182, 194, 225, 120]
    for kw, table, poly in ((dict(nroots=32, field_poly=0x87, first_root=112, root_stride=11), ccsds, 0x87),
                            (dict(nroots=16, first_root=0), dvb, 0x1D)):
        g = np.zeros(40, np.uint8)
        assert ReedSolomon(**kw).generator(g) == len(table)
        log = {v: i for i, v in enumerate(antilog(8, poly))}
        assert [log[int(v)] for v in g[:len(table)][::-1]] == table  # table: highest power first
    g = np.zeros(33, np.uint8)
    ReedSolomon(nroots=32, field_poly=0x87, first_root=112, root_stride=11).generator(g)
    assert g[0] == 1 and g[32] == 1
    assert ReedSolomon(nroots=32).generator(np.zeros(32, np.uint8)) == 0


@pytest.mark.parametrize("code", CODES, ids=str)
def test_encode_and_decode_agree_with_reedsolo(code):
    nroots, J, *_ = code
    n, t = (1 << J) - 1, nroots // 2
    rs, ref = ReedSolomon(*code), peer(code)
    g = np.zeros(nroots + 1, np.uint8)
    rs.generator(g)
    # reedsolo's generator is highest power first.
    assert g.tolist() == list(reedsolo.rs_generator_poly(nroots, fcr=code[3], generator=ref.generator))[::-1]
    rng = np.random.default_rng(nroots * 7 + J)
    for trial in range(40):
        info = rng.integers(0, n + 1, n - nroots).astype(np.uint8)
        word = rs.encode(info)
        assert word.tobytes() == bytes(ref.encode(bytearray(info.tobytes())))
        assert rs.codeword_ok(word) == 1 and not rs.syndromes(word).any()
        errors = trial % (t + 1)
        bad = corrupt(word, errors, rng, n)
        assert rs.decode(bad) == errors
        np.testing.assert_array_equal(bad, word)
        # Beyond t: whenever reedsolo refuses, so do we, leaving the word as it was.
        worse = corrupt(word, t + 1 + trial % 3, rng, n)
        before = worse.copy()
        try:
            ref.decode(bytearray(worse.tobytes()))
            refused = False
        except reedsolo.ReedSolomonError:
            refused = True
        got = rs.decode(worse)
        if refused:
            assert got == -1
        if got == -1:
            np.testing.assert_array_equal(worse, before)
        else:
            assert rs.codeword_ok(worse) == 1


def test_small_codes_and_stated_cases():
    rs = ReedSolomon(nroots=32)
    assert (rs.n, rs.k, rs.e, rs.nroots, rs.symbol_bits) == (255, 223, 16, 32, 8)
    assert ReedSolomon(nroots=4, symbol_bits=4, field_poly=0b0011).n == 15
    info = RNG.integers(0, 256, 223).astype(np.uint8)
    w = rs.encode(info)
    assert w.shape == (255,) and np.array_equal(w[:223], info)
    bad = w.copy()
    bad[10] ^= 0xFF
    bad[200] ^= 0x04
    assert rs.decode(bad) == 2 and np.array_equal(bad, w)
    assert rs.codeword_ok(np.zeros(255, np.uint8)) == 1 and rs.decode(np.zeros(255, np.uint8)) == 0
    assert rs.codeword_ok(np.zeros(254, np.uint8)) == 0 and rs.decode(np.zeros(254, np.uint8)) == -2
    assert rs.encode(info[:-1]).size == 0 and rs.syndromes(w[:-1]).size == 0
    assert rs.encode_max_out(5) == 255 and rs.syndromes_max_out(5) == 32

    # Symbols at or above 2**J are refused, and a refused word is left as it was.
    s4 = ReedSolomon(nroots=4, symbol_bits=4, field_poly=0b0011)
    word = s4.encode(np.arange(11, dtype=np.uint8))
    word[3] = 16
    before = word.copy()
    assert s4.decode(word) == -1 and np.array_equal(word, before)
    assert s4.codeword_ok(word) == 0 and s4.syndromes(word).size == 0
    assert s4.encode(np.full(11, 16, np.uint8)).size == 0


def test_construction_refusals():
    bad = [dict(nroots=32, field_poly=0), dict(nroots=32, field_poly=0x1C),
           dict(nroots=32, field_poly=0x1B), dict(nroots=4, symbol_bits=4, field_poly=0x0F),
           dict(nroots=4, symbol_bits=4, field_poly=3, root_stride=5), dict(nroots=3),
           dict(nroots=0), dict(nroots=66), dict(nroots=16, symbol_bits=4, field_poly=3),
           dict(nroots=2, symbol_bits=9), dict(nroots=2, symbol_bits=1, field_poly=1),
           dict(nroots=32, field_poly=0x11D), dict(nroots=32, root_stride=255), dict(nroots=-2)]
    for kw in bad:
        with pytest.raises(ValueError) as e:
            ReedSolomon(**kw)
        assert str(e.value) == RS_INVALID, kw
    assert ReedSolomon(nroots=32, root_stride=11).k == 223
    # first root and stride are reduced modulo n.
    a, b = np.zeros(33, np.uint8), np.zeros(33, np.uint8)
    ReedSolomon(nroots=32, first_root=3, root_stride=2).generator(a)
    ReedSolomon(nroots=32, first_root=3 + 255 * 4, root_stride=2 + 255).generator(b)
    np.testing.assert_array_equal(a, b)


def test_rs_binding_rules():
    rs = ReedSolomon(nroots=16, first_root=0)
    info = RNG.integers(0, 256, rs.k).astype(np.uint8)
    want = rs.encode(info)
    buf = np.zeros(rs.n + 1, np.uint8)
    buf[:rs.k] = info
    out = rs.encode(buf[:rs.k], out=buf)  # parity appended in place
    assert out.base is buf and np.array_equal(buf[:rs.n], want)
    buf = np.zeros(rs.n + 1, np.uint8)
    buf[1:rs.k + 1] = info
    np.testing.assert_array_equal(rs.encode(buf[1:rs.k + 1], out=buf), want)  # overlap: copied first
    for bad in (want.astype(np.int16), want[::-1], list(want), np.frombuffer(want.tobytes(), np.uint8)):
        with pytest.raises(TypeError, match="^codeword must be a writable, C-contiguous ndarray"):
            rs.decode(bad)
    with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray"):
        rs.generator([0] * 20)
    assert repr(rs) == "ReedSolomon(nroots=16, symbol_bits=8, field_poly=29, first_root=0, root_stride=1)"
    assert_lifecycle(lambda: ReedSolomon(nroots=2),
                     [("decode", (np.zeros(255, np.uint8),)), ("encode", (np.zeros(253, np.uint8),))])


@pytest.mark.parametrize("rows,cols,unit", [(3, 4, 1), (5, 7, 8), (1, 6, 2), (4, 4, 1), (8, 3, 3)])
def test_interleaving_is_the_stated_transpose(rows, cols, unit):
    il, dl = Interleaver(rows=rows, cols=cols, unit_bits=unit), Deinterleaver(rows, cols, unit)
    assert (il.block_bits, il.burst_len, il.separation) == (rows * cols * unit, rows, cols)
    assert (dl.rows, dl.cols, dl.unit_bits) == (rows, cols, unit)
    x = RNG.integers(0, 256, 3 * il.block_bits).astype(np.uint8)
    y = il.interleave(x)
    np.testing.assert_array_equal(y, x.reshape(-1, rows, cols, unit).transpose(0, 2, 1, 3).ravel())
    np.testing.assert_array_equal(il.deinterleave(y), x)
    np.testing.assert_array_equal(dl.deinterleave(y), x)
    soft = RNG.normal(size=x.size).astype(np.float32)
    soft_y = soft.reshape(-1, rows, cols, unit).transpose(0, 2, 1, 3).ravel()
    np.testing.assert_array_equal(il.deinterleave_soft(soft_y), soft)
    il.reset()
    assert il.block_bits == rows * cols * unit


def test_interleaver_stated_cases_and_refusals():
    il = Interleaver(rows=3, cols=4)
    assert il.interleave(np.arange(12, dtype=np.uint8)).tolist() == [0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11]
    assert Interleaver(rows=2, cols=3).deinterleave_soft([1, 2, 3, 4, 5, 6]).tolist() == [1, 3, 5, 2, 4, 6]
    for op, x in (("interleave", np.zeros(13, np.uint8)), ("deinterleave", np.zeros(0, np.uint8)),
                  ("deinterleave_soft", np.zeros(13, np.float32))):
        with pytest.raises(ValueError, match=f"^{op}: length {x.size} is not a whole number of blocks "
                                             "of block_bits = 12$"):
            getattr(il, op)(x)
        assert getattr(il, op + "_max_out")(24) == 24
    with pytest.raises(ValueError, match="^out has 11 elements, need >= 12$"):
        il.interleave(np.zeros(12, np.uint8), out=np.zeros(11, np.uint8))
    assert not hasattr(Deinterleaver(rows=3, cols=4), "interleave")
    for cls in (Interleaver, Deinterleaver):
        for kw in (dict(rows=0, cols=4), dict(cols=4), dict(rows=3, cols=4, unit_bits=0),
                   dict(rows=1 << 32, cols=1 << 32), dict(rows=1 << 40, cols=1 << 20, unit_bits=1 << 8)):
            with pytest.raises(ValueError) as e:
                cls(**kw)
            assert str(e.value) == IL_INVALID, kw
    # Overlapping in and out behave as if the input were copied first.
    x = RNG.integers(0, 256, 24).astype(np.uint8)
    want = il.interleave(x)
    for shift in (0, 1, -3):
        buf = np.zeros(40, np.uint8)
        buf[8:32] = x
        np.testing.assert_array_equal(il.interleave(buf[8:32], out=buf[8 + shift:32 + shift]), want)
    assert repr(il) == "Interleaver(rows=3, cols=4, unit_bits=1)"
    assert_lifecycle(lambda: Deinterleaver(rows=2, cols=2), [("deinterleave", (np.zeros(4, np.uint8),))])


def test_batch_forms_match_the_per_codeword_calls():
    rs = ReedSolomon(nroots=16, first_root=0)
    info = RNG.integers(0, 256, (50, rs.k)).astype(np.uint8)
    words = rs.encode_batch(info)
    assert words.shape == (50, rs.n)
    for row, i in zip(words, info):
        np.testing.assert_array_equal(row, rs.encode(i))
    noisy = np.stack([corrupt(w, e % 11, RNG, 255) for e, w in enumerate(words)])
    one_by_one = noisy.copy()
    want = [rs.decode(w) for w in one_by_one]
    got = rs.decode_batch(noisy)
    assert got.dtype == np.int32 and got.tolist() == want and -1 in want
    np.testing.assert_array_equal(noisy, one_by_one)
    assert rs.encode_batch(np.zeros((0, rs.k), np.uint8)).shape == (0, rs.n)
    with pytest.raises(ValueError, match=r"^x must have shape \(m, k\) with k = 239$"):
        rs.encode_batch(np.zeros((2, 238), np.uint8))
    with pytest.raises(ValueError, match=r"^codewords must have shape \(m, n\) with n = 255$"):
        rs.decode_batch(np.zeros(255, np.uint8))
    with pytest.raises(TypeError, match="^codewords must be a writable, C-contiguous ndarray"):
        rs.decode_batch(words[:, ::-1])
    with pytest.raises(ValueError, match="^x holds a symbol not below 2"):
        ReedSolomon(nroots=4, symbol_bits=4, field_poly=3).encode_batch(np.full((1, 11), 16, np.uint8))
