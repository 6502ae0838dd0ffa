// The one translation unit of each module that holds the NumPy C-API table.
#define VXB_DEFINE_ARRAY_API
#include "vxb.h"

#include <cstdarg>
#include <cstdio>
#include <deque>

namespace vxb {

void raise(PyObject *type, const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    PyErr_SetString(type, buf);
    throw nb::python_error();
}

int choose(const char *keyword, std::string_view got, std::initializer_list<const char *> names)
{
    int i = 0;
    for (const char *n : names) {
        if (got == n)
            return i;
        ++i;
    }
    std::string msg = std::string(keyword) + " must be one of ";
    i = 0;
    for (const char *n : names)
        msg += (i++ ? ", \"" : "\"") + std::string(n) + "\"";
    msg += ", got '" + std::string(got) + "'";
    // A Python str, so a received value with an embedded NUL is shown whole.
    nb::object text = nb::steal(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()),
                                                     "replace"));
    if (!text)
        raise_pending();
    PyErr_SetObject(PyExc_ValueError, text.ptr());
    throw nb::python_error();
}

vx_tlm *telemetry_context(nb::handle tlm)
{
    nb::object keep;
    return telemetry_context(tlm, keep);
}

vx_tlm *telemetry_context(nb::handle tlm, nb::object &cap)
{
    if (tlm.is_none())
        return nullptr;
    cap = nb::borrow(tlm);
    if (!PyCapsule_CheckExact(cap.ptr())) {
        // Only a missing attribute means "not a holder": an error raised while computing
        // it propagates.
        if (PyObject *held = PyObject_GetAttrString(tlm.ptr(), "_capsule"))
            cap = nb::steal(held);
        else if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Clear();
        else
            raise_pending();
    }
    // A capsule of another name raises the capsule's own ValueError.
    void *p = PyCapsule_GetPointer(cap.ptr(), "veltra.telemetry.vx_tlm");
    if (!p)
        raise_pending();
    return static_cast<vx_tlm *>(p);
}

std::string fs_path(nb::handle path)
{
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &bytes))
        raise_pending();
    std::string s(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return s;
}

void *shared_interrupt_state()
{
    nb::object mod = nb::module_::import_("veltra.interrupt.interrupt");
    nb::object cap = mod.attr("_gx_pg_vx_interrupt_guard");
    void *p = PyCapsule_GetPointer(cap.ptr(), "veltra.vx_interrupt_guard._gx_procglobal");
    if (!p)
        raise_pending();
    return p;
}

nb::object as_array(nb::handle obj, int type_num)
{
    // No NPY_ARRAY_FORCECAST: only safe casts, so float64 is never narrowed silently.
    PyObject *a = PyArray_FromAny(obj.ptr(), PyArray_DescrFromType(type_num), 0, 0,
                                  NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr);
    if (!a)
        raise_pending();
    return nb::steal(a);
}

nb::object private_copy(nb::handle arr)
{
    PyObject *c = PyArray_NewCopy(reinterpret_cast<PyArrayObject *>(arr.ptr()), NPY_CORDER);
    if (!c)
        raise_pending();
    return nb::steal(c);
}

nb::object as_param_array(nb::handle obj, int type_num, int ndim, const char *name)
{
    PyArray_Descr *d = type_num == NPY_NOTYPE ? nullptr : PyArray_DescrFromType(type_num);
    PyObject *a = PyArray_FromAny(obj.ptr(), d, 0, 0,
                                  NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST,
                                  nullptr);
    if (!a)
        raise_pending();
    nb::object arr = nb::steal(a);
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject *>(a)) != ndim)
        raise(PyExc_ValueError, "%s must be a %d-D array", name, ndim);
    return arr;
}

PyArrayObject *checked_out(nb::handle out, int type_num, const char *name)
{
    PyObject *o = out.ptr();
    if (!PyArray_Check(o))
        raise(PyExc_TypeError, "%s must be a writable, C-contiguous ndarray of the output dtype", name);
    auto *a = reinterpret_cast<PyArrayObject *>(o);
    PyArray_Descr *d = PyArray_DESCR(a);
    if (d->type_num != type_num || !PyArray_ISNBO(d->byteorder) || !PyArray_IS_C_CONTIGUOUS(a) ||
        !PyArray_ISWRITEABLE(a) || !PyArray_ISALIGNED(a))
        raise(PyExc_TypeError, "%s must be a writable, C-contiguous ndarray of the output dtype", name);
    return a;
}

static nb::object new_vector(int type_num, uint64_t n)
{
    if (n > static_cast<uint64_t>(NPY_MAX_INTP))
        raise(PyExc_MemoryError, "cannot allocate an output of %llu elements",
              static_cast<unsigned long long>(n));
    npy_intp dim = static_cast<npy_intp>(n);
    PyObject *a = PyArray_SimpleNew(1, &dim, type_num);
    if (!a)
        raise_pending();
    return nb::steal(a);
}

nb::object out_alloc(nb::handle out, int type_num, uint64_t need, const char *name)
{
    if (out.is_none())
        return new_vector(type_num, need);
    PyArrayObject *a = checked_out(out, type_num, name);
    const uint64_t have = static_cast<uint64_t>(PyArray_SIZE(a));
    if (have < need)
        raise(PyExc_ValueError, "%s has %zu elements, need >= %zu", name, static_cast<size_t>(have),
              static_cast<size_t>(need));
    return nb::borrow(out);
}

nb::object out_finish(nb::handle out, nb::handle arr, uint64_t produced)
{
    auto *a = reinterpret_cast<PyArrayObject *>(arr.ptr());
    npy_intp dim = static_cast<npy_intp>(produced);
    if (out.is_none()) {
        if (dim != PyArray_SIZE(a)) {
            PyArray_Dims shape = {&dim, 1};
            PyObject *r = PyArray_Resize(a, &shape, 0, NPY_CORDER);
            if (!r)
                raise_pending();
            Py_DECREF(r);
        }
        return nb::borrow(arr);
    }
    // A 1-D view of out's first `produced` elements whose base is out.
    PyArray_Descr *d = PyArray_DESCR(a);
    Py_INCREF(d);
    PyObject *v = PyArray_NewFromDescr(&PyArray_Type, d, 1, &dim, nullptr, PyArray_DATA(a),
                                       NPY_ARRAY_CARRAY, nullptr);
    if (!v)
        raise_pending();
    Py_INCREF(out.ptr());
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(v), out.ptr()) < 0) {
        Py_DECREF(v);
        raise_pending();
    }
    return nb::steal(v);
}

nb::object map_alloc(nb::handle out, int type_num, uint64_t n)
{
    if (out.is_none())
        return new_vector(type_num, n);
    PyArrayObject *a = checked_out(out, type_num, "out");
    if (static_cast<uint64_t>(PyArray_SIZE(a)) != n)
        raise(PyExc_ValueError, "out length %zd != input length %zd",
              static_cast<Py_ssize_t>(PyArray_SIZE(a)), static_cast<Py_ssize_t>(n));
    return nb::borrow(out);
}

uint64_t read_count(nb::handle count, uint64_t natural)
{
    if (count.is_none())
        return natural;
    const Py_ssize_t n = PyNumber_AsSsize_t(count.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        raise_pending();
    if (n < 0)
        raise(PyExc_ValueError, "count must be >= 0, got %zd", n);
    return static_cast<uint64_t>(n);
}

const char *keep(std::string s)
{
    static std::deque<std::string> store;
    store.push_back(std::move(s));
    return store.back().c_str();
}

Args &Args::put(const char *name, const std::string &text, nb::handle value)
{
    if (!value.is_valid())
        raise_pending();
    if (!s_.empty())
        s_ += ", ";
    s_ += name;
    s_ += '=';
    s_ += text;
    kw_[name] = value;
    return *this;
}

Args &Args::f(const char *name, double v)
{
    char *t = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!t)
        raise_pending();
    std::string r(t);
    PyMem_Free(t);
    return put(name, r, nb::steal(PyFloat_FromDouble(v)));
}

Args &Args::i(const char *name, long long v)
{
    return put(name, std::to_string(v), nb::steal(PyLong_FromLongLong(v)));
}
Args &Args::u(const char *name, unsigned long long v)
{
    return put(name, std::to_string(v), nb::steal(PyLong_FromUnsignedLongLong(v)));
}
Args &Args::b(const char *name, bool v) { return put(name, v ? "True" : "False", v ? Py_True : Py_False); }

Args &Args::s(const char *name, const char *v) { return o(name, nb::str(v)); }

Args &Args::o(const char *name, nb::handle v)
{
    // Through the C API: this file has no std::string caster, so nb::cast would throw.
    nb::object r = nb::steal(PyObject_Repr(v.ptr()));
    Py_ssize_t n = 0;
    const char *text = r ? PyUnicode_AsUTF8AndSize(r.ptr(), &n) : nullptr;
    if (!text)
        raise_pending();
    return put(name, std::string(text, static_cast<size_t>(n)), v);
}

nb::object reduce_from(nb::handle self, const nb::dict &kwargs)
{
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object cls = nb::borrow(self.type());
    nb::object make = nb::steal(PyObject_Call(partial.ptr(), nb::make_tuple(cls).ptr(), kwargs.ptr()));
    if (!make)
        raise_pending();
    nb::object blob = nb::hasattr(self, "get_state") ? self.attr("get_state")() : nb::none();
    return nb::make_tuple(make, nb::tuple(), blob);
}

void init_module(nb::module_ &m, const char *doc)
{
    // NumPy's own import sequence: _multiarray_umath from numpy._core, else numpy.core;
    // the _ARRAY_API capsule; ABI <= 2.0, C-API feature level >= 1.25; byte order.
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        throw nb::python_error();
    }
    m.doc() = doc;
    // No diagnostic output: objects still alive at interpreter exit are not reported.
    nb::set_leak_warnings(false);
    m.def("_build_info", [] {
        nb::dict d;
        d["module"] = VELTRA_MODULE_NAME;
        d["simd_level"] = vx_simd_level();
        d["compiler"] = __VERSION__;
        d["numpy_c_api"] = static_cast<unsigned>(NPY_FEATURE_VERSION);
        return d;
    }, "Build facts of this extension module (for ``veltra info``).");
}

}  // namespace vxb
