// veltra.buffer: single-producer single-consumer stream buffers between threads.
//
// The consumer's wait() runs without the interpreter lock and marks the instance busy, so
// destroy(), reset() and the other consumer calls refuse meanwhile; the producer's calls
// (write, write_some, close) and the properties go on, as the protocol intends. Views are
// read-only arrays straight into the ring whose base holds a reference to the buffer, so
// the mapping outlives destroy() for as long as a view does.
#include <cstring>
#include <string>

#include "vxb.h"

#include "buffer.h"
#include "vx_interrupt.h"

namespace {

using namespace vxb;

const char *const VIEW_CAPSULE = "veltra.buffer.ring";
const char *const CAPACITY_MSG = "capacity must be at least 1, and small enough to map";

// The element of each class: its NumPy descriptor and how a wrong dtype is reported.
struct Element {
    const char *name;
    const char *what;           // the element, in the class docstring
    uint64_t size;
    int type_num;               // NPY_NOTYPE for the IQ record
    const char *dtype_message;  // printf format with one %R
};

PyArray_Descr *iq_record = nullptr;  // {"i": <i2 at 0, "q": <i2 at 2}, itemsize 4

PyArray_Descr *descr_of(const Element &e)
{
    if (e.type_num == NPY_NOTYPE) {
        Py_INCREF(iq_record);
        return iq_record;
    }
    return PyArray_DescrFromType(e.type_num);
}

// `x` as the producer's input: an ndarray of exactly the element dtype, 1-D, C-contiguous.
PyArrayObject *input(nb::handle x, const Element &e)
{
    if (!PyArray_Check(x.ptr()))
        raise(PyExc_TypeError, e.dtype_message, reinterpret_cast<PyObject *>(Py_TYPE(x.ptr())));
    auto *a = reinterpret_cast<PyArrayObject *>(x.ptr());
    PyArray_Descr *want = descr_of(e);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(a), want);
    Py_DECREF(want);
    if (!same)
        raise(PyExc_TypeError, e.dtype_message, reinterpret_cast<PyObject *>(PyArray_DESCR(a)));
    if (PyArray_NDIM(a) != 1 || !PyArray_IS_C_CONTIGUOUS(a))
        raise(PyExc_ValueError, "x must be a 1-D C-contiguous array (got %d-D%s)", PyArray_NDIM(a),
              PyArray_IS_C_CONTIGUOUS(a) ? "" : ", not contiguous");
    return a;
}

// The producer side and the properties need only a live buffer (h.get()); the consumer
// side and reset also need no wait in progress (one consumer at a time).
template <class H> vx_buffer *idle_consumer(H &h)
{
    vx_buffer *b = h.get();
    if (h.busy)
        H::raise_busy();
    return b;
}

// A read-only view of n elements at the consumer's position.
nb::object view(vx_buffer *b, uint64_t n, const Element &e)
{
    buffer_retain(b);
    PyObject *owner = PyCapsule_New(b, VIEW_CAPSULE, [](PyObject *cap) {
        buffer_release(static_cast<vx_buffer *>(PyCapsule_GetPointer(cap, VIEW_CAPSULE)));
    });
    if (!owner) {
        buffer_release(b);
        raise_pending();
    }
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    PyObject *arr = PyArray_NewFromDescr(&PyArray_Type, descr_of(e), 1, dims, nullptr,
                                         const_cast<void *>(buffer_view(b)), NPY_ARRAY_C_CONTIGUOUS, nullptr);
    if (!arr || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(arr), owner) < 0) {
        Py_XDECREF(arr);
        if (!arr)
            Py_DECREF(owner);
        raise_pending();
    }
    return nb::steal(arr);
}

// A wait or peek that found fewer than n elements: Python's signal handlers first (their
// exception wins), then the failure by rank.
[[noreturn]] void not_ready(int rc, const char *method, uint64_t n, uint64_t capacity)
{
    if (PyErr_CheckSignals() < 0)
        raise_pending();
    if (rc == VX_ERR_INVALID)
        raise(PyExc_ValueError, "%s(%lld) can never be satisfied: the ring holds %lld", method,
              static_cast<long long>(n), static_cast<long long>(capacity));
    if (rc == VX_ERR_EOF)
        raise(PyExc_EOFError, "end of stream: the producer closed the ring");
    if (rc == VX_ERR_INTERRUPTED)
        raise(PyExc_KeyboardInterrupt, "interrupted");
    raise(PyExc_ValueError, "%s failed", method);
}

const char *const CLASS_DOC = R"doc(Single-producer single-consumer ring of @ELEM@ samples between two threads.

The producer thread calls ``write`` (a whole block or nothing) or ``write_some``
(as much as fits) and finally ``close``; the consumer thread calls ``wait`` (blocks,
without the interpreter lock) or ``peek`` (polls) for `n` samples, gets a read-only
view straight into the ring, and releases what it used with ``consume``. The ring
is mapped twice back to back, so every view is contiguous. A waiting consumer stops
with ``EOFError`` once the producer closed the ring and it is drained, and with
``KeyboardInterrupt`` on an interrupt request (see ``veltra.interrupt``).

Parameters
----------
capacity : int
    Samples the ring holds (>= 1).

Raises
------
ValueError
    "capacity must be at least 1, and small enough to map".

Examples
--------
>>> import numpy as np
>>> from veltra.buffer import @NAME@
>>> b = @NAME@(1024)
>>> b.write(@EXAMPLE@)
True
>>> v = b.wait(3)
>>> v.shape, v.flags.writeable
((3,), False)
>>> b.consume(); b.available
5
)doc";

template <class H> void add_class(nb::module_ &m, const Element &e, const char *example)
{
    static const Element el = e;
    std::string doc = CLASS_DOC;
    for (auto [key, value] : {std::pair{"@ELEM@", e.what}, {"@NAME@", e.name}, {"@EXAMPLE@", example}})
        for (size_t at = doc.find(key); at != std::string::npos; at = doc.find(key))
            doc.replace(at, std::strlen(key), value);
    Class<H> cls(m, e.name, keep(doc));
    cls.ctor(+[](Count capacity) { return buffer_create(capacity, el.size); }, invalid(CAPACITY_MSG),
             "capacity"_a)
        .repr(+[](const vx_buffer *b) { return Args().u("capacity", b->ring->capacity); })
        .no_pickle("a live buffer shared between threads");
    cls.def("write", [](H &h, nb::handle x) {
        PyArrayObject *a = input(x, el);
        return buffer_write(h.get(), PyArray_DATA(a), static_cast<uint64_t>(PyArray_SIZE(a))) != 0;
    }, "x"_a, R"doc(Write a whole block, or nothing when it does not fit.

Parameters
----------
x : ndarray
    1-D C-contiguous samples of this buffer's dtype.

Returns
-------
bool
    True when written; False when refused (more than ``space`` or ``capacity``),
    which adds its length to ``dropped``.

Raises
------
TypeError
    For another dtype or a non-array.
ValueError
    "x must be a 1-D C-contiguous array (got N-D...)".
)doc")
        .def("write_some", [](H &h, nb::handle x) {
            PyArrayObject *a = input(x, el);
            return buffer_write_some(h.get(), PyArray_DATA(a), static_cast<uint64_t>(PyArray_SIZE(a)));
        }, "x"_a, R"doc(Write as many leading samples as fit.

Parameters
----------
x : ndarray
    1-D C-contiguous samples of this buffer's dtype.

Returns
-------
int
    Samples written (0 when the ring is full); ``dropped`` is not touched.
)doc")
        .def("close", [](H &h) { buffer_close(h.get()); }, R"doc(Mark the end of the stream (producer side). Idempotent.

Samples written before stay readable; a consumer then waiting for more than
remain gets ``EOFError``.

Returns
-------
None
)doc")
        .def("reset", [](H &h) { buffer_reset(idle_consumer(h)); }, R"doc(Empty the ring and reopen it; ``dropped`` is kept (a lifetime count).

Both sides must be idle: refused while a ``wait`` runs.

Returns
-------
None
)doc")
        .def("wait", [](H &h, Count n) {
            vx_buffer *b = idle_consumer(h);
            Use<H> pin(h);
            // Samples already there are lent at once: no round trip of the interpreter lock.
            int rc = buffer_wait(b, n, 0);
            if (rc == VX_ERR_TIMEOUT) {
                Released<H> unlocked(h);
                rc = buffer_wait(b, n, 1);
            }
            if (rc != VX_OK)
                not_ready(rc, "wait", n, b->ring->capacity);
            return view(b, n, el);
        }, "n"_a, R"doc(Block until `n` samples are available and return a view of them.

Spins without the interpreter lock, re-reading the ring and the end-of-stream and
interrupt flags every round.

Parameters
----------
n : int
    Samples wanted (<= capacity).

Returns
-------
ndarray
    Read-only 1-D view of the next `n` samples, valid until ``consume`` releases
    them.

Raises
------
ValueError
    "wait(n) can never be satisfied: the ring holds capacity".
EOFError
    "end of stream: the producer closed the ring" (closed and fewer than `n` left).
KeyboardInterrupt
    "interrupted", on an interrupt request.
)doc")
        .def("peek", [](H &h, Count n) -> nb::object {
            vx_buffer *b = idle_consumer(h);
            const int rc = buffer_wait(b, n, 0);
            if (rc == VX_OK)
                return view(b, n, el);
            if (rc == VX_ERR_TIMEOUT && PyErr_CheckSignals() == 0)
                return nb::none();
            not_ready(rc, "peek", n, b->ring->capacity);
        }, "n"_a, R"doc(Like ``wait`` without blocking: the view, or None when not yet available.

Parameters
----------
n : int
    Samples wanted.

Returns
-------
ndarray or None

Raises
------
ValueError, EOFError, KeyboardInterrupt
    As ``wait``.
)doc")
        .def("consume", [](H &h, Count n) {
            vx_buffer *b = idle_consumer(h);
            uint64_t count = n;
            if (count == 0) {
                if (b->loan == 0)
                    raise(PyExc_RuntimeError, "consume() has no outstanding borrow to release; pass a "
                                              "count, or call it after a borrow");
                count = b->loan;
            }
            const int rc = buffer_consume(b, count);
            if (rc != VX_OK)
                raise(PyExc_ValueError, "%s (rc=%lld)",
                      "consume(n): n exceeds the samples available; nothing was released",
                      static_cast<long long>(rc));
        }, "n"_a = Count{0}, R"doc(Release samples to the producer.

Parameters
----------
n : int, optional
    Samples to release; 0 (default) releases the view last lent by ``wait`` or
    ``peek``. Views of released samples must not be used afterwards.

Returns
-------
None

Raises
------
RuntimeError
    With n = 0 and no outstanding view.
ValueError
    When n exceeds ``available``; nothing is released.
)doc")
        .def_prop_ro("capacity", [](H &h) { return h.get()->ring->capacity; }, "Samples the ring holds.")
        .def_prop_ro("available", [](H &h) { return buffer_available(h.get()); }, "Samples written and not yet consumed.")
        .def_prop_ro("space", [](H &h) { return buffer_space(h.get()); }, "Samples that can be written now.")
        .def_prop_ro("dropped", [](H &h) { return vx_ring_dropped(h.get()->ring); },
                     "Samples in writes refused whole (a lifetime count; reset keeps it).")
        .def_prop_ro("closed", [](H &h) { return vx_ring_closed(h.get()->ring) != 0; },
                     "True once the producer called close().");
}

// Not exclusive: the producer's calls run beside the consumer's.
struct F32BufferPy : Handle<vx_buffer, buffer_release, false> {};
struct F64BufferPy : Handle<vx_buffer, buffer_release, false> {};
struct I16BufferPy : Handle<vx_buffer, buffer_release, false> {};

}  // namespace

NB_MODULE(buffer, m)
{
    init_module(m, "Stream buffers between a producer thread and a consumer thread.");
    vx_interrupt_guard_state_adopt(static_cast<vx_interrupt_state *>(shared_interrupt_state()));

    nb::object np = nb::module_::import_("numpy");
    nb::list fields;
    fields.append(nb::make_tuple("i", "<i2"));
    fields.append(nb::make_tuple("q", "<i2"));
    nb::object rec = np.attr("dtype")(fields);
    if (!PyArray_DescrConverter(rec.ptr(), &iq_record))
        raise_pending();  // kept for the life of the process

    add_class<F32BufferPy>(m, {"F32Buffer", "complex64", 8, NPY_COMPLEX64, "x must be an ndarray of dtype np.complex64 (got %R)"},
                           "np.arange(8, dtype=np.complex64)");
    add_class<F64BufferPy>(m, {"F64Buffer", "complex128", 16, NPY_COMPLEX128, "x must be an ndarray of dtype np.complex128 (got %R)"},
                           "np.arange(8, dtype=np.complex128)");
    add_class<I16BufferPy>(m, {"I16Buffer", "int16 IQ", 4, NPY_NOTYPE, "x must be an array of the declared record dtype (got %R)"},
                           "np.zeros(16, np.int16).view([('i', '<i2'), ('q', '<i2')])");
}
