// Broadcasting driver of the vectorised scalar functions.
#include "vxb_vectorize.h"

namespace vxb {

nb::object broadcast_apply(const nb::handle *args, const int *types, const char *const *names,
                           int n_args, int out_type, ScalarLoop loop)
{
    if (n_args + 1 > NPY_MAXARGS)
        raise(PyExc_TypeError, "too many arguments to broadcast");
    nb::object conv[NPY_MAXARGS];
    PyArrayObject *ops[NPY_MAXARGS];
    npy_uint32 flags[NPY_MAXARGS];
    PyArray_Descr *dtypes[NPY_MAXARGS] = {};
    for (int i = 0; i < n_args; ++i) {
        if (PyTypeNum_ISINTEGER(types[i])) {
            // Counts: the natural array first, so that floats (1.5, [2.0]) are refused by
            // the safe-cast rule instead of truncated on the way in.
            PyObject *natural = PyArray_FROM_O(args[i].ptr());
            if (!natural)
                raise_pending();
            conv[i] = as_array(nb::steal(natural), types[i]);
        } else {
            conv[i] = as_array(args[i], types[i]);
        }
        ops[i] = reinterpret_cast<PyArrayObject *>(conv[i].ptr());
        flags[i] = NPY_ITER_READONLY;
    }
    ops[n_args] = nullptr;
    flags[n_args] = NPY_ITER_WRITEONLY | NPY_ITER_ALLOCATE;
    dtypes[n_args] = PyArray_DescrFromType(out_type);
    NpyIter *it = NpyIter_MultiNew(n_args + 1, ops, NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK,
                                   NPY_KEEPORDER, NPY_NO_CASTING, flags, dtypes);
    Py_DECREF(dtypes[n_args]);
    if (!it)
        raise_pending();
    struct Release {
        NpyIter *it;
        ~Release() { NpyIter_Deallocate(it); }
    } release{it};

    nb::object out = nb::borrow(reinterpret_cast<PyObject *>(NpyIter_GetOperandArray(it)[n_args]));
    if (NpyIter_GetIterSize(it) > 0) {
        NpyIter_IterNextFunc *next = NpyIter_GetIterNext(it, nullptr);
        if (!next)
            raise_pending();
        char **data = NpyIter_GetDataPtrArray(it);
        const npy_intp *strides = NpyIter_GetInnerStrideArray(it);
        const npy_intp *count = NpyIter_GetInnerLoopSizePtr(it);
        do {
            loop(data, strides, *count, names);
        } while (next(it));
    }
    auto *a = reinterpret_cast<PyArrayObject *>(out.ptr());
    if (PyArray_NDIM(a) == 0) {  // every argument was a scalar: a Python scalar back
        return nb::steal(out_type == NPY_FLOAT64 ? PyFloat_FromDouble(*static_cast<double *>(PyArray_DATA(a)))
                                                 : PyLong_FromLongLong(*static_cast<int64_t *>(PyArray_DATA(a))));
    }
    return out;
}

}  // namespace vxb
