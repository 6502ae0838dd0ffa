// veltra.coding: channel coding (convolutional code and Viterbi decoding).
#include <string>

#include "vxb.h"

#include "conv_enc.h"
#include "viterbi.h"

namespace {

using namespace vxb;

struct ConvEncoderPy : Handle<conv_enc, conv_enc_destroy> {};
struct ViterbiPy : Handle<viterbi, viterbi_destroy> {};

const char *const CONV_ENC_INVALID =
    "ConvEncoder: not a usable code (need 1 to 6 non-zero polynomials, each under 2**k, and 2 <= k <= 9)";
const char *const VITERBI_INVALID =
    "Viterbi: not a usable code (need 1 to 6 non-zero polynomials, each under 2**k, 2 <= k <= 9, and "
    "depth >= 1)";

// The code from the constructor's keywords: `poly` as a 1-D uint32 array whose length is
// n. NULL (the class's ValueError) for a code out of range.
template <class Make> auto with_code(nb::handle poly, long long k, Count invert, Make make)
{
    nb::object a = as_param_array(poly, NPY_UINT32, 1, "poly");
    auto *arr = reinterpret_cast<PyArrayObject *>(a.ptr());
    const npy_intp n = PyArray_SIZE(arr);
    using R = decltype(make(static_cast<const uint32_t *>(nullptr), 0, 0, 0u));
    if (n < 1 || n > CONV_MAX_POLYS || k < CONV_MIN_K || k > CONV_MAX_K)
        return R{};
    return make(static_cast<const uint32_t *>(PyArray_DATA(arr)), static_cast<int32_t>(n),
                static_cast<int32_t>(k), static_cast<uint32_t>(invert.v));
}

conv_enc *make_encoder(nb::handle poly, long long k, Count invert)
{
    return with_code(poly, k, invert, conv_enc_create);
}

viterbi *make_viterbi(nb::handle poly, long long k, Count invert, Count depth)
{
    return with_code(poly, k, invert, [&](const uint32_t *p, int32_t n, int32_t kk, uint32_t inv) {
        return viterbi_create(p, n, kk, inv, depth.v);
    });
}

// "poly=[0o171, 0o133], k=7, invert=0": polynomials in octal, as codes are published.
Args code_args(const conv_code &c)
{
    std::string p = "[";
    for (int j = 0; j < c.n; ++j) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%s0o%o", j ? ", " : "", c.polys[j]);
        p += buf;
    }
    return Args().raw("poly", p + "]").i("k", c.k).u("invert", c.invert);
}

const char *const CONV_ENCODER_DOC = R"doc(Rate-1/n convolutional encoder for any generator polynomials.

Each input bit ``b`` (bit 0 of each byte) yields n channel symbols (bytes 0 or 1):
symbol j is the parity of ``poly[j] & (reg | b << (k-1))``, inverted where bit j
of `invert` is set; then ``reg = (b << (k-1) | reg) >> 1``. The register starts
cleared and carries across calls.

Parameters
----------
poly : array_like of uint32
    The n generator polynomials (1 to 6), each non-zero and below ``2**k``; bit
    k-1 taps the current input bit and bit 0 the oldest.
k : int, optional
    Constraint length, 2..9. Default 7.
invert : int, optional
    Output inversion mask; bits at and above n are ignored. Default 0.

Raises
------
ValueError
    "ConvEncoder: not a usable code (need 1 to 6 non-zero polynomials, each under
    2**k, and 2 <= k <= 9)".

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ConvEncoder
>>> enc = ConvEncoder([0o7, 0o5], k=3)
>>> enc.encode(np.array([1, 0, 1, 1], np.uint8))
array([1, 1, 1, 0, 0, 0, 0, 1], dtype=uint8)
>>> enc
ConvEncoder(poly=[0o7, 0o5], k=3, invert=0)
)doc";

const char *const VITERBI_DOC = R"doc(Soft-decision Viterbi decoder for a rate-1/n convolutional code.

Takes one float per channel symbol, ``L = log(P(0)/P(1))`` (positive means 0; any
positive scale works, so BPSK samples can be passed as they are). NaN counts as an
erasure and magnitudes are clamped to 1e30. Decisions are made on the best path
metric at the newest branch with a traceback of `depth` branches: the first
``depth - 1`` branches of a stream produce no output and each later branch one
bit, so the output is the input delayed by ``depth - 1`` bits. Any split of the
symbols into calls, at branch boundaries, gives the same bits.

Parameters
----------
poly : array_like of uint32
    The code's n generator polynomials, as for `ConvEncoder`.
k : int, optional
    Constraint length, 2..9. Default 7.
invert : int, optional
    Output inversion mask of the encoder. Default 0.
depth : int, optional
    Traceback depth in branches (>= 1). Default 35.

Raises
------
ValueError
    "Viterbi: not a usable code (need 1 to 6 non-zero polynomials, each under
    2**k, 2 <= k <= 9, and depth >= 1)".

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ConvEncoder, Viterbi
>>> bits = np.random.default_rng(1).integers(0, 2, 200).astype(np.uint8)
>>> sym = ConvEncoder([0o171, 0o133]).encode(bits)
>>> llr = np.where(sym == 1, -1.0, 1.0).astype(np.float32)
>>> llr[[5, 40, 41, 90]] *= -1  # four channel errors
>>> dec = Viterbi([0o171, 0o133], depth=35)
>>> out = dec.decode(llr)
>>> len(out), bool(np.array_equal(out, bits[:len(out)]))
(166, True)
)doc";

}  // namespace

NB_MODULE(coding, m)
{
    init_module(m, "Channel coding: convolutional codes with Viterbi decoding.");

    Class<ConvEncoderPy>(m, "ConvEncoder", CONV_ENCODER_DOC)
        .ctor(make_encoder, invalid(CONV_ENC_INVALID), "poly"_a, "k"_a = 7, "invert"_a = Count{0})
        .repr(+[](const conv_enc *e) { return code_args(conv_enc_code(e)); })
        .block<uint8_t, uint8_t>("encode", conv_enc_encode, conv_enc_encode_max_out,
            R"doc(Encode bits into channel symbols.

Parameters
----------
x : array_like of uint8
    Bits, one per element (only bit 0 is used), any shape, read in C order.
out : ndarray of uint8, optional
    Destination with at least ``encode_max_out(x.size)`` elements; the result
    views its first elements.

Returns
-------
ndarray of uint8
    ``n`` symbols (0 or 1) per input bit, the n symbols of a bit in polynomial order.

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ConvEncoder
>>> ConvEncoder([0o171, 0o133]).encode(np.ones(3, np.uint8)).tolist()
[1, 1, 0, 1, 1, 0]
)doc")
        .fn("encode_max_out", +[](const conv_enc *e, Count n_in) { return conv_enc_encode_max_out(e, n_in); },
            "n_in"_a, R"doc(Symbols that encoding `n_in` bits returns: ``n_in * n``.

Parameters
----------
n_in : int
    Number of input bits.

Returns
-------
int
)doc")
        .reset(conv_enc_reset)
        .state(conv_enc_state_bytes, conv_enc_get_state, conv_enc_set_state);

    Class<ViterbiPy>(m, "Viterbi", VITERBI_DOC)
        .ctor(make_viterbi, invalid(VITERBI_INVALID), "poly"_a, "k"_a = 7, "invert"_a = Count{0},
              "depth"_a = Count{35})
        .repr(+[](const viterbi *v) { return code_args(viterbi_code(v)).u("depth", viterbi_depth(v)); })
        .block<float, uint8_t>("decode", viterbi_decode, viterbi_decode_max_out,
            R"doc(Decode soft symbols into bits.

Parameters
----------
x : array_like of float32
    Log-likelihood ratios, one per channel symbol (positive means 0), any shape,
    read in C order. Only whole branches are decoded: a length that is not a
    multiple of n returns an empty array and leaves the decoder unchanged.
out : ndarray of uint8, optional
    Destination with at least ``decode_max_out(x.size)`` elements; the result
    views its first elements.

Returns
-------
ndarray of uint8
    Exactly ``decode_max_out(x.size)`` decoded bits (0 or 1).

Examples
--------
>>> import numpy as np
>>> from veltra.coding import Viterbi
>>> v = Viterbi([0o7, 0o5], k=3, depth=4)
>>> v.decode(np.array([-1, -1, -1, 1, 1, 1, 1, -1, 2, 2], np.float32))
array([1, 0], dtype=uint8)
)doc")
        .fn("decode_max_out", +[](const viterbi *v, Count n_in) { return viterbi_decode_max_out(v, n_in); },
            "n_in"_a, R"doc(Bits that decoding `n_in` values returns now (exact).

The branches ``n_in // n`` less those the traceback still needs while filling.

Parameters
----------
n_in : int
    Number of soft values.

Returns
-------
int
)doc")
        .reset(viterbi_reset)
        .state(viterbi_state_bytes, viterbi_get_state, viterbi_set_state);
}
