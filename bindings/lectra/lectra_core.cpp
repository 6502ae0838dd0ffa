// veltra.lectra: the capture reader.
#include "vxb.h"

#include <string>

#include "lectra.h"
#include "vx_interrupt.h"

namespace {

using namespace vxb;

struct ReaderPy : Handle<lectra, lectra_destroy> {};

const char *const OPEN_FAILED =
    "cannot open capture: no such file, unrecognised file type, or an unsupported BLUE format mode (only S and C "
    "are supported)";
const char *const SEEK_FAILED = "seek: index is negative, or past the end of the capture (0 <= index <= num_samples)";
const char *const SEEK_TIME_FAILED =
    "seek_time: the capture declares no sample rate (fs_source is 'none' -- raw and CSV always), or the time is "
    "negative, not finite, or past the end";

// Enumeration names of the properties, with the table name their range message uses.
struct Names {
    const char *table;
    std::initializer_list<const char *> names;
};
const Names FILE_TYPES{"ftype", {"raw", "csv", "blue", "sigmf"}};
const Names SAMPLE_TYPES{"stype", {"cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"}};
const Names MODES{"mode", {"complex", "scalar"}};
const Names ENDIANS{"endian", {"le", "be"}};
const Names FS_SOURCES{"fs_source", {"none", "xdelta", "core:sample_rate"}};
const Names FC_SOURCES{"fc_source", {"none", "FREQ", "RF_FREQ", "CENTER_FREQ", "F_C", "core:frequency"}};
const Names T0_SOURCES{"t0_source", {"none", "timecode", "sigmf"}};
const Names ENDINGS{"follow_end", {"none", "eof", "timeout", "interrupted"}};

const char *name_of(const char *prop, const Names &t, long v)
{
    if (v < 0 || v >= static_cast<long>(t.names.size()))
        raise(PyExc_ValueError, "%s holds out-of-range %s value %ld (valid: 0..%zu)", prop, t.table, v,
              t.names.size() - 1);
    return t.names.begin()[v];
}

lectra *create_reader(nb::handle path, const char *sample_type, const char *endian)
{
    const std::string p = fs_path(path);
    const int st = choose("sample_type", sample_type,
                          {"auto", "cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"}) - 1;
    const int be = choose("endian", endian, {"le", "be"});
    lectra *r = lectra_create(p.c_str(), st, be);
    lectra_set_stop_fn(r, vx_interrupted);  // a stop request (Ctrl-C under a guard) ends a follow
    return r;
}

// Text from a capture: UTF-8 when it decodes, else byte for byte.
nb::object text(const char *s, Py_ssize_t n)
{
    PyObject *o = PyUnicode_DecodeUTF8(s, n, nullptr);
    if (!o) {
        PyErr_Clear();
        o = PyUnicode_DecodeLatin1(s, n, nullptr);
    }
    if (!o)
        raise_pending();
    return nb::steal(o);
}

// A keyword's value: str for text, a number for one element, a list for several.
nb::object value_of(const wfm_kw *k)
{
    const auto *v = static_cast<const unsigned char *>(k->values);
    if (!v)
        raise(PyExc_MemoryError, "keyword value");
    if (k->code == 'A')
        return text(reinterpret_cast<const char *>(v), static_cast<Py_ssize_t>(k->count));
    nb::list items;
    for (uint64_t i = 0; i < k->count; ++i) {
        const unsigned char *e = v + i * k->elem_size;
        switch (k->code) {
        case 'B': items.append(nb::int_(static_cast<int8_t>(e[0]))); break;
        case 'I': { int16_t x; std::memcpy(&x, e, 2); items.append(nb::int_(x)); break; }
        case 'L': case 'T': { int32_t x; std::memcpy(&x, e, 4); items.append(nb::int_(x)); break; }
        case 'X': { int64_t x; std::memcpy(&x, e, 8); items.append(nb::int_(x)); break; }
        case 'F': { float x; std::memcpy(&x, e, 4); items.append(nb::float_(x)); break; }
        case 'D': { double x; std::memcpy(&x, e, 8); items.append(nb::float_(x)); break; }
        default: raise(PyExc_ValueError, "unknown code '%c'", k->code);
        }
    }
    return k->count == 1 ? nb::object(items[0]) : nb::object(items);
}

template <uint64_t (*Num)(const lectra *), const wfm_kw *(*Get)(const lectra *, uint64_t)>
nb::dict as_dict(ReaderPy &h)
{
    Use<ReaderPy> r(h);
    nb::dict d;
    for (uint64_t i = 0; i < Num(r); ++i) {
        const wfm_kw *k = Get(r, i);
        d[text(k->tag, static_cast<Py_ssize_t>(std::strlen(k->tag)))] = value_of(k);
    }
    return d;
}

template <Gil G, uint64_t (*Read)(lectra *, uint64_t, vx_cf32 *, uint64_t)>
nb::object read(ReaderPy &h, nb::handle count, nb::handle out)
{
    Use<ReaderPy> pin(h);
    lectra *r = pin;
    const uint64_t n = read_count(count, 1);
    OutArray<vx_cf32> y(out, n);
    const uint64_t got = call<G>(h, [&] { return Read(r, n, y.data(), y.capacity()); });
    return y.finish(got);
}

const char *const READER_DOC = R"doc(Capture-file reader: raw, CSV, BLUE and SigMF to complex64.

The container is detected from the content: a BLUE header, a SigMF pair (by the
".sigmf-data" name), CSV text, else raw binary. Sample rate, centre frequency
and start time come with their provenance (``fs_source``, ``fc_source``,
``t0_source``). Integer samples are scaled to unit scale.

Parameters
----------
path : str or os.PathLike
    The capture (for a detached BLUE capture, its ".det" data file or header).
sample_type : str, optional
    "auto" or one of cf32, cf64, ci32, ci16, ci8, f32, f64, i32, i16, i8: the
    type of a raw or CSV file ("auto" takes a sidecar's type, else cf32).
endian : {"le", "be"}, optional
    Byte order of a raw file. Default "le".

Raises
------
ValueError
    "cannot open capture: ..." for a missing, unreadable or unsupported file.

Examples
--------
>>> import os, tempfile
>>> import numpy as np
>>> from veltra.wfm import Reader, Writer
>>> path = os.path.join(tempfile.mkdtemp(), "cap.blue")
>>> with Writer(path, 1e6, file_type="blue", sample_type="ci16", fc=1e9) as w:
...     w.write(np.full(8, 0.5 - 0.25j, dtype=np.complex64))
8
>>> with Reader(path) as r:
...     print(r.file_type, r.sample_type, r.num_samples, r.fc, r.fc_source)
...     print(r.read(3))
blue ci16 8 1000000000.0 FREQ
[0.5-0.25j 0.5-0.25j 0.5-0.25j]
)doc";

const char *const READ_DOC = R"doc(Read up to `count` samples from the current position.

Parameters
----------
count : int, optional
    Samples wanted (>= 0). Default 1.
out : ndarray of complex64, optional
    Destination of at least `count` elements; the result is a view of it.

Returns
-------
ndarray of complex64
    The samples read: fewer at the end of the capture, none past it.

Examples
--------
>>> import os, tempfile
>>> import numpy as np
>>> from veltra.wfm import Reader, Writer
>>> path = os.path.join(tempfile.mkdtemp(), "c.raw")
>>> with Writer(path, 1e3) as w:
...     w.write(np.arange(5, dtype=np.complex64))
5
>>> r = Reader(path)
>>> r.read(10).real
array([0., 1., 2., 3., 4.], dtype=float32)
)doc";

const char *const READ_FOLLOW_DOC = R"doc(Read samples of a capture that is still being written.

Returns as soon as samples are available, waiting (without the interpreter
lock) while none are. An empty result means the capture ended: ``ending`` is
"eof" once the writer closed a BLUE capture and every sample was read,
"timeout" after ``follow_timeout_ms``, or "interrupted" after a stop request
(``veltra.interrupt``) and ``follow_grace_ms`` more (at once when that is 0).
Raw, CSV and SigMF files carry no end marker and are followed until a budget
ends.

Parameters
----------
count : int, optional
    Samples wanted (>= 0). Default 1.
out : ndarray of complex64, optional
    Destination of at least `count` elements.

Returns
-------
ndarray of complex64

Examples
--------
>>> import os, tempfile
>>> import numpy as np
>>> from veltra.wfm import Reader, Writer
>>> path = os.path.join(tempfile.mkdtemp(), "c.blue")
>>> w = Writer(path, 1e3, file_type="blue")
>>> w.write(np.ones(4, np.complex64)); w.flush()
4
>>> r = Reader(path)
>>> len(r.read_follow(10)), r.ending
(4, 'none')
>>> w.close()
>>> len(r.read_follow(10)), r.ending
(0, 'eof')
)doc";

}  // namespace

NB_MODULE(lectra, m)
{
    init_module(m, "Capture-file reader: raw, CSV, BLUE and SigMF captures to complex64, with follow mode.");
    // One stop request reaches every waiting call of the process.
    vx_interrupt_guard_state_adopt(static_cast<vx_interrupt_state *>(shared_interrupt_state()));

    Class<ReaderPy> cls(m, "Reader", READER_DOC);
    cls.ctor(+create_reader, invalid(OPEN_FAILED), "path"_a, "sample_type"_a = "auto", "endian"_a = "le")
        .no_pickle("an open file")
        .repr(+[](const lectra *r) {
            return Args()
                .s("path", lectra_get_path(r))
                .s("file_type", FILE_TYPES.names.begin()[lectra_get_file_type(r)])
                .s("sample_type", SAMPLE_TYPES.names.begin()[lectra_get_sample_type(r)])
                .s("endian", lectra_get_endian(r) ? "be" : "le")
                .f("fs", lectra_get_fs(r))
                .f("fc", lectra_get_fc(r))
                .u("position", lectra_get_position(r));
        })
        .fn("read_max_out", lectra_read_max_out, "n"_a, "Most samples ``read(n)`` returns: n.")
        .fn("read_follow_max_out", lectra_read_follow_max_out, "n"_a, "Most samples ``read_follow(n)`` returns: n.")
        .reset(lectra_reset)
        .ro("fs", lectra_get_fs, "Sample rate in Hz (0.0 when the capture declares none).")
        .ro("fc", lectra_get_fc, "Centre frequency in Hz (0.0 when the capture declares none).")
        .ro("t0", lectra_get_t0, "Start time in seconds since 1970-01-01 UTC (0.0 when unknown).")
        .ro("position", lectra_get_position, "Samples from the first one to the next one read.")
        .rw("follow_timeout_ms", lectra_get_follow_timeout_ms, lectra_set_follow_timeout_ms,
            "Longest wait of ``read_follow`` in milliseconds; 0 waits without end.")
        .rw("follow_grace_ms", lectra_get_follow_grace_ms, lectra_set_follow_grace_ms,
            "Wait of ``read_follow`` after a stop request, in milliseconds; 0 ends at once.");
    auto enum_prop = [&](const char *name, int (*get)(const lectra *), const Names &t, const char *doc) {
        cls.def_prop_ro(name, [get, name, &t](ReaderPy &h) { return name_of(name, t, get(h.get())); }, doc);
    };
    enum_prop("file_type", lectra_get_file_type, FILE_TYPES, "Container: \"raw\", \"csv\", \"blue\" or \"sigmf\".");
    enum_prop("sample_type", lectra_get_sample_type, SAMPLE_TYPES, "Wire sample type, \"cf32\" ... \"i8\".");
    enum_prop("mode", lectra_get_mode, MODES, "\"complex\" or \"scalar\" (imaginary parts 0).");
    enum_prop("endian", lectra_get_endian, ENDIANS, "Byte order: \"le\" or \"be\".");
    enum_prop("fs_source", lectra_get_fs_source, FS_SOURCES,
              "Where fs came from: \"none\", \"xdelta\" (BLUE) or \"core:sample_rate\" (SigMF, sidecar).");
    enum_prop("fc_source", lectra_get_fc_source, FC_SOURCES,
              "Where fc came from: \"none\", a BLUE keyword (\"FREQ\", \"RF_FREQ\", \"CENTER_FREQ\", \"F_C\") or "
              "\"core:frequency\".");
    enum_prop("t0_source", lectra_get_t0_source, T0_SOURCES,
              "Where t0 came from: \"none\", \"timecode\" (BLUE) or \"sigmf\".");
    enum_prop("ending", lectra_get_ending, ENDINGS,
              "How the last ``read_follow`` ended: \"none\", \"eof\", \"timeout\" or \"interrupted\".");
    cls.def_prop_ro("num_samples", [](ReaderPy &h) { return lectra_get_num_samples(h.get()); },
                    "Samples in the capture: the sealed payload, else the whole samples on disk now.")
        .def_prop_ro("trailing_bytes", [](ReaderPy &h) { return lectra_get_trailing_bytes(h.get()); },
                     "Payload bytes after the last whole sample (0 for CSV).")
        .def_prop_ro("header", &as_dict<lectra_num_header_fields, lectra_header_field>,
                     "The BLUE header fields as a dict in header order (empty for other containers).")
        .def_prop_ro("keywords", &as_dict<lectra_num_keywords, lectra_keyword>,
                     "Keywords as a dict tag -> value in file order: str for text, a number for one element, a "
                     "list for several; a later duplicate tag wins.")
        .def("read", &read<Gil::hold, lectra_read>, "count"_a.none() = 1, "out"_a.none() = nb::none(), READ_DOC)
        .def("read_follow", &read<Gil::release, lectra_read_follow>, "count"_a.none() = 1,
             "out"_a.none() = nb::none(), READ_FOLLOW_DOC)
        .def("seek", [](ReaderPy &h, int64_t index) {
            const int rc = lectra_seek(Use<ReaderPy>(h), index);
            if (rc != 0)
                raise(PyExc_ValueError, "%s (rc=%lld)", SEEK_FAILED, static_cast<long long>(rc));
        }, "index"_a, R"doc(Move to sample `index` (0 <= index <= num_samples).

Parameters
----------
index : int

Raises
------
ValueError
    "seek: index is negative, or past the end of the capture ..."; the position
    is then unchanged.

Examples
--------
>>> import os, tempfile
>>> import numpy as np
>>> from veltra.wfm import Reader, Writer
>>> path = os.path.join(tempfile.mkdtemp(), "c.raw")
>>> with Writer(path, 1e3) as w:
...     w.write(np.arange(5, dtype=np.complex64))
5
>>> r = Reader(path); r.seek(3); r.read(5).real
array([3., 4.], dtype=float32)
)doc")
        .def("seek_time", [](ReaderPy &h, double seconds) {
            const int rc = lectra_seek_time(Use<ReaderPy>(h), seconds);
            if (rc != 0)
                raise(PyExc_ValueError, "%s (rc=%lld)", SEEK_TIME_FAILED, static_cast<long long>(rc));
        }, "seconds"_a, R"doc(Move to the sample nearest `seconds` after the first one.

Parameters
----------
seconds : float

Raises
------
ValueError
    "seek_time: the capture declares no sample rate ..." when fs_source is
    "none", or the time is negative, not finite or past the end.

Examples
--------
>>> import os, tempfile
>>> import numpy as np
>>> from veltra.wfm import Reader, Writer
>>> path = os.path.join(tempfile.mkdtemp(), "c.sigmf-data")
>>> with Writer(path, 1e3, file_type="sigmf") as w:
...     w.write(np.zeros(10, np.complex64))
10
>>> r = Reader(path); r.seek_time(0.004); r.position
4
)doc");
    cls.attr("close") = cls.attr("destroy");
}
