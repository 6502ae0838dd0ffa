// veltra.qcast: sample-format converters, the ADC model and bit strings.
#include <nanobind/stl/string.h>

#include <string>

#include "vxb.h"

#include "adc.h"
#include "bitstr.h"
#include "f32_to_int.h"
#include "int_to_f32.h"

namespace {

using namespace vxb;

// ---- converter classes -----------------------------------------------------------------

// One converter family: its core functions, element types and Python face. The state
// functions are those of the saturating (float-to-integer) families only.
template <class Core, class In, class Out> struct Family {
    const char *name;       // Python class
    const char *core_name;  // core family, for the MemoryError message
    double default_scale;
    const char *in_dtype, *out_dtype;
    const char *example_in, *example_out;  // step(example_in) == example_out
    Core *(*create)(float);
    void (*steps)(Core *, const In *, Out *, uint64_t);
    void (*reset)(Core *);
    float (*get_scale)(const Core *);
    int (*get_clipped)(const Core *) = nullptr;
    uint64_t (*state_bytes)(const Core *) = nullptr;
    void (*get_state)(const Core *, void *) = nullptr;
    int (*set_state)(Core *, const void *) = nullptr;
};

std::string replace_all(std::string s, const std::string &key, const std::string &value)
{
    for (size_t at = s.find(key); at != std::string::npos; at = s.find(key, at + value.size()))
        s.replace(at, key.size(), value);
    return s;
}

// A docstring with the family's names and example substituted.
template <class F> const char *doc(const F &f, const char *text)
{
    std::string s = text;
    const std::string scale = nb::repr(nb::float_(f.default_scale)).c_str();
    const std::pair<const char *, std::string> keys[] = {
        {"@NAME@", f.name}, {"@CORE@", f.core_name}, {"@IN@", f.in_dtype}, {"@OUT@", f.out_dtype},
        {"@EX_IN@", f.example_in}, {"@EX_OUT@", f.example_out}, {"@SCALE@", scale}};
    for (const auto &[key, value] : keys)
        s = replace_all(s, key, value);
    return keep(s);
}

const char *const F2I_DOC = R"doc(Float32 to @OUT@ sample converter with saturation.

Each element becomes ``x*scale`` (single precision; double for int32 output),
clamped to the code range and rounded half away from zero. An element out of
range, or NaN (which converts to 0), sets the sticky ``clipped`` flag. An I/Q
stream is converted as its interleaved float32 view.

Parameters
----------
scale : float, optional
    Codes per unit input (finite, > 0). Default @SCALE@.

Raises
------
MemoryError
    "@CORE@_create returned NULL" for a scale that is not finite and positive.

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import @NAME@
>>> q = @NAME@()
>>> q.step(@EX_IN@)
@EX_OUT@
>>> q.steps(np.array([@EX_IN@, 2.0], np.float32)).tolist()
[@EX_OUT@, @EX_MAX@]
>>> q.clipped
True
)doc";

const char *const I2F_DOC = R"doc(@IN@ to float32 sample converter.

Each element becomes ``code * (1/scale)`` in single precision, where the code is
the signed value the input word carries.

Parameters
----------
scale : float, optional
    Codes per unit output (finite, > 0, with a finite reciprocal). Default @SCALE@.

Raises
------
MemoryError
    "@CORE@_create returned NULL" for a scale out of range.

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import @NAME@
>>> @NAME@().step(@EX_IN@)
@EX_OUT@
>>> @NAME@().steps(np.array([@EX_IN@], np.@IN@)).tolist()
[@EX_OUT@]
)doc";

const char *const STEPS_DOC = R"doc(Convert a block.

Parameters
----------
x : array_like of @IN@
    Input elements, any shape, read in C order.
out : ndarray of @OUT@, optional
    Destination with exactly ``x``'s element count; returned when given. It may be
    ``x`` itself when the two dtypes have the same size.

Returns
-------
ndarray of @OUT@
    One output per input.

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import @NAME@
>>> @NAME@().steps(np.full((2, 2), @EX_IN@, np.@IN@)).tolist()
[@EX_OUT@, @EX_OUT@, @EX_OUT@, @EX_OUT@]
)doc";

const char *const F2I_STEP_DOC = R"doc(Convert one sample.

Parameters
----------
x : float
    The sample (taken as float32).

Returns
-------
int
    Its @OUT@ code.

Examples
--------
>>> from veltra.qcast import @NAME@
>>> @NAME@().step(@EX_IN@)
@EX_OUT@
)doc";

const char *const I2F_STEP_DOC = R"doc(Convert one sample.

Parameters
----------
x : int
    The @IN@ word@WORD_NOTE@.

Returns
-------
float
    Its value.

Examples
--------
>>> from veltra.qcast import @NAME@
>>> @NAME@().step(@EX_IN@)
@EX_OUT@
)doc";

const char *const CLIPPED_DOC = "True if any sample has been saturated since the last reset().";

template <class Core> Args scale_args(float scale) { return Args().f("scale", scale); }

// Float-to-integer classes: scale keyword, step, steps, reset, blobs, clipped.
template <class H, class Out> void add_f32_to_int(nb::module_ &m, const Family<typename H::core_type, float, Out> &f,
                                                  const char *max_code)
{
    using Core = typename H::core_type;
    static const Family<Core, float, Out> fam = f;
    const std::string cls = replace_all(F2I_DOC, "@EX_MAX@", max_code);
    Class<H>(m, f.name, doc(f, cls.c_str()))
        .ctor(f.create, no_memory(f.core_name), "scale"_a = f.default_scale)
        .repr(+[](const Core *q) { return Args().f("scale", fam.get_scale(q)); })
        .pickle()
        .fn("step", +[](Core *q, float x) {
            Out y;
            fam.steps(q, &x, &y, 1);
            return y;
        }, "x"_a, doc(f, F2I_STEP_DOC))
        .template map<float, Out>("steps", f.steps, doc(f, STEPS_DOC))
        .reset(f.reset)
        .state(f.state_bytes, f.get_state, f.set_state)
        .ro("clipped", +[](const Core *q) { return fam.get_clipped(q) != 0; }, CLIPPED_DOC)
        .ro("scale", f.get_scale, "Codes per unit input, as stored (float32).");
}

// Integer-to-float classes: scale keyword, step, steps, reset (a no-op kept for the
// common verbs). The step argument is the input element; for the wide-word formats any
// int, of which the low 16 bits are used.
template <class H, class StepIn, class In> void add_int_to_f32(nb::module_ &m, const Family<typename H::core_type, In, float> &f)
{
    using Core = typename H::core_type;
    static const Family<Core, In, float> fam = f;
    const bool wide = !std::is_same_v<StepIn, In>;
    const std::string step_doc = replace_all(I2F_STEP_DOC, "@WORD_NOTE@", wide ? "; any int, of which the low 16 bits are used" : "");
    Class<H>(m, f.name, doc(f, I2F_DOC))
        .ctor(f.create, no_memory(f.core_name), "scale"_a = f.default_scale)
        .repr(+[](const Core *q) { return Args().f("scale", fam.get_scale(q)); })
        .pickle()
        .fn("step", +[](Core *q, StepIn x) {
            const In v = static_cast<In>(static_cast<uint64_t>(x));
            float y;
            fam.steps(q, &v, &y, 1);
            return y;
        }, "x"_a, doc(f, step_doc.c_str()))
        .template map<In, float>("steps", f.steps, doc(f, STEPS_DOC))
        .reset(f.reset)
        .ro("scale", f.get_scale, "Codes per unit output, as stored (float32).");
}

#define F2I(cls, fam, Out, scale, out_dtype, ex_in, ex_out, max_code)                         \
    struct cls##Py : Handle<fam, fam##_destroy> {};                                           \
    add_f32_to_int<cls##Py, Out>(m, {#cls, #fam, scale, "float32", out_dtype, ex_in, ex_out,  \
                                     fam##_create, fam##_steps, fam##_reset, fam##_get_scale, \
                                     fam##_get_clipped, fam##_state_bytes, fam##_get_state,   \
                                     fam##_set_state}, max_code)
#define I2F(cls, fam, In, StepIn, scale, in_dtype, ex_in, ex_out)                             \
    struct cls##Py : Handle<fam, fam##_destroy> {};                                           \
    add_int_to_f32<cls##Py, StepIn, In>(m, {#cls, #fam, scale, in_dtype, "float32", ex_in,    \
                                            ex_out, fam##_create, fam##_steps, fam##_reset,   \
                                            fam##_get_scale})

}  // namespace

namespace {

// ---- ADC -------------------------------------------------------------------------------

struct ADCPy : Handle<adc, adc_destroy> {};

const char *const ADC_DOC = R"doc(Ideal analog-to-digital converter with optional TPDF dither.

Each float32 sample becomes ``v = x*scale`` in double precision with
``scale = 2**(bits-1) * 10**(-dbfs/20)``, plus (with dithering) a triangular
dither of +-1 code from a xorshift32 generator; then it is rounded half away from
zero and saturated to ``-2**(bits-1) .. 2**(bits-1)-1``. A sample out of range,
or NaN (which converts to 0), sets the sticky ``clipped`` flag. The dithered
path takes samples strictly in order, so any block split gives the same codes.

Parameters
----------
bits : int, optional
    Converter width, 1..64. Default 16.
dbfs : float, optional
    Full-scale reference level in dBFS: an input of amplitude ``10**(dbfs/20)``
    reaches full scale. Default -10.0.
dithering : int, optional
    0 for none, a positive value for TPDF dither. Default 0.

Raises
------
MemoryError
    "adc_create returned NULL" for bits outside 1..64, a negative dithering, or a
    dbfs that is not finite or gives no finite, positive scale.

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import ADC
>>> a = ADC(12, 0.0, 0)
>>> a.steps(np.array([0.0, 0.5, 0.999, -1.0], np.float32)).tolist()
[0, 1024, 2046, -2048]
>>> a.step(1.5), a.clipped
(2047, True)
)doc";

adc *create_adc(long long bits, float dbfs, long long dithering)
{
    if (bits < 1 || bits > 64 || dithering < 0 || dithering > INT32_MAX)
        return nullptr;
    return adc_create(static_cast<uint32_t>(bits), static_cast<int32_t>(dithering), dbfs);
}

// ---- bit strings -----------------------------------------------------------------------

// A mandatory output array of `type_num`, checked as `out` is.
struct Out {
    PyArrayObject *a;
    Out(nb::handle out, int type_num) : a(checked_out(out, type_num, "out")) {}
    template <class T> T *data() const { return static_cast<T *>(PyArray_DATA(a)); }
    uint64_t size() const { return static_cast<uint64_t>(PyArray_SIZE(a)); }
    uint64_t bytes() const { return static_cast<uint64_t>(PyArray_NBYTES(a)); }
};

// Bit orders outside 0..1 reach the core as a value it refuses.
uint32_t order_of(long long bitorder) { return bitorder < 0 || bitorder > 1 ? 2u : static_cast<uint32_t>(bitorder); }

uint64_t py_int_to_bin(Count v, Count n_bits, nb::handle out, long long bitorder)
{
    Out o(out, NPY_UINT8);
    return int_to_bin(v, n_bits, o.data<uint8_t>(), o.size(), order_of(bitorder));
}

uint64_t py_hex_to_bin(Text hex, nb::handle out, long long bitorder)
{
    const char *text = hex.c_str();
    Out o(out, NPY_UINT8);
    return hex_to_bin(text, o.data<uint8_t>(), o.size(), order_of(bitorder));
}

uint64_t py_bin_to_int(nb::handle bits, long long bitorder)
{
    InArray<uint8_t> b(bits);
    return bin_to_int(b.data(), b.size(), order_of(bitorder));
}

uint64_t py_bin_to_hex(nb::handle bits, nb::handle out, long long bitorder)
{
    InArray<uint8_t> b(bits);
    Out o(out, NPY_UINT8);
    b.detach_from(o.data<uint8_t>(), o.bytes(), false);
    return bin_to_hex(b.data(), b.size(), o.data<char>(), o.size(), order_of(bitorder));
}

uint64_t py_bin_to_nrz(nb::handle bits, nb::handle out)
{
    InArray<uint8_t> b(bits);
    Out o(out, NPY_FLOAT32);
    b.detach_from(o.data<float>(), o.bytes(), false);
    return bin_to_nrz(b.data(), b.size(), o.data<float>(), o.size());
}

uint64_t py_nrz_to_bin(nb::handle nrz, nb::handle out)
{
    InArray<float> x(nrz);
    Out o(out, NPY_UINT8);
    x.detach_from(o.data<uint8_t>(), o.bytes(), false);
    return nrz_to_bin(x.data(), x.size(), o.data<uint8_t>(), o.size());
}

const char *const BITORDER_DOC = R"doc(bitorder : int
    0 (big: each group of 8 bits most significant first, as written) or 1 (little:
    the bits within each group reversed, the last group within its own length).
    Another value is refused.)doc";

std::string with_bitorder(const char *text) { return replace_all(text, "@BITORDER@", BITORDER_DOC); }

const char *const INT_TO_BIN_DOC = R"doc(Write the low bits of an integer as unpacked bits.

Parameters
----------
v : int
    The value (taken modulo 2**64); bits above `n_bits` are ignored.
n_bits : int
    Bits to write, 1..64.
out : ndarray of uint8
    Destination of at least `n_bits` elements; receives 0/1 values.
@BITORDER@

Returns
-------
int
    `n_bits`, or 0 (nothing written) when an argument is refused.

Raises
------
TypeError
    "out must be a writable, C-contiguous ndarray of the output dtype".

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import int_to_bin
>>> out = np.zeros(8, np.uint8)
>>> int_to_bin(0x1A, 8, out, 0), out.tolist()
(8, [0, 0, 0, 1, 1, 0, 1, 0])
>>> int_to_bin(0x1A, 65, out, 0)
0
)doc";

const char *const HEX_TO_BIN_DOC = R"doc(Write hex text as unpacked bits, 4 per digit.

Digits are taken in pairs (one 8-bit group, high digit first); a trailing odd digit
gives a 4-bit group.

Parameters
----------
hex : str
    Digits 0-9, a-f, A-F only (no prefix, no spaces).
out : ndarray of uint8
    Destination of at least ``4*len(hex)`` elements.
@BITORDER@

Returns
-------
int
    ``4*len(hex)``, or 0 (nothing written) for an empty or invalid text, a short
    `out` or a refused `bitorder`.

Raises
------
TypeError
    "out must be a writable, C-contiguous ndarray of the output dtype".
ValueError
    "embedded null character".

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import hex_to_bin
>>> out = np.zeros(32, np.uint8)
>>> hex_to_bin("1ACFFC1D", out, 0), out[:8].tolist()
(32, [0, 0, 0, 1, 1, 0, 1, 0])
>>> hex_to_bin("0x1A", out, 0)
0
)doc";

const char *const BIN_TO_INT_DOC = R"doc(Read unpacked bits as an integer (inverse of int_to_bin).

Parameters
----------
bits : array_like of uint8
    1 to 64 bits; any nonzero element reads as 1.
@BITORDER@

Returns
-------
int
    The value, or 0 when an argument is refused (so 0 is both a value and a
    refusal).

Examples
--------
>>> from veltra.qcast import bin_to_int
>>> hex(bin_to_int([0, 0, 0, 1, 1, 0, 1, 0], 0)), hex(bin_to_int([0, 0, 0, 1, 1, 0, 1, 0], 1))
('0x1a', '0x58')
)doc";

const char *const BIN_TO_HEX_DOC = R"doc(Write unpacked bits as lowercase hex digits (inverse of hex_to_bin).

Parameters
----------
bits : array_like of uint8
    A nonzero multiple of 4 bits.
out : ndarray of uint8
    Receives the ASCII digits and a NUL: at least ``len(bits)//4 + 1`` elements.
    Decode with ``bytes(out[:n]).decode()``.
@BITORDER@

Returns
-------
int
    The digit count, or 0 (nothing written) when an argument is refused.

Raises
------
TypeError
    "out must be a writable, C-contiguous ndarray of the output dtype".

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import bin_to_hex, hex_to_bin
>>> bits = np.zeros(32, np.uint8)
>>> n = hex_to_bin("1ACFFC1D", bits, 1)
>>> out = np.zeros(9, np.uint8)
>>> bytes(out[:bin_to_hex(bits, out, 1)]).decode()
'1acffc1d'
)doc";

const char *const BIN_TO_NRZ_DOC = R"doc(Map unpacked bits to NRZ symbols: 0 -> +1.0, nonzero -> -1.0.

Parameters
----------
bits : array_like of uint8
    The bits, any shape, read in C order.
out : ndarray of float32
    Destination of at least ``bits.size`` elements.

Returns
-------
int
    The count written, or 0 (nothing written) for no bits or a short `out`.

Raises
------
TypeError
    "out must be a writable, C-contiguous ndarray of the output dtype".

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import bin_to_nrz
>>> out = np.zeros(4, np.float32)
>>> bin_to_nrz([0, 1, 1, 0], out), out.tolist()
(4, [1.0, -1.0, -1.0, 1.0])
)doc";

const char *const NRZ_TO_BIN_DOC = R"doc(Slice NRZ symbols to bits: negative -> 1, else 0 (zero, -0 and NaN give 0).

Parameters
----------
nrz : array_like of float32
    The symbols, any shape, read in C order.
out : ndarray of uint8
    Destination of at least ``nrz.size`` elements.

Returns
-------
int
    The count written, or 0 (nothing written) for no symbols or a short `out`.

Raises
------
TypeError
    "out must be a writable, C-contiguous ndarray of the output dtype".

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import nrz_to_bin
>>> out = np.zeros(4, np.uint8)
>>> nrz_to_bin(np.array([1.0, -1.0, -0.2, 0.0], np.float32), out), out.tolist()
(4, [0, 1, 1, 0])
)doc";

}  // namespace

NB_MODULE(qcast, m)
{
    init_module(m, "Sample-format converters, the ADC model and bit strings.");

    F2I(F32ToI8, f32_to_i8, int8_t, 128.0, "int8", "0.5", "64", "127");
    F2I(F32ToI16, f32_to_i16, int16_t, 32768.0, "int16", "0.5", "16384", "32767");
    F2I(F32ToI32, f32_to_i32, int32_t, 2147483648.0, "int32", "0.5", "1073741824", "2147483647");
    F2I(F32ToI16U32, f32_to_i16u32, uint32_t, 32768.0, "uint32", "-0.5", "49152", "32767");
    F2I(F32ToI16U64, f32_to_i16u64, uint64_t, 32768.0, "uint64", "-0.5", "49152", "32767");
    F2I(F32ToUQ15, f32_to_uq15, uint16_t, 32768.0, "uint16", "0.0", "32768", "65535");
    I2F(I8ToF32, i8_to_f32, int8_t, int8_t, 128.0, "int8", "64", "0.5");
    I2F(I16ToF32, i16_to_f32, int16_t, int16_t, 32768.0, "int16", "16384", "0.5");
    I2F(I32ToF32, i32_to_f32, int32_t, int32_t, 2147483648.0, "int32", "1073741824", "0.5");
    I2F(I16U32ToF32, i16u32_to_f32, uint32_t, Count, 32768.0, "uint32", "49152", "-0.5");
    I2F(I16U64ToF32, i16u64_to_f32, uint64_t, Count, 32768.0, "uint64", "49152", "-0.5");
    I2F(UQ15ToF32, uq15_to_f32, uint16_t, uint16_t, 32768.0, "uint16", "0", "-1.0");

    Class<ADCPy>(m, "ADC", ADC_DOC)
        .ctor(create_adc, no_memory("adc"), "bits"_a = 16, "dbfs"_a = -10.0, "dithering"_a = 0)
        .repr(+[](const adc *a) {
            return Args().i("bits", a->bits).f("dbfs", a->dbfs).i("dithering", a->dithering);
        })
        .pickle()
        .fn("step", +[](adc *a, float x) {
            int64_t y;
            adc_steps(a, &x, &y, 1);
            return y;
        }, "x"_a, R"doc(Convert one sample.

Parameters
----------
x : float
    The sample (taken as float32).

Returns
-------
int
    Its code; with dithering the generator advances as in ``steps``.

Examples
--------
>>> from veltra.qcast import ADC
>>> ADC(12, 0.0, 0).step(0.5)
1024
)doc")
        .map<float, int64_t>("steps", adc_steps, R"doc(Convert a block.

Parameters
----------
x : array_like of float32
    Samples, any shape, read in C order.
out : ndarray of int64, optional
    Destination with exactly ``x``'s element count; returned when given.

Returns
-------
ndarray of int64
    One code per sample.

Examples
--------
>>> import numpy as np
>>> from veltra.qcast import ADC
>>> ADC(8, 0.0, 0).steps(np.array([0.25, -0.25], np.float32)).tolist()
[32, -32]
)doc")
        .reset(adc_reset)
        .state(adc_state_bytes, adc_get_state, adc_set_state)
        .ro("clipped", +[](const adc *a) { return a->clipped != 0; }, CLIPPED_DOC)
        .ro("scale", &adc::scale, "Codes per unit input: ``2**(bits-1) * 10**(-dbfs/20)``.")
        .ro("bits", &adc::bits, "Converter width in bits.");

    m.def("int_to_bin", py_int_to_bin, "v"_a, "n_bits"_a, "out"_a.none(), "bitorder"_a,
          keep(with_bitorder(INT_TO_BIN_DOC)));
    m.def("hex_to_bin", py_hex_to_bin, "hex"_a, "out"_a.none(), "bitorder"_a, keep(with_bitorder(HEX_TO_BIN_DOC)));
    m.def("bin_to_int", py_bin_to_int, "bits"_a, "bitorder"_a, keep(with_bitorder(BIN_TO_INT_DOC)));
    m.def("bin_to_hex", py_bin_to_hex, "bits"_a, "out"_a.none(), "bitorder"_a, keep(with_bitorder(BIN_TO_HEX_DOC)));
    m.def("bin_to_nrz", py_bin_to_nrz, "bits"_a, "out"_a.none(), BIN_TO_NRZ_DOC);
    m.def("nrz_to_bin", py_nrz_to_bin, "nrz"_a, "out"_a.none(), NRZ_TO_BIN_DOC);
}
