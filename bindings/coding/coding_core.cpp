// veltra.coding: channel coding (convolutional code and Viterbi decoding, Reed-Solomon,
// block interleaving).
#include <string>

#include "vxb.h"

#include "conv_enc.h"
#include "interleaver.h"
#include "rs_codec.h"
#include "viterbi.h"

namespace {

using namespace vxb;

struct ConvEncoderPy : Handle<conv_enc, conv_enc_destroy> {};
struct ViterbiPy : Handle<viterbi, viterbi_destroy> {};
struct ReedSolomonPy : Handle<rs_codec, rs_codec_destroy> {};
struct InterleaverPy : Handle<interleaver, interleaver_destroy> {};
struct DeinterleaverPy : Handle<interleaver, interleaver_destroy> {};

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
    nb::list polys;
    for (int j = 0; j < c.n; ++j) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%s0o%o", j ? ", " : "", c.polys[j]);
        p += buf;
        polys.append(c.polys[j]);
    }
    return Args().raw("poly", p + "]", polys).i("k", c.k).u("invert", c.invert);
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

const char *const RS_INVALID =
    "ReedSolomon: not a usable code \u2014 need an even nroots in 2..64 leaving at least one information "
    "symbol, 2 <= symbol_bits <= 8, a PRIMITIVE field_poly, and a root_stride coprime with "
    "2**symbol_bits - 1";
const char *const INTERLEAVER_INVALID =
    "Interleaver: rows, cols and unit_bits must all be non-zero, and their product must fit a size_t";

rs_codec *make_rs(Count nroots, Count symbol_bits, Count field_poly, Count first_root, Count root_stride)
{
    return rs_codec_create(nroots, symbol_bits, field_poly, first_root, root_stride);
}

uint64_t rs_encode_block(rs_codec *rs, const uint8_t *in, uint64_t n, uint8_t *out, uint64_t cap)
{
    return rs_codec_encode(rs, in, n, out, cap);
}
uint64_t rs_syndromes_block(rs_codec *rs, const uint8_t *in, uint64_t n, uint8_t *out, uint64_t cap)
{
    return rs_codec_syndromes(rs, in, n, out, cap);
}

const char *const RS_DOC = R"doc(Reed-Solomon codec over GF(2**symbol_bits), errors only.

A code is given by its five numbers. The generator is
``g(x) = prod_{i<nroots} (x - a**(root_stride*(first_root + i)))`` with ``a`` the
root of `field_poly`; codewords hold ``n = 2**symbol_bits - 1`` symbols (one per
byte), ``k = n - nroots`` information symbols then the parity, the first symbol
being the coefficient of ``x**(n-1)``. `decode` corrects up to ``e = nroots // 2``
symbol errors in place. A word it cannot correct is left exactly as it was and
-1 returned; beyond ``e`` errors it may also land on another codeword.

Parameters
----------
nroots : int
    Parity symbols per codeword: even, 2..64, and below n.
symbol_bits : int, optional
    Symbol width J, 2..8. Default 8.
field_poly : int, optional
    The field polynomial's low J bits, x**J implicit; must be primitive. Default
    29 (x**8 + x**4 + x**3 + x**2 + 1).
first_root : int, optional
    Index of the first generator root, reduced modulo n. Default 1.
root_stride : int, optional
    Roots are powers of ``a**root_stride``; coprime with n. Default 1.

Raises
------
ValueError
    "ReedSolomon: not a usable code — need an even nroots in 2..64 leaving at least
    one information symbol, ...".

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ReedSolomon
>>> rs = ReedSolomon(nroots=32)
>>> rs.n, rs.k, rs.e
(255, 223, 16)
>>> word = rs.encode(np.arange(223, dtype=np.uint8))
>>> word[[3, 100, 250]] ^= 0xFF
>>> rs.decode(word), bool(np.array_equal(word[:223], np.arange(223)))
(3, True)
)doc";

const char *const INTERLEAVER_DOC = R"doc(Block interleaver, rows x cols over units of unit_bits elements.

Each block of ``block_bits = rows*cols*unit_bits`` elements is written into a
rows x cols matrix of units by rows and read out by columns; a unit (``unit_bits``
consecutive elements) moves as a whole. An outer code correcting t units per
codeword then survives a burst of ``t * burst_len`` units. Calls take whole
blocks only and nothing carries between them. %s

Parameters
----------
rows : int
    Interleaving depth: codewords interleaved (``burst_len``).
cols : int
    Units per codeword (``separation``).
unit_bits : int, optional
    Elements per unit: 1 for bits, 8 for octets of a GF(256) outer code. Default 1.

Raises
------
ValueError
    "Interleaver: rows, cols and unit_bits must all be non-zero, and their product
    must fit a size_t".

Examples
--------
>>> import numpy as np
>>> from veltra.coding import %s
>>> il = %s(rows=3, cols=4)
>>> il.block_bits, il.burst_len, il.separation
(12, 3, 4)
>>> il.deinterleave(np.array([0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11], np.uint8)).tolist()
[0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11]
)doc";

// interleave / deinterleave / deinterleave_soft: whole blocks or ValueError naming the
// operation.
template <class H, class T>
void permutation(Class<H> &c, const char *name,
                 uint64_t (*f)(const interleaver *, const T *, uint64_t, T *, uint64_t), const char *doc)
{
    c.def(name, [f, name](H &h, nb::handle x, nb::handle out) {
        Use<H> pin(h);
        const interleaver *il = pin;
        InArray<T> in(x);
        OutArray<T> y(out, in.size());
        in.detach_from(y.data(), y.capacity() * sizeof(T), false);
        const uint64_t got = f(il, in.data(), in.size(), y.data(), y.capacity());
        if (!got)
            raise(PyExc_ValueError, "%s: length %zd is not a whole number of blocks of block_bits = %zu",
                  name, static_cast<Py_ssize_t>(in.size()), static_cast<size_t>(interleaver_get_block_bits(il)));
        return y.finish(got);
    }, "x"_a, "out"_a.none() = nb::none(), doc);
    c.fn(keep(std::string(name) + "_max_out"),
         +[](const interleaver *il, Count n) { return interleaver_interleave_max_out(il, n); }, "n_in"_a,
         "Elements the operation returns for `n_in` inputs: `n_in` (a whole number of blocks).\n\n"
         "Parameters\n----------\nn_in : int\n\nReturns\n-------\nint\n");
}

const char *const PERMUTE_DOC = R"doc(%s whole blocks of %s.

Parameters
----------
x : array_like of %s
    A whole number of blocks of ``block_bits`` elements, any shape, read in C order.
out : ndarray of %s, optional
    Destination with at least ``x.size`` elements, not overlapping `x` in a way
    that matters (an overlapping input is copied first).

Returns
-------
ndarray of %s
    The permuted elements, as many as the input.

Raises
------
ValueError
    "%s: length N is not a whole number of blocks of block_bits = B", also for an
    empty input.
)doc";

std::string permute_doc(const char *verb, const char *what, const char *dtype, const char *name)
{
    char buf[2048];
    std::snprintf(buf, sizeof buf, PERMUTE_DOC, verb, what, dtype, dtype, dtype, name);
    return buf;
}

template <class H> Class<H> interleaver_class(nb::module_ &m, const char *name, bool tx)
{
    char doc[4096];
    std::snprintf(doc, sizeof doc, INTERLEAVER_DOC,
                  tx ? "This is the transmit face; it has the inverse operations too."
                     : "This is the receive face.",
                  name, name);
    Class<H> c(m, name, keep(doc));
    c.ctor(interleaver_create, invalid(INTERLEAVER_INVALID), "rows"_a = Count{0}, "cols"_a = Count{0},
           "unit_bits"_a = Count{1})
        .repr(+[](const interleaver *il) {
            return Args().u("rows", interleaver_get_rows(il)).u("cols", interleaver_get_cols(il))
                .u("unit_bits", interleaver_get_unit_bits(il));
        })
        .pickle();
    c.def("reset", [](H &h) { interleaver_reset(h.get()); },
          "Nothing to reset: the geometry is configuration, not state.\n\nReturns\n-------\nNone\n");
    if (tx)
        permutation<H, uint8_t>(c, "interleave", interleaver_interleave,
                                keep(permute_doc("Interleave", "bits or octets", "uint8", "interleave")));
    permutation<H, uint8_t>(c, "deinterleave", interleaver_deinterleave,
                            keep(permute_doc("Undo the interleaving of", "bits or octets", "uint8", "deinterleave")));
    permutation<H, float>(c, "deinterleave_soft", interleaver_deinterleave_soft,
                          keep(permute_doc("Undo the interleaving of", "soft values", "float32",
                                           "deinterleave_soft")));
    c.ro("rows", interleaver_get_rows, "Rows of the matrix (codewords interleaved).")
        .ro("cols", interleaver_get_cols, "Columns of the matrix (units per codeword).")
        .ro("unit_bits", interleaver_get_unit_bits, "Elements per unit.")
        .ro("block_bits", interleaver_get_block_bits, "Elements per block: rows * cols * unit_bits.")
        .ro("burst_len", interleaver_get_burst_len,
            "Longest burst, in units, that touches each codeword at most once (= rows).")
        .ro("separation", interleaver_get_separation, "Distance a burst is spread by, in units (= cols).");
    return c;
}

}  // namespace

NB_MODULE(coding, m)
{
    init_module(m, "Channel coding: convolutional codes with Viterbi decoding.");

    Class<ConvEncoderPy>(m, "ConvEncoder", CONV_ENCODER_DOC)
        .ctor(make_encoder, invalid(CONV_ENC_INVALID), "poly"_a, "k"_a = 7, "invert"_a = Count{0})
        .repr(+[](const conv_enc *e) { return code_args(conv_enc_code(e)); })
        .pickle()
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
        .pickle()
        .block<float, uint8_t>("decode", viterbi_decode, +[](const viterbi *v, uint64_t n_in) {
            // The core would take a partial branch as "nothing to do": refuse it instead of
            // returning no bits as if the input were consumed.
            const uint64_t n = static_cast<uint64_t>(viterbi_code(v).n);
            if (n_in % n)
                raise(PyExc_ValueError, "decode: length %zu is not a whole number of branches of n = %zu",
                      static_cast<size_t>(n_in), static_cast<size_t>(n));
            return viterbi_decode_max_out(v, n_in);
        },
            R"doc(Decode soft symbols into bits.

Parameters
----------
x : array_like of float32
    Log-likelihood ratios, one per channel symbol (positive means 0), any shape,
    read in C order: a whole number of branches of n values (ValueError
    otherwise, the decoder unchanged).
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

    Class<ReedSolomonPy> rs(m, "ReedSolomon", RS_DOC);
    rs.ctor(make_rs, invalid(RS_INVALID), "nroots"_a, "symbol_bits"_a = Count{8}, "field_poly"_a = Count{29},
              "first_root"_a = Count{1}, "root_stride"_a = Count{1})
        .repr(+[](const rs_codec *rs) {
            const rs_params &p = rs->params;
            return Args().u("nroots", p.nroots).u("symbol_bits", p.symbol_bits).u("field_poly", p.field_poly)
                .u("first_root", p.first_root).u("root_stride", p.root_stride);
        })
        .pickle()
        .block<uint8_t, uint8_t, Gil::hold, InPlace::yes>("encode", rs_encode_block, rs_codec_encode_max_out,
            R"doc(Encode k information symbols into a systematic codeword.

Parameters
----------
x : array_like of uint8
    Exactly ``k`` information symbols, each below ``2**symbol_bits``; any other
    length, or a symbol out of range, gives an empty array.
out : ndarray of uint8, optional
    Destination with at least ``n`` elements. It may start where `x` does (``x`` a
    view of ``out[:k]``): the parity is then appended in place.

Returns
-------
ndarray of uint8
    The ``n``-symbol codeword: the information, then ``nroots`` parity symbols.

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ReedSolomon
>>> rs = ReedSolomon(nroots=4, symbol_bits=4, field_poly=0b0011)
>>> buf = np.zeros(rs.n, np.uint8)
>>> buf[:rs.k] = np.arange(rs.k)
>>> w = rs.encode(buf[:rs.k], out=buf)
>>> rs.codeword_ok(buf), w.base is buf
(1, True)
)doc")
        .fn("encode_max_out", +[](const rs_codec *rs, Count n_in) { return rs_codec_encode_max_out(rs, n_in); },
            "n_in"_a, "Symbols `encode` returns: ``n``.\n\nParameters\n----------\nn_in : int\n\nReturns\n-------\nint\n")
;
    rs.def("decode", [](ReedSolomonPy &h, nb::handle codeword) {
            Use<ReedSolomonPy> pin(h);
            PyArrayObject *a = checked_out(codeword, NPY_UINT8, "codeword");
            return rs_codec_decode(pin, static_cast<uint8_t *>(PyArray_DATA(a)), static_cast<uint64_t>(PyArray_SIZE(a)));
        }, "codeword"_a, R"doc(Correct a codeword in place.

Parameters
----------
codeword : ndarray of uint8
    A writable, C-contiguous uint8 array of ``n`` symbols.

Returns
-------
int
    Symbols corrected (0 for a codeword); -1 when the word cannot be corrected (it
    is then left exactly as it was) or holds a symbol out of range; -2 when its
    length is not ``n``.

Raises
------
TypeError
    "codeword must be a writable, C-contiguous ndarray of the output dtype".

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ReedSolomon
>>> rs = ReedSolomon(nroots=2)
>>> w = rs.encode(np.zeros(rs.k, np.uint8))
>>> w[7] = 5
>>> rs.decode(w), int(w[7])
(1, 0)
)doc")
;
    rs.block<uint8_t, uint8_t>("syndromes", rs_syndromes_block, rs_codec_syndromes_max_out,
            R"doc(Syndromes of an n-symbol word.

Parameters
----------
x : array_like of uint8
    Exactly ``n`` symbols, each below ``2**symbol_bits``; anything else gives an
    empty array.
out : ndarray of uint8, optional
    Destination with at least ``nroots`` elements.

Returns
-------
ndarray of uint8
    ``S_i = c(a**(root_stride*(first_root + i)))`` for i < nroots, as field
    elements; all zero for a codeword.

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ReedSolomon
>>> ReedSolomon(nroots=4).syndromes(np.zeros(255, np.uint8)).tolist()
[0, 0, 0, 0]
)doc")
        .fn("syndromes_max_out", +[](const rs_codec *rs, Count n_in) { return rs_codec_syndromes_max_out(rs, n_in); },
            "n_in"_a, "Symbols `syndromes` returns: ``nroots``.\n\nParameters\n----------\nn_in : int\n\nReturns\n-------\nint\n")
;
    rs.def("codeword_ok", [](ReedSolomonPy &h, nb::handle codeword) {
            Use<ReedSolomonPy> pin(h);
            InArray<uint8_t> in(codeword);
            return rs_codec_codeword_ok(pin, in.data(), in.size());
        }, "codeword"_a, R"doc(Is the word a codeword?

Parameters
----------
codeword : array_like of uint8
    The word, any shape, read in C order.

Returns
-------
int
    1 when it has ``n`` symbols and every syndrome is zero, else 0.
)doc")
;
    rs.def("generator", [](ReedSolomonPy &h, nb::handle out) {
            Use<ReedSolomonPy> pin(h);
            PyArrayObject *a = checked_out(out, NPY_UINT8, "out");
            return rs_codec_generator(pin, static_cast<uint8_t *>(PyArray_DATA(a)), static_cast<uint64_t>(PyArray_SIZE(a)));
        }, "out"_a, R"doc(Copy the generator's coefficients, lowest power first.

Parameters
----------
out : ndarray of uint8
    A writable, C-contiguous uint8 array of at least ``nroots + 1`` elements.

Returns
-------
int
    ``nroots + 1``, or 0 (nothing written) when `out` is shorter.

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ReedSolomon
>>> g = np.zeros(5, np.uint8)
>>> ReedSolomon(nroots=4, first_root=0).generator(g), g.tolist()
(5, [64, 120, 54, 15, 1])
)doc")
;
    rs.def("encode_batch", [](ReedSolomonPy &h, nb::handle x) {
        Use<ReedSolomonPy> pin(h);
        const rs_codec *c = pin;
        InArray<uint8_t> in(x);
        if (in.ndim() != 2 || static_cast<uint64_t>(in.shape()[1]) != c->k)
            raise(PyExc_ValueError, "x must have shape (m, k) with k = %u", c->k);
        npy_intp dims[2] = {in.shape()[0], static_cast<npy_intp>(c->n)};
        nb::object out = nb::steal(PyArray_SimpleNew(2, dims, NPY_UINT8));
        if (!out)
            raise_pending();
        auto *data = static_cast<uint8_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.ptr())));
        if (dims[0] && !rs_codec_encode_batch(c, in.data(), static_cast<uint64_t>(dims[0]), data))
            raise(PyExc_ValueError, "x holds a symbol not below 2**symbol_bits");
        return out;
    }, "x"_a, R"doc(Encode many words at once, one per row.

Parameters
----------
x : array_like of uint8
    Shape ``(m, k)``: m rows of information symbols, each below ``2**symbol_bits``.

Returns
-------
ndarray of uint8
    Shape ``(m, n)``: the codewords, row by row as `encode` would give them.

Raises
------
ValueError
    If `x` is not of shape (m, k), or holds a symbol out of range.

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ReedSolomon
>>> rs = ReedSolomon(nroots=16)
>>> rs.encode_batch(np.zeros((3, rs.k), np.uint8)).shape
(3, 255)
)doc");
    rs.def("decode_batch", [](ReedSolomonPy &h, nb::handle codewords) {
        Use<ReedSolomonPy> pin(h);
        const rs_codec *c = pin;
        PyArrayObject *a = checked_out(codewords, NPY_UINT8, "codewords");
        if (PyArray_NDIM(a) != 2 || static_cast<uint64_t>(PyArray_DIMS(a)[1]) != c->n)
            raise(PyExc_ValueError, "codewords must have shape (m, n) with n = %u", c->n);
        npy_intp m = PyArray_DIMS(a)[0];
        nb::object res = nb::steal(PyArray_SimpleNew(1, &m, NPY_INT32));
        if (!res)
            raise_pending();
        rs_codec_decode_batch(c, static_cast<uint8_t *>(PyArray_DATA(a)), static_cast<uint64_t>(m),
                              static_cast<int32_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(res.ptr()))));
        return res;
    }, "codewords"_a, R"doc(Correct many codewords in place, one per row.

The native speed without one Python call per codeword.

Parameters
----------
codewords : ndarray of uint8
    A writable, C-contiguous uint8 array of shape ``(m, n)``.

Returns
-------
ndarray of int32
    Shape ``(m,)``: `decode`'s result for each row (count corrected, or -1 with the
    row left as it was).

Raises
------
TypeError
    "codewords must be a writable, C-contiguous ndarray of the output dtype".
ValueError
    If the array is not of shape (m, n).

Examples
--------
>>> import numpy as np
>>> from veltra.coding import ReedSolomon
>>> rs = ReedSolomon(nroots=32)
>>> words = rs.encode_batch(np.ones((4, rs.k), np.uint8))
>>> words[1, 5] ^= 1
>>> words[3, :20] ^= 7
>>> rs.decode_batch(words).tolist()
[0, 1, 0, -1]
)doc");
    rs.ro("n", rs_codec_get_n, "Symbols per codeword, 2**symbol_bits - 1.")
        .ro("k", rs_codec_get_k, "Information symbols per codeword, n - nroots.")
        .ro("e", rs_codec_get_e, "Symbol errors it corrects, nroots // 2.")
        .ro("nroots", rs_codec_get_nroots, "Parity symbols per codeword.")
        .ro("symbol_bits", rs_codec_get_symbol_bits, "Bits per symbol.");

    interleaver_class<InterleaverPy>(m, "Interleaver", true);
    interleaver_class<DeinterleaverPy>(m, "Deinterleaver", false);
}
