// veltra._telemetry: the Python face of telemetry contexts (re-exported by veltra.telemetry).
#include "vxb.h"

#include <string>

#include "vx_tlm.h"

namespace {

using namespace vxb;

struct TelemetryPy : Handle<vx_tlm, vx_tlm_destroy> {};

constexpr const char *CAPSULE_NAME = "veltra.telemetry.vx_tlm";
constexpr uint64_t DEFAULT_CAPACITY = 65536;

// The record dtype {stamp <i8, value <f4, probe <u2} of item size 16. The module holds its
// own reference for the life of the process: user code may rebind RECORD_DTYPE.
PyArray_Descr *record_descr = nullptr;

nb::object record_dtype()
{
    nb::dict layout;
    layout["names"] = nb::make_tuple("stamp", "value", "probe");
    layout["formats"] = nb::make_tuple("<i8", "<f4", "<u2");
    layout["offsets"] = nb::make_tuple(0, 8, 12);
    layout["itemsize"] = sizeof(vx_tlm_record);
    return nb::module_::import_("numpy").attr("dtype")(layout);
}

nb::object new_records(uint64_t n)
{
    npy_intp dim = static_cast<npy_intp>(n);
    Py_INCREF(record_descr);
    PyObject *a = PyArray_NewFromDescr(&PyArray_Type, record_descr, 1, &dim, nullptr, nullptr,
                                       0, nullptr);
    if (!a)
        raise_pending();
    return nb::steal(a);
}

template <class T> T *data(nb::handle a)
{
    return static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.ptr())));
}

uint64_t size(nb::handle a)
{
    return static_cast<uint64_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject *>(a.ptr())));
}

// A capsule holding a reference to the context itself: after the Telemetry is destroyed
// the capsule still points at valid (closed) memory, which set_telemetry refuses.
nb::object capsule(vx_tlm *ctx)
{
    PyObject *cap = PyCapsule_New(ctx, CAPSULE_NAME, [](PyObject *c) {
        vx_tlm_release(static_cast<vx_tlm *>(PyCapsule_GetPointer(c, CAPSULE_NAME)));
    });
    if (!cap)
        raise_pending();
    vx_tlm_retain(ctx);
    return nb::steal(cap);
}

// Sizes and decimations are range-checked here rather than wrapped modulo 2^64, so a
// negative or huge value is refused instead of turning into another valid one.
int64_t as_i64(nb::int_ v)
{
    const long long x = PyLong_AsLongLong(v.ptr());
    if (x == -1 && PyErr_Occurred())
        raise_pending();
    return x;
}

uint64_t capacity_of(nb::int_ v)
{
    const int64_t c = as_i64(v);
    if (c < 1)
        raise(PyExc_ValueError, "capacity must be at least 1");
    return static_cast<uint64_t>(c);
}

uint64_t decim_of(nb::int_ v)
{
    const long long d = PyLong_AsLongLong(v.ptr());
    if (d == -1 && PyErr_Occurred())
        PyErr_Clear();  // beyond 64 bits: out of range like any other
    else if (d >= 1 && static_cast<uint64_t>(d) <= VX_TLM_MAX_DECIM)
        return static_cast<uint64_t>(d);
    raise(PyExc_ValueError, "decim must be in 1..%llu, got %s", VX_TLM_MAX_DECIM,
          nb::str(v).c_str());
}

int32_t probe_of(const vx_tlm *ctx, nb::handle probe)
{
    if (PyUnicode_Check(probe.ptr())) {
        Py_ssize_t n;
        const char *utf8 = PyUnicode_AsUTF8AndSize(probe.ptr(), &n);
        if (!utf8)
            raise_pending();
        const char *name = Text{utf8, n}.c_str();  // no embedded NUL
        const int id = vx_tlm_probe_id(ctx, name);
        if (id < 0)
            raise(PyExc_KeyError, "no probe named '%s'", name);
        return id;
    }
    const long long id = PyLong_AsLongLong(probe.ptr());
    if (id == -1 && PyErr_Occurred())
        raise_pending();
    if (id < 0 || id >= vx_tlm_probe_count(ctx))
        raise(PyExc_KeyError, "no probe with id %lld", id);
    return static_cast<int32_t>(id);
}

// {name: values} or {name: (stamps, values)} of the records, one entry per probe.
nb::dict split(const vx_tlm *ctx, nb::handle records, bool with_stamps)
{
    Py_INCREF(record_descr);
    nb::object arr = nb::steal(PyArray_FromAny(records.ptr(), record_descr, 0, 0,
                                               NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED,
                                               nullptr));
    if (!arr)
        raise_pending();
    const auto *recs = data<vx_tlm_record>(arr);
    const uint32_t n_probes = vx_tlm_probe_count(ctx);
    uint64_t counts[VX_TLM_MAX_PROBES];
    float *values[VX_TLM_MAX_PROBES];
    int64_t *stamps[VX_TLM_MAX_PROBES];
    vx_tlm_demux_counts(recs, size(arr), counts, n_probes);
    nb::dict out;
    for (uint32_t i = 0; i < n_probes; ++i) {
        OutArray<float> v(nb::none(), counts[i]);
        values[i] = v.data();
        nb::object entry = v.finish(counts[i]);
        if (with_stamps) {
            OutArray<int64_t> s(nb::none(), counts[i]);
            stamps[i] = s.data();
            entry = nb::make_tuple(s.finish(counts[i]), entry);
        }
        out[vx_tlm_probe_name(ctx, i)] = entry;
    }
    vx_tlm_demux(recs, size(arr), values, with_stamps ? stamps : nullptr, counts, n_probes);
    return out;
}

nb::object read(vx_tlm *ctx, nb::handle count)
{
    // The count first: its __index__ may run Python code, even a read of this context.
    const uint64_t want = count.is_none() ? UINT64_MAX : read_count(count, 0);
    const uint64_t avail = vx_tlm_read_max_out(ctx);
    const uint64_t n = want < avail ? want : avail;
    nb::object arr = new_records(n);
    // Only this thread consumes, so exactly n records are there to copy.
    vx_tlm_read(ctx, n, data<vx_tlm_record>(arr), n);
    return arr;
}

const char *const TELEMETRY_DOC = R"doc(Telemetry context: named probes and a ring of 16-byte records.

Objects that support telemetry (tracking loops, receivers, AGC) attach with
``obj.set_telemetry(tlm, "prefix", decim)`` and then emit one record per probe per
look while they run. Another thread (or the same one, later) drains the records with
``read`` and splits them per probe. A full ring drops new records, never old ones,
and counts them in ``dropped``; producing never blocks.

Parameters
----------
capacity : int, optional
    Most unread records the ring holds. Default 65536 (1 MiB of records).

Raises
------
ValueError
    "capacity must be at least 1" for 0 or a negative capacity.
MemoryError
    "vx_tlm_create returned NULL" when a ring that large cannot be mapped.

Notes
-----
Threads: every object attached to one context must be stepped from one thread
(the producer), and one thread reads. ``probe``, ``set_decim``, ``stamp``,
``resize`` and ``destroy`` are set-up calls: nothing may produce or read
meanwhile.

Lifetime: each attached object (and each capsule from ``capsule``) holds the
context itself, not this instance. ``destroy()``, leaving a ``with`` block or
garbage collection closes the context: attached objects go on running, their
records are dropped, and the memory goes with the last attachment. A capsule
of a closed context is refused by ``set_telemetry``.

Each record holds the context's ``stamp`` at emission, the value as float32
and the probe id; see ``RECORD_DTYPE``.

Examples
--------
>>> from veltra.telemetry import Telemetry
>>> with Telemetry(1024) as tlm:
...     lock = tlm.probe("car.lock")
...     tlm.emit(lock, [0.1, 0.5, 0.9])
...     tlm.available
3
>>> tlm = Telemetry(8)
>>> tlm.probe("agc.gain")
0
>>> tlm.stamp = 4000
>>> tlm.emit("agc.gain", 2.5)
>>> rec = tlm.read()
>>> rec["stamp"], rec["value"], rec["probe"]
(array([4000]), array([2.5], dtype=float32), array([0], dtype=uint16))
)doc";

}  // namespace

NB_MODULE(_telemetry, m)
{
    init_module(m, "Telemetry contexts (re-exported by veltra.telemetry).");
    nb::object dtype = record_dtype();
    record_descr = reinterpret_cast<PyArray_Descr *>(dtype.inc_ref().ptr());
    m.attr("RECORD_DTYPE") = dtype;

    Class<TelemetryPy> cls(m, "Telemetry", TELEMETRY_DOC);
    cls.ctor(+[](nb::int_ capacity) { return vx_tlm_create(capacity_of(capacity)); },
             no_memory("vx_tlm"), "capacity"_a = nb::int_(DEFAULT_CAPACITY))
        .repr(+[](const vx_tlm *c) { return Args().u("capacity", vx_tlm_capacity(c)); })
        .no_pickle("a live ring buffer")
        .fn("probe", +[](vx_tlm *c, Text text, nb::int_ decim) {
            const char *name = text.c_str();
            const uint64_t d = decim_of(decim);
            if (std::char_traits<char>::length(name) >= VX_TLM_NAME_BYTES)
                raise(PyExc_ValueError, "probe name '%s' is longer than %d bytes", name,
                      VX_TLM_NAME_BYTES - 1);
            const int id = vx_tlm_probe(c, name, d);
            if (id < 0)
                raise(PyExc_ValueError, "the probe table is full (%d probes)", VX_TLM_MAX_PROBES);
            return id;
        }, "name"_a, "decim"_a = nb::int_(1), R"doc(Register a probe, or retune one already registered.

Parameters
----------
name : str
    Probe name, at most 31 bytes of UTF-8.
decim : int, optional
    Emit every decim-th request, the first one included (1..2**31-1). Default 1.

Returns
-------
int
    The probe id: its position in ``probe_names``. A registered name keeps its id
    and takes the new decimation.

Raises
------
ValueError
    For a name too long, a decimation out of range, or a 65th probe.

Examples
--------
>>> from veltra.telemetry import Telemetry
>>> tlm = Telemetry(16)
>>> tlm.probe("a"), tlm.probe("b", decim=4), tlm.probe("a", decim=2)
(0, 1, 0)
)doc")
        .fn("probe_id", +[](vx_tlm *c, nb::handle name) { return probe_of(c, name); }, "name"_a,
            R"doc(Id of a registered probe.

Parameters
----------
name : str
    The probe's name.

Returns
-------
int

Raises
------
KeyError
    If no probe has that name.
)doc")
        .fn("set_decim", +[](vx_tlm *c, nb::handle name, nb::int_ decim) {
            const uint64_t d = decim_of(decim);
            vx_tlm_set_decim(c, vx_tlm_probe_name(c, probe_of(c, name)), d);
        }, "name"_a, "decim"_a, R"doc(Change a probe's decimation; its next request emits.

Parameters
----------
name : str
    A registered probe.
decim : int
    1..2**31-1.

Raises
------
KeyError
    If no probe has that name.
ValueError
    If `decim` is out of range.
)doc")
        .fn("emit", +[](vx_tlm *c, nb::handle probe, nb::handle values) {
            const int32_t id = probe_of(c, probe);
            // Values are float32 by definition: any real input is converted.
            nb::object a = nb::steal(PyArray_FromAny(values.ptr(), PyArray_DescrFromType(NPY_FLOAT32),
                                                     0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST,
                                                     nullptr));
            if (!a)
                raise_pending();
            vx_tlm_emit_block(c, id, data<float>(a), size(a));
        }, "probe"_a, "values"_a, R"doc(Emit values of one probe from Python, one request per value.

The producer-thread rule holds: emit only from the thread that steps the
objects attached to this context.

Parameters
----------
probe : int or str
    Probe id or name.
values : float or array_like of float
    Values, converted to float32, any shape, taken in C order.

Raises
------
KeyError
    If the probe is not registered.

Examples
--------
>>> from veltra.telemetry import Telemetry
>>> tlm = Telemetry(16)
>>> _ = tlm.probe("x", decim=2)
>>> tlm.emit("x", [1.0, 2.0, 3.0])
>>> tlm.read()["value"]
array([1., 3.], dtype=float32)
)doc")
        .fn("read", +[](vx_tlm *c, nb::handle count) { return read(c, count); },
            "count"_a.none() = nb::none(), R"doc(Drain records in emission order.

Parameters
----------
count : int, optional
    Most records to take; all available when omitted.

Returns
-------
ndarray of RECORD_DTYPE
    One-dimensional records with fields "stamp" (int64), "value" (float32) and
    "probe" (uint16, the probe id). Their slots are free for the producer again.

Raises
------
ValueError
    If `count` is negative.

Examples
--------
>>> from veltra.telemetry import Telemetry
>>> tlm = Telemetry(16)
>>> tlm.emit(tlm.probe("e"), [0.5, -0.5, 0.25])
>>> tlm.read(2)["value"], tlm.available
(array([ 0.5, -0.5], dtype=float32), 1)
)doc")
        .fn("split", +[](vx_tlm *c, nb::handle records, Flag with_stamps) {
            return split(c, records, with_stamps);
        }, "records"_a, "with_stamps"_a = Flag{false}, R"doc(Split records per probe.

Parameters
----------
records : array_like of RECORD_DTYPE
    Records from ``read``.
with_stamps : bool, optional
    Also return each probe's stamps.

Returns
-------
dict
    For every registered probe, by name: its values (float32, in emission order),
    or with `with_stamps` a tuple ``(stamps, values)``. A probe without records
    maps to empty arrays.

Examples
--------
>>> from veltra.telemetry import Telemetry
>>> tlm = Telemetry(16)
>>> a, b = tlm.probe("a"), tlm.probe("b")
>>> for v in range(3):
...     tlm.emit(a, v)
...     tlm.emit(b, -v)
>>> tlm.split(tlm.read())
{'a': array([0., 1., 2.], dtype=float32), 'b': array([ 0., -1., -2.], dtype=float32)}
)doc")
        .fn("read_by_probe", +[](vx_tlm *c, nb::handle count, Flag with_stamps) {
            return split(c, read(c, count), with_stamps);
        }, "count"_a.none() = nb::none(), "with_stamps"_a = Flag{false},
            R"doc(``split(read(count), with_stamps)``: drain and split per probe in one call.

Parameters
----------
count : int, optional
    Most records to take; all available when omitted.
with_stamps : bool, optional
    Also return each probe's stamps.

Returns
-------
dict
    As ``split``.

Examples
--------
>>> from veltra.telemetry import Telemetry
>>> tlm = Telemetry(16)
>>> tlm.emit(tlm.probe("lock"), [0.2, 0.9])
>>> tlm.read_by_probe(with_stamps=True)
{'lock': (array([0, 0]), array([0.2, 0.9], dtype=float32))}
)doc")
        .fn("resize", +[](vx_tlm *c, nb::int_ capacity) {
            check_status(vx_tlm_resize(c, capacity_of(capacity)), "resize");
        }, "capacity"_a, R"doc(Grow the ring (set-up path: nothing may produce or read meanwhile).

A capacity above the current one builds a new empty ring: unread records and the
drop count are discarded, probes are kept. Any other capacity changes nothing.

Parameters
----------
capacity : int
    Most unread records the new ring holds.

Raises
------
ValueError
    "resize failed (rc=-4)" when the new ring cannot be mapped; the old one is kept.
)doc")
        .ro("capacity", vx_tlm_capacity, "Most unread records the ring holds.")
        .ro("available", vx_tlm_avail, "Records waiting to be read.")
        .ro("dropped", vx_tlm_dropped, "Records lost to a full ring since it was built.")
        .ro("emitted", +[](const vx_tlm *c) { return vx_tlm_stats(c).emitted; },
            "Records put into the ring, all probes together.")
        .ro("probe_count", vx_tlm_probe_count, "Number of registered probes (at most 64).")
        .ro("probe_names", +[](const vx_tlm *c) {
            nb::list names;
            for (uint32_t i = 0; i < vx_tlm_probe_count(c); ++i)
                names.append(vx_tlm_probe_name(c, i));
            return names;
        }, "Registered probe names; a probe's id is its position.");
    cls.def_prop_rw("stamp", [](TelemetryPy &h) { return vx_tlm_stamp(h.get()); },
                    [](TelemetryPy &h, int64_t v) { vx_tlm_set_stamp(h.get(), v); },
                    "Stamp copied into every record emitted from now on (an int64, 0 at first;\n"
                    "set it from the producer thread, for example to a sample count).");
    cls.def_prop_ro("capsule", [](TelemetryPy &h) { return capsule(h.get()); }, R"doc(The context as a capsule named "veltra.telemetry.vx_tlm".

``set_telemetry`` takes this or the Telemetry itself. The capsule keeps the
context's memory, not this instance: once the Telemetry is destroyed,
``set_telemetry`` refuses the capsule ("telemetry context is closed").

Examples
--------
>>> from veltra.telemetry import Telemetry
>>> type(Telemetry(4).capsule).__name__
'PyCapsule'
)doc");
    cls.def_prop_ro("_capsule", [](TelemetryPy &h) { return capsule(h.get()); }, "The context capsule, under the attribute name ``set_telemetry`` looks for.");
}
