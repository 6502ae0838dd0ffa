import numpy as np
import pytest

from veltra.qcast import bin_to_hex, bin_to_int, bin_to_nrz, hex_to_bin, int_to_bin, nrz_to_bin

OUT_MSG = "^out must be a writable, C-contiguous ndarray of the output dtype$"


def hex_text(bits, order):
    out = np.full(len(bits) // 4 + 1, 0xEE, np.uint8)
    n = bin_to_hex(bits, out, order)
    assert out[n] == 0
    return bytes(out[:n]).decode()


@pytest.mark.parametrize("order", [0, 1])
def test_whole_bytes_follow_numpy_bit_packing(order):
    rng = np.random.default_rng(order)
    name = ("big", "little")[order]
    for nbytes in (1, 3, 8):
        raw = rng.integers(0, 256, nbytes, dtype=np.uint8)
        want = np.unpackbits(raw, bitorder=name)
        v = int.from_bytes(raw.tobytes(), "big")
        out = np.zeros(8 * nbytes, np.uint8)
        assert int_to_bin(v, 8 * nbytes, out, order) == 8 * nbytes
        np.testing.assert_array_equal(out, want)
        assert bin_to_int(want, order) == v
        assert hex_to_bin(raw.tobytes().hex().upper(), out, order) == 8 * nbytes
        np.testing.assert_array_equal(out, want)
        assert hex_text(want, order) == raw.tobytes().hex()


def test_reference_strings_and_short_groups():
    out = np.zeros(12, np.uint8)
    assert int_to_bin(0x1A, 8, out, 0) == 8 and out[:8].tolist() == [0, 0, 0, 1, 1, 0, 1, 0]
    assert bin_to_int([0, 0, 0, 1, 1, 0, 1, 0], 0) == 0x1A
    assert bin_to_int([0, 0, 0, 1, 1, 0, 1, 0], 1) == 0x58
    assert bin_to_int([5, 0, 0], 0) == 4  # any nonzero byte is a 1
    # 12 bits: one byte and a 4-bit group, reversed within its own length in little order.
    assert hex_to_bin("a5C", out, 1) == 12
    assert out.tolist() == [1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 1, 1]
    assert hex_text(out, 1) == "a5c"
    assert int_to_bin(0b1011011, 7, out, 1) == 7 and out[:7].tolist() == [1, 1, 0, 1, 1, 0, 1]
    assert bin_to_int(out[:7], 1) == 0b1011011
    big = np.zeros(64, np.uint8)
    assert int_to_bin(2**64 + 5, 3, big, 0) == 3 and big[:3].tolist() == [1, 0, 1]  # high bits ignored
    assert int_to_bin(-1, 64, big, 0) == 64 and bin_to_int(big, 0) == 2**64 - 1
    for order in (0, 1):
        bits = np.zeros(32, np.uint8)
        hex_to_bin("1acffc1d", bits, order)
        assert hex_text(bits, order) == "1acffc1d"


def test_refusals_write_nothing():
    out = np.full(70, 7, np.uint8)
    refused = [
        lambda: int_to_bin(1, 0, out, 0), lambda: int_to_bin(1, 65, out, 0),
        lambda: int_to_bin(1, 8, out[:7], 0), lambda: int_to_bin(1, 8, out, 2),
        lambda: int_to_bin(1, 8, out, -1),
        lambda: hex_to_bin("0x1A", out, 0), lambda: hex_to_bin("", out, 0),
        lambda: hex_to_bin("1A 2", out, 0), lambda: hex_to_bin("123", out[:11], 0),
        lambda: hex_to_bin("12", out, 2),
        lambda: bin_to_hex(np.ones(6, np.uint8), out, 0), lambda: bin_to_hex(np.ones(8, np.uint8), out[:2], 0),
        lambda: bin_to_hex(np.ones(0, np.uint8), out, 0), lambda: bin_to_hex(np.ones(8, np.uint8), out, 3),
        lambda: bin_to_nrz(np.ones(4, np.uint8), np.full(3, 7, np.float32)),
        lambda: nrz_to_bin(np.ones(0, np.float32), out),
        lambda: nrz_to_bin(np.ones(71, np.float32), out),
    ]
    for call in refused:
        assert call() == 0
    assert np.all(out == 7)
    assert bin_to_int(np.ones(65, np.uint8), 0) == 0 and bin_to_int([], 0) == 0
    assert bin_to_int([1], 2) == 0


def test_nrz_maps():
    sym = np.zeros(4, np.float32)
    assert bin_to_nrz([0, 1, 1, 0], sym) == 4 and sym.tolist() == [1.0, -1.0, -1.0, 1.0]
    bits = np.full(4, 9, np.uint8)
    assert nrz_to_bin(sym, bits) == 4 and bits.tolist() == [0, 1, 1, 0]
    x = np.float32([0.0, -0.0, np.nan, -np.nan, -1e-40, np.inf, -np.inf, 3.0])
    out = np.zeros(len(x), np.uint8)
    nrz_to_bin(x, out)
    np.testing.assert_array_equal(out, (x < 0).astype(np.uint8))
    rng = np.random.default_rng(5)
    b = rng.integers(0, 2, 1001, dtype=np.uint8)
    s = np.zeros(1001, np.float32)
    bin_to_nrz(b, s)
    back = np.zeros(1001, np.uint8)
    nrz_to_bin(s, back)
    np.testing.assert_array_equal(back, b)
    np.testing.assert_array_equal(s, 1 - 2 * b.astype(np.float32))


def test_out_must_be_a_writable_array_of_the_output_dtype():
    ro = np.zeros(8, np.uint8)
    ro.flags.writeable = False
    for bad in (None, [0] * 8, np.zeros(8, np.int8), np.zeros(16, np.uint8)[::2], ro):
        with pytest.raises(TypeError, match=OUT_MSG):
            int_to_bin(1, 8, bad, 0)
    with pytest.raises(TypeError, match=OUT_MSG):
        bin_to_nrz([0, 1], np.zeros(2, np.float64))
    with pytest.raises(ValueError, match="embedded null character"):
        hex_to_bin("1a\0ff", np.zeros(20, np.uint8), 0)
