// Scalar core functions published over NumPy arrays: exact Python scalars in give Python
// scalars out; anything else is broadcast with NumPy's iterator.
#pragma once

#include <array>
#include <climits>
#include <cstring>
#include <tuple>
#include <utility>

#include "vxb.h"

namespace vxb {

// ---- scalar core functions over arrays -----------------------------------------------

// A module function over a core function of scalar arguments (double, or a 32-bit int
// count) that also takes arrays: the arguments broadcast together by NumPy's rules, each
// converted safely to float64 or int64, and the result is an array of the broadcast shape
// (float64, or int64 for an int result). When every argument is a scalar the result is a
// Python float or int. Counts outside the 32-bit range raise OverflowError naming the
// argument.
//     vectorize<det_pd>(m, "det_pd", {"n", "snr", "eta"}, DOC);

// Kinds of the core arguments, as carried through the iterator.
template <class T> constexpr int scalar_type()
{
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, int>, "double or int only");
    return std::is_same_v<T, double> ? NPY_FLOAT64 : NPY_INT64;
}

inline int checked_int(long long v, const char *name)
{
    if (v < INT_MIN || v > INT_MAX)
        raise(PyExc_OverflowError, "%s must fit in a 32-bit signed int, got %lld", name, v);
    return static_cast<int>(v);
}

// One element of the iterator's buffers, as the core argument / from the core result.
template <class T> T load_scalar(const char *p, const char *name)
{
    if constexpr (std::is_same_v<T, double>) {
        double v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        int64_t v;
        std::memcpy(&v, p, sizeof v);
        return checked_int(v, name);
    }
}
template <class T> void store_scalar(char *p, T r)
{
    if constexpr (std::is_same_v<T, double>) {
        std::memcpy(p, &r, sizeof r);
    } else {
        const int64_t v = r;
        std::memcpy(p, &v, sizeof v);
    }
}

// Exact Python float / int arguments are taken without building arrays.
template <class T> bool python_scalar(nb::handle h, const char *name, T &out)
{
    PyObject *o = h.ptr();
    if constexpr (std::is_same_v<T, double>) {
        if (PyFloat_CheckExact(o)) {
            out = PyFloat_AS_DOUBLE(o);
            return true;
        }
        if (PyLong_CheckExact(o)) {
            out = PyLong_AsDouble(o);
            if (out == -1.0 && PyErr_Occurred())
                raise_pending();
            return true;
        }
    } else if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow)
            raise(PyExc_OverflowError, "%s must fit in a 32-bit signed int", name);
        out = checked_int(v, name);
        return true;
    }
    return false;
}

template <class T> nb::object python_result(T r)
{
    if constexpr (std::is_same_v<T, double>)
        return nb::steal(PyFloat_FromDouble(r));
    else
        return nb::steal(PyLong_FromLongLong(r));
}

// Runs `loop` over the broadcast of `args` (converted to `types`) into a new output of
// `out_type`; data[i] / strides[i] address argument i, data[n_args] the output.
using ScalarLoop = void (*)(char **data, const npy_intp *strides, npy_intp count,
                            const char *const *names);
nb::object broadcast_apply(const nb::handle *args, const int *types, const char *const *names,
                           int n_args, int out_type, ScalarLoop loop);

template <auto F> struct Vectorized;
template <class R, class... A, R (*F)(A...)> struct Vectorized<F> {
    static constexpr size_t N = sizeof...(A);
    using Names = std::array<const char *, N>;
    template <class> using handle_t = nb::handle;

    template <size_t... I>
    static void loop(char **data, const npy_intp *strides, npy_intp count, const char *const *names,
                     std::index_sequence<I...>)
    {
        for (npy_intp k = 0; k < count; ++k)
            store_scalar<R>(data[N] + k * strides[N],
                            F(load_scalar<A>(data[I] + k * strides[I], names[I])...));
    }
    static void loop(char **data, const npy_intp *strides, npy_intp count, const char *const *names)
    {
        loop(data, strides, count, names, std::index_sequence_for<A...>{});
    }

    template <size_t... I> static nb::object call(const Names &names, const nb::handle (&h)[N],
                                                  std::index_sequence<I...>)
    {
        std::tuple<A...> v;
        if ((python_scalar(h[I], names[I], std::get<I>(v)) && ...))
            return python_result<R>(std::apply(F, v));
        static constexpr int types[N] = {scalar_type<A>()...};
        return broadcast_apply(h, types, names.data(), static_cast<int>(N), scalar_type<R>(),
                               static_cast<ScalarLoop>(&loop));
    }

    template <size_t... I>
    static void def(nb::module_ &m, const char *name, Names names, const char *doc,
                    std::index_sequence<I...>)
    {
        m.def(name, [names](handle_t<A>... h) {
            const nb::handle hs[N] = {h...};
            return call(names, hs, std::index_sequence_for<A...>{});
        }, nb::arg(names[I])..., doc);
    }
};

template <auto F>
void vectorize(nb::module_ &m, const char *name, typename Vectorized<F>::Names names, const char *doc)
{
    Vectorized<F>::def(m, name, names, doc, std::make_index_sequence<Vectorized<F>::N>{});
}

}  // namespace vxb
