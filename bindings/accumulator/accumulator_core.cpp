// veltra.accumulator: running scalar sums and the per-bin trace accumulator.
#include "vxb.h"

#include <nanobind/stl/complex.h>

#include <complex>

#include "acc.h"
#include "acc_trace.h"

namespace {

using namespace vxb;

struct AccF32Py : Handle<acc_f32, acc_f32_destroy> {};
struct AccCf64Py : Handle<acc_cf64, acc_cf64_destroy> {};
struct AccTracePy : Handle<acc_trace, acc_trace_destroy> {};

// The core functions and Python scalar of one family, so both classes share one table.
template <class H> struct Family;

template <> struct Family<AccF32Py> {
    using Core = acc_f32;
    using Sample = float;
    using Py = double;
    static constexpr const char *dtype = "float32";
    static Core *create(Py v) { return acc_f32_create(static_cast<float>(v)); }
    static Py get(const Core *a) { return acc_f32_get(a); }
    static void set(Core *a, Py v) { acc_f32_set_acc(a, static_cast<float>(v)); }
    static Py dump(Core *a) { return acc_f32_dump(a); }
    static void step(Core *a, Py v)
    {
        const float x = static_cast<float>(v);
        acc_f32_steps(a, &x, 1);
    }
    static constexpr auto steps = acc_f32_steps;
    static constexpr auto add2d = acc_f32_add2d;
    static constexpr auto madd = acc_f32_madd;
    static constexpr auto madd2d = acc_f32_madd2d;
    static constexpr auto reset = acc_f32_reset;
    static constexpr auto state_bytes = acc_f32_state_bytes;
    static constexpr auto get_state = acc_f32_get_state;
    static constexpr auto set_state = acc_f32_set_state;
    static Args repr(const Core *a) { return Args().f("acc", acc_f32_get(a)); }
};

template <> struct Family<AccCf64Py> {
    using Core = acc_cf64;
    using Sample = vx_cf64;
    using Py = std::complex<double>;
    static constexpr const char *dtype = "complex128";
    static Core *create(Py v) { return acc_cf64_create(v.real(), v.imag()); }
    static Py get(const Core *a)
    {
        const vx_cf64 v = acc_cf64_get(a);
        return {v.re, v.im};
    }
    static void set(Core *a, Py v) { acc_cf64_set_acc(a, v.real(), v.imag()); }
    static Py dump(Core *a)
    {
        const vx_cf64 v = acc_cf64_dump(a);
        return {v.re, v.im};
    }
    static void step(Core *a, Py v)
    {
        const vx_cf64 x = {v.real(), v.imag()};
        acc_cf64_steps(a, &x, 1);
    }
    static constexpr auto steps = acc_cf64_steps;
    static constexpr auto add2d = acc_cf64_add2d;
    static constexpr auto madd = acc_cf64_madd;
    static constexpr auto madd2d = acc_cf64_madd2d;
    static constexpr auto reset = acc_cf64_reset;
    static constexpr auto state_bytes = acc_cf64_state_bytes;
    static constexpr auto get_state = acc_cf64_get_state;
    static constexpr auto set_state = acc_cf64_set_state;
    static Args repr(const Core *a)
    {
        const vx_cf64 v = acc_cf64_get(a);
        return Args().o("acc", nb::steal(PyComplex_FromDoubles(v.re, v.im)));
    }
};

const char *const ACC_F32_DOC = R"doc(Running single-precision real sum carried across calls.

Every operation adds term by term, in index order, into the running value, so
a stream summed in blocks of any size gives the same bits.

Parameters
----------
acc : float, optional
    Initial value, narrowed to float32. Default 0.0.

Examples
--------
>>> from veltra.accumulator import AccF32
>>> a = AccF32()
>>> a.step(1.5); a.step(2.5)
>>> a.get(), a.dump(), a.get()
(4.0, 4.0, 0.0)
)doc";

const char *const ACC_CF64_DOC = R"doc(Running double-precision complex sum carried across calls.

Every operation adds term by term, in index order, into the running value, so
a stream summed in blocks of any size gives the same bits.

Parameters
----------
acc : complex, optional
    Initial value. Default 0j.

Examples
--------
>>> import numpy as np
>>> from veltra.accumulator import AccCf64
>>> a = AccCf64(1j)
>>> a.steps(np.array([1, 2 + 1j]))
>>> a.get()
(3+2j)
>>> a.madd(np.array([1j, 1j, 1j]), np.float32([2, 3]))
>>> a.dump()
(3+7j)
)doc";

template <class H> void bind_scalar(nb::module_ &m, const char *name, const char *doc, nb::object dflt)
{
    using F = Family<H>;
    using Core = typename F::Core;
    using S = typename F::Sample;
    const std::string dt = F::dtype;
    auto madd_fn = [](auto core_fn) {
        return [core_fn](H &h, nb::handle x, nb::handle taps) {
            Use<H> c(h);
            InArray<S> xs(x);
            nb::object ha = as_param_array(taps, NPY_FLOAT32, 1, "h");
            auto *ap = reinterpret_cast<PyArrayObject *>(ha.ptr());
            core_fn(c, xs.data(), xs.size(), static_cast<const float *>(PyArray_DATA(ap)),
                    static_cast<uint64_t>(PyArray_SIZE(ap)));
        };
    };
    auto add_fn = [](auto core_fn) {
        return [core_fn](H &h, nb::handle x) {
            Use<H> c(h);
            InArray<S> xs(x);
            core_fn(c, xs.data(), xs.size());
        };
    };
    const std::string madd_doc =
        "Add ``x[i] * h[i]`` for ``i < min(len(x), len(h))``, term by term in index order.\n\n"
        "Parameters\n----------\nx : array_like of " + dt + "\n    Samples, read in C order.\n"
        "h : array_like of float32\n    One-dimensional weights.\n\nReturns\n-------\nNone\n";
    const std::string add_doc = "Add every sample of `x`, in index order.\n\nParameters\n----------\nx : array_like of " +
                                dt + "\n    Samples, any shape, read in C order.\n\nReturns\n-------\nNone\n";
    Class<H>(m, name, doc)
        .ctor(+[](typename F::Py v) { return F::create(v); }, no_memory(std::is_same_v<Core, acc_f32> ? "acc_f32" : "acc_cf64"),
              "acc"_a = dflt)
        .repr(F::repr)
        .pickle()
        .fn("step", +[](Core *a, typename F::Py v) { F::step(a, v); }, "x"_a,
            "Add one sample.\n\nParameters\n----------\nx : scalar\n    The sample.\n\nReturns\n-------\nNone\n")
        .fn("get", +[](const Core *a) { return F::get(a); }, "The running value.\n\nReturns\n-------\nscalar\n")
        .fn("get_acc", +[](const Core *a) { return F::get(a); },
            "The running value (as ``get``).\n\nReturns\n-------\nscalar\n")
        .fn("set_acc", +[](Core *a, typename F::Py v) { F::set(a, v); }, "x"_a,
            "Replace the running value.\n\nParameters\n----------\nx : scalar\n\nReturns\n-------\nNone\n")
        .fn("dump", +[](Core *a) { return F::dump(a); },
            "Return the running value and clear it to 0.\n\nReturns\n-------\nscalar\n")
        .reset(F::reset)
        .state(F::state_bytes, F::get_state, F::set_state)
        .def("steps", add_fn(F::steps), "x"_a, keep(add_doc))
        .def("add2d", add_fn(F::add2d), "x"_a, keep(add_doc))
        .def("madd", madd_fn(F::madd), "x"_a, "h"_a, keep(madd_doc))
        .def("madd2d", madd_fn(F::madd2d), "x"_a, "h"_a, keep(madd_doc));
}

const char *const ACC_TRACE_DOC = R"doc(Per-bin reduction of equal-length float frames (spectra, for example).

The first frame after construction or ``reset`` is copied; later frames fold
in by the mode: "mean" (running arithmetic mean), "exp" (``r += alpha*(p - r)``,
``alpha >= 1`` copies the frame), "maxhold" or "minhold" (element-wise extremes).
The trace is kept in double precision.

Parameters
----------
n : int, optional
    Bins per frame (>= 1). Default 1024.
mode : str, optional
    "mean", "exp", "maxhold" or "minhold". Default "mean".
alpha : float, optional
    Exponential weight, stored as given. Default 0.1.

Raises
------
ValueError
    "mode must be one of ..." for an unknown mode.
MemoryError
    "acc_trace_create returned NULL" for ``n = 0`` or a trace too large.

Examples
--------
>>> import numpy as np
>>> from veltra.accumulator import AccTrace
>>> t = AccTrace(4)
>>> t.accumulate(np.float32([1, 2, 3, 4])); t.accumulate(np.float32([3, 6, 9, 12]))
>>> t.value(), t.count
(array([2., 4., 6., 8.], dtype=float32), 2)
)doc";

const char *const MODES[] = {"mean", "exp", "maxhold", "minhold"};

acc_trace *trace_create(Count n, Text mode, double alpha)
{
    const int m = choose("mode", mode.c_str(), {MODES[0], MODES[1], MODES[2], MODES[3]});
    return acc_trace_create(n, static_cast<unsigned>(m), alpha);
}

}  // namespace

NB_MODULE(accumulator, m)
{
    init_module(m, "Running sums carried across calls, and the per-bin trace accumulator.");

    bind_scalar<AccF32Py>(m, "AccF32", ACC_F32_DOC, nb::float_(0.0));
    bind_scalar<AccCf64Py>(m, "AccCf64", ACC_CF64_DOC, nb::cast(std::complex<double>(0.0, 0.0)));

    Class<AccTracePy>(m, "AccTrace", ACC_TRACE_DOC)
        .ctor(trace_create, no_memory("acc_trace"), "n"_a = Count{1024}, "mode"_a = Text{"mean", 4}, "alpha"_a = 0.1)
        .repr(+[](const acc_trace *t) {
            return Args().u("n", acc_trace_get_n(t)).s("mode", MODES[acc_trace_get_mode(t)]).f("alpha", acc_trace_get_alpha(t));
        })
        .pickle()
        .fn("accumulate", +[](acc_trace *t, nb::handle p) {
                InArray<float> in(p);
                acc_trace_accumulate(t, in.data(), in.size());
            }, "p"_a, R"doc(Fold one frame into the trace.

Parameters
----------
p : array_like of float32
    The frame; only its first ``n`` values are used, and a frame shorter than
    ``n`` is ignored.

Returns
-------
None

Examples
--------
>>> import numpy as np
>>> from veltra.accumulator import AccTrace
>>> t = AccTrace(3, mode="maxhold")
>>> for p in ([1, 5, 2], [4, 0, 3]): t.accumulate(np.float32(p))
>>> t.value().tolist()
[4.0, 5.0, 3.0]
)doc")
        .fn("value_max_out", acc_trace_value_max_out, "Values ``value`` writes: ``n``.\n\nReturns\n-------\nint\n")
        .reset(acc_trace_reset)
        .state(acc_trace_state_bytes, acc_trace_get_state, acc_trace_set_state)
        .ro("n", acc_trace_get_n, "Bins per frame.")
        .ro("count", acc_trace_get_count, "Frames folded in since construction or reset.")
        .ro("mode", acc_trace_get_mode, "Reduction mode index: 0 mean, 1 exp, 2 maxhold, 3 minhold.")
        .rw("alpha", acc_trace_get_alpha, acc_trace_set_alpha, "Exponential weight; writable, stored as given.")
        .def("value", [](AccTracePy &h, nb::handle count, nb::handle out) {
                Use<AccTracePy> c(h);
                read_count(count, 1);  // validated, but the whole trace is returned
                OutArray<float> y(out, acc_trace_value_max_out(c));
                return y.finish(acc_trace_value(c, 1, y.data(), y.capacity()));
            }, "count"_a.none() = 1, "out"_a.none() = nb::none(), R"doc(The reduced trace.

Parameters
----------
count : int, optional
    Accepted for symmetry with the read-out methods; the whole trace is
    returned whatever it is. Default 1.
out : ndarray of float32, optional
    Destination of at least ``n`` elements.

Returns
-------
ndarray of float32
    The ``n`` values, or an empty array before the first frame.

Examples
--------
>>> from veltra.accumulator import AccTrace
>>> AccTrace(8).value().shape
(0,)
)doc");
}
