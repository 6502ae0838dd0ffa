// veltra.scriba: the capture writer and the stand-alone BLUE header writer.
#include "vxb.h"

#include <cmath>
#include <string>
#include <vector>

#include "scriba.h"

namespace {

using namespace vxb;

void free_writer(scriba *w) { scriba_destroy(w); }
struct WriterPy : Handle<scriba, free_writer> {};

const char *const FILE_TYPES[] = {"raw", "csv", "blue", "sigmf"};
const char *const SAMPLE_TYPES[] = {"cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"};
const char *const OPEN_FAILED =
    "cannot open the capture for writing: check the path, the directory, and permissions -- and note that "
    "file_type=\"sigmf\" requires a path ending in .sigmf-data, since a SigMF capture is a <base>.sigmf-data + "
    "<base>.sigmf-meta pair found by name";
const char *const CLOSE_FAILED =
    "failed to finalise the capture: the trailing header patch or extended header was not written";

int sample_type_of(const char *s)
{
    return choose("sample_type", s, {"cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"});
}
int endian_of(const char *s) { return choose("endian", s, {"le", "be"}); }

scriba *create_writer(nb::handle path, double fs, const char *file_type, const char *sample_type,
                      const char *endian, double fc, Count total, double headroom, double t0, Flag sidecar)
{
    const std::string p = fs_path(path);
    const int ft = choose("file_type", file_type, {"raw", "csv", "blue", "sigmf"});
    const int st = sample_type_of(sample_type);
    const int be = endian_of(endian);
    return scriba_create(p.c_str(), ft, st, be, total, sidecar, fs, fc, headroom, t0);
}

// Keyword values as the element type of `code`, in host order.
std::vector<unsigned char> keyword_values(char code, nb::handle value)
{
    const uint32_t size = wfm_kw_elem_size(code);
    nb::object items;
    if (PySequence_Check(value.ptr()) && !PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr())) {
        items = nb::steal(PySequence_Fast(value.ptr(), "value must be a number or a sequence"));
        if (!items)
            raise_pending();
    } else if (PyNumber_Check(value.ptr())) {
        items = nb::steal(PyTuple_Pack(1, value.ptr()));
    } else {
        raise(PyExc_TypeError, "value must be a number or a sequence");
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    if (n == 0)
        raise(PyExc_ValueError, "value sequence is empty");
    std::vector<unsigned char> out(static_cast<size_t>(n) * size);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(items.ptr(), i);
        unsigned char *dst = out.data() + static_cast<size_t>(i) * size;
        if (code == 'F' || code == 'D') {
            const double d = PyFloat_AsDouble(item);
            if (d == -1.0 && PyErr_Occurred())
                raise_pending();
            const float f = static_cast<float>(d);
            std::memcpy(dst, code == 'F' ? static_cast<const void *>(&f) : &d, size);
        } else {
            nb::object index = nb::steal(PyNumber_Index(item));
            if (!index)
                raise_pending();
            // Truncation to the element's width (two's complement, host order).
            const unsigned long long u = PyLong_AsUnsignedLongLongMask(index.ptr());
            if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred())
                raise_pending();
            std::memcpy(dst, &u, size);
        }
    }
    return out;
}

void add_keyword(WriterPy &h, Text tag, nb::handle type, nb::handle value)
{
    Use<WriterPy> w(h);
    Py_ssize_t len = 0;
    const char *t = PyUnicode_Check(type.ptr()) ? PyUnicode_AsUTF8AndSize(type.ptr(), &len) : nullptr;
    if (!t)
        raise(PyExc_TypeError, "type must be a one-character str");
    const char code = len == 1 ? t[0] : 0;
    if (len != 1 || wfm_kw_elem_size(code) == 0)
        raise(PyExc_ValueError, "unsupported code '%s'", t);
    int rc;
    if (code == 'A') {
        if (!PyUnicode_Check(value.ptr()))
            raise(PyExc_TypeError, "value must be a str");
        Py_ssize_t n = 0;
        const char *s = PyUnicode_AsUTF8AndSize(value.ptr(), &n);
        if (!s)
            raise_pending();
        rc = scriba_add_keyword(w, tag.c_str(), code, s, static_cast<uint64_t>(n));
    } else {
        const std::vector<unsigned char> v = keyword_values(code, value);
        rc = scriba_add_keyword(w, tag.c_str(), code, v.data(), v.size() / wfm_kw_elem_size(code));
    }
    if (rc != 0)
        raise(PyExc_ValueError, "add_keyword failed");
}

// close() and destroy(): finalise once; later calls do nothing.
void close_writer(WriterPy &h)
{
    if (!h.p)
        return;
    h.refuse_in_use();
    scriba *w = h.p;
    h.p = nullptr;
    if (scriba_close(w) != 0)
        raise(PyExc_OSError, "%s", CLOSE_FAILED);
}

const char *const WRITER_DOC = R"doc(Capture-file writer: complex64 blocks to raw, CSV, BLUE or SigMF.

Samples are unit scale: integer sample types map 1.0 to full scale (2**31,
32768 or 128), saturate, and round halves away from zero; NaN is written as 0
and counts as clipped. Scalar types ("f32" ... "i8") keep the real part.

Parameters
----------
path : str or os.PathLike
    Data file. A "sigmf" capture needs a name ending in ".sigmf-data"; its
    metadata goes to "<base>.sigmf-meta".
fs : float
    Sample rate in Hz (>= 0; 0 for unknown). With metadata at most 1e12.
file_type : {"raw", "csv", "blue", "sigmf"}, optional
    Container. Default "raw".
sample_type : {"cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"}, optional
    Wire sample type. Default "cf32".
endian : {"le", "be"}, optional
    Byte order of binary samples and headers. Default "le".
fc : float, optional
    Centre frequency in Hz (``abs(fc) <= 1e12`` with metadata). Default 0 (none).
total : int, optional
    Samples expected; a BLUE header declares them until close. Default 0.
headroom : float, optional
    Output backoff in dB: samples are scaled by 10**(-headroom/20). Default 0.
t0 : float, optional
    Start time in seconds since 1970-01-01 UTC (years 1..9999); 0 for none.
sidecar : bool, optional
    For "raw" and "csv": also write "<path>.sigmf-meta" holding fs, fc and t0.
    Default True.

Raises
------
ValueError
    For an unknown file_type, sample_type or endian.
OSError
    "cannot open the capture for writing: ..." when the file or its metadata
    cannot be written, or a value is out of range (negative or non-finite fs,
    non-finite fc, headroom or t0).

Examples
--------
>>> import os, tempfile
>>> import numpy as np
>>> from veltra.scriba import Writer
>>> path = os.path.join(tempfile.mkdtemp(), "cap.sigmf-data")
>>> with Writer(path, 2.4e6, file_type="sigmf", sample_type="ci16", fc=1.2e9) as w:
...     w.write(np.full(4, 0.5 + 0.25j, dtype=np.complex64))
4
>>> np.fromfile(path, dtype="<i2")[:2]
array([16384,  8192], dtype=int16)
)doc";

const char *const WRITE_DOC = R"doc(Append samples to the capture.

Parameters
----------
x : array_like of complex64
    Samples at unit scale, any shape, read in C order.

Returns
-------
int
    Samples that landed in the file: fewer only after a failed write, which
    leaves the file on its last whole sample and makes ``flush`` and ``close``
    report the error.

Examples
--------
>>> import os, tempfile
>>> from veltra.scriba import Writer
>>> w = Writer(os.path.join(tempfile.mkdtemp(), "c.raw"), 1e6, sidecar=False)
>>> w.write([1.0, 0.5j])
2
>>> w.close()
)doc";

const char *const ADD_KEYWORD_DOC = R"doc(Add a keyword to a BLUE capture.

Text keywords CREATOR, IO, PACKET, PKT_BYTE_COUNT, TC_PREC and VER go into the
main header while they fit; all others become extended-header entries after
the data.

Parameters
----------
tag : str
    Keyword name, 1 to 255 bytes.
type : str
    One type code: "A" text, "B" int8, "I" int16, "L" or "T" int32, "X"
    int64, "F" float32, "D" float64.
value : str, number or sequence of numbers
    A str for "A" (UTF-8, no NUL); integers are truncated to the width.

Raises
------
TypeError
    "value must be a str" or "value must be a number or a sequence".
ValueError
    "unsupported code 'c'", "value sequence is empty", or "add_keyword failed"
    when the writer is not BLUE or refuses the keyword.

Examples
--------
>>> import os, tempfile
>>> from veltra.scriba import Writer
>>> w = Writer(os.path.join(tempfile.mkdtemp(), "c.blue"), 1e6, file_type="blue")
>>> w.add_keyword("COMMENT", "A", "demo")
>>> w.add_keyword("GAINS", "F", [1.5, 2.0])
>>> w.close()
)doc";

const char *const CLOSE_DOC = R"doc(Finalise and close the capture (the same as ``destroy``).

A BLUE header gets its data size, keywords and extended header; the SigMF
metadata is rewritten. Idempotent.

Raises
------
OSError
    "failed to finalise the capture: the trailing header patch or extended
    header was not written" when anything failed (an earlier write included).

Examples
--------
>>> import os, tempfile
>>> from veltra.scriba import Writer
>>> w = Writer(os.path.join(tempfile.mkdtemp(), "c.raw"), 1e6)
>>> w.close(); w.close()
)doc";

const char *const WRITE_BLUE_HEADER_DOC = R"doc(Write a stand-alone 512-byte BLUE header file.

Pairs with a detached data file of raw interleaved samples whose name ends in
".det" (the header's name with its extension replaced).

Parameters
----------
path : str or os.PathLike
    Header file to write.
fs : float
    Sample rate in Hz (>= 0).
sample_type : str, optional
    One of cf32, cf64, ci32, ci16, ci8, f32, f64, i32, i16, i8. Default "cf32".
endian : {"le", "be"}, optional
    Byte order. Default "le".
fc : float, optional
    Centre frequency in Hz, written as the keyword FREQ when non-zero.
data_start : float, optional
    Byte offset of the data in the data file. Default 0.
total : int, optional
    Samples in the data file. Default 0.
detached : int, optional
    Non-zero marks the header as detached. Default 0.
t0 : float, optional
    Start time in seconds since 1970 (0 for none).

Raises
------
ValueError
    "invalid sample_type 'x' (choices: cf32, ...)" or "invalid endian 'x'
    (choices: le, be)".
OSError
    "write_blue_header failed (rc=-1)" when the file cannot be written or fs,
    fc, data_start or t0 is not finite (fs also when negative).

Examples
--------
>>> import os, tempfile
>>> from veltra.scriba import write_blue_header
>>> path = os.path.join(tempfile.mkdtemp(), "cap.hdr")
>>> write_blue_header(path, 1e6, sample_type="ci16", total=100, detached=1)
>>> with open(path, "rb") as f:
...     head = f.read()
>>> len(head), head[:4], head[52:54]
(512, b'BLUE', b'CI')
)doc";

void write_blue_header(nb::handle path, double fs, const char *sample_type, const char *endian, double fc,
                       double data_start, Count total, int detached, double t0)
{
    const std::string p = fs_path(path);
    int st = -1, be = -1;
    for (int i = 0; i < WFM_NUM_SAMPLE_TYPES; ++i)
        if (!std::strcmp(sample_type, SAMPLE_TYPES[i]))
            st = i;
    if (st < 0)
        raise(PyExc_ValueError,
              "invalid sample_type '%s' (choices: cf32, cf64, ci32, ci16, ci8, f32, f64, i32, i16, i8)", sample_type);
    if (!std::strcmp(endian, "le") || !std::strcmp(endian, "be"))
        be = endian[0] == 'b';
    else
        raise(PyExc_ValueError, "invalid endian '%s' (choices: le, be)", endian);
    FILE *f = std::fopen(p.c_str(), "wb");
    int rc = f ? wfm_blue_write_hcb(f, st, be, total, detached, fs, fc, data_start, t0) : -1;
    if (f && std::fclose(f) != 0)
        rc = -1;
    if (rc != 0)
        raise(PyExc_OSError, "write_blue_header failed (rc=%d)", rc);
}

}  // namespace

NB_MODULE(scriba, m)
{
    init_module(m, "Capture-file writer: raw, CSV, BLUE and SigMF captures from complex64 blocks.");

    Class<WriterPy> cls(m, "Writer", WRITER_DOC);
    cls.ctor(+create_writer, OnNull{PyExc_OSError, OPEN_FAILED}, "path"_a, "fs"_a, "file_type"_a = "raw",
             "sample_type"_a = "cf32", "endian"_a = "le", "fc"_a = 0.0, "total"_a = Count{0},
             "headroom"_a = 0.0, "t0"_a = 0.0, "sidecar"_a = Flag{true})
        .no_pickle("an open file")
        .repr(+[](const scriba *w) {
            return Args()
                .s("path", scriba_get_path(w))
                .f("fs", scriba_get_fs(w))
                .s("file_type", FILE_TYPES[scriba_get_file_type(w)])
                .s("sample_type", SAMPLE_TYPES[scriba_get_sample_type(w)])
                .s("endian", scriba_get_big_endian(w) ? "be" : "le")
                .f("fc", scriba_get_fc(w))
                .f("t0", scriba_get_t0(w));
        })
        .ro("clip_fraction", scriba_get_clip_fraction,
            "Saturated components counted since ``track_clipping(1)``, over all components written.")
        .ro("peak_dbfs", scriba_get_peak_dbfs,
            "Largest per-axis magnitude after the headroom gain, in dB full scale (-inf before any sample).")
        .ro("clipped", +[](const scriba *w) { return scriba_get_clipped(w) != 0; },
            "True once an integer sample saturated or was NaN.")
        .ro("samples_written", scriba_get_samples_written, "Samples that landed in the file.");
    cls.def("write", [](WriterPy &h, nb::handle x) {
            Use<WriterPy> w(h);
            InArray<vx_cf32> in(x);
            return scriba_write(w, in.data(), in.size());
        }, "x"_a, WRITE_DOC)
        .def("flush", [](WriterPy &h) {
            const int rc = scriba_flush(Use<WriterPy>(h));
            if (rc != 0)
                raise(PyExc_OSError, "%s (rc=%lld)", "flush failed", static_cast<long long>(rc));
        }, R"doc(Push written samples to the operating system.

Raises
------
OSError
    "flush failed (rc=-1)" on a stream error, now or from an earlier write.

Examples
--------
>>> import os, tempfile
>>> from veltra.scriba import Writer
>>> w = Writer(os.path.join(tempfile.mkdtemp(), "c.raw"), 1e6)
>>> w.flush(); w.close()
)doc")
        .def("track_clipping", [](WriterPy &h, int on) { scriba_track_clipping(Use<WriterPy>(h), on); },
             "on"_a = 1, R"doc(Count saturated components (on=1) or stop counting (on=0).

Parameters
----------
on : int, optional
    Non-zero to count. Default 1.

Examples
--------
>>> import os, tempfile
>>> from veltra.scriba import Writer
>>> w = Writer(os.path.join(tempfile.mkdtemp(), "c.raw"), 1e6, sample_type="ci8")
>>> w.track_clipping(1)
>>> w.write([2.0 + 0.1j])
1
>>> w.clip_fraction
0.5
)doc")
        .def("add_keyword", &add_keyword, "tag"_a, "type"_a, "value"_a, ADD_KEYWORD_DOC)
        .def("close", &close_writer, CLOSE_DOC);
    // destroy() and leaving a `with` block finalise like close(), and report its failure.
    cls.attr("destroy") = cls.attr("close");
    cls.attr("__exit__") = nb::cpp_function([](WriterPy &h, nb::args) { close_writer(h); }, nb::is_method(),
                                            nb::scope(cls), nb::name("__exit__"),
                                            "Close the Writer on leaving a ``with`` block; a failure raises OSError.");

    m.def("write_blue_header", &write_blue_header, "path"_a, "fs"_a, "sample_type"_a = "cf32", "endian"_a = "le",
          "fc"_a = 0.0, "data_start"_a = 0.0, "total"_a = Count{0}, "detached"_a = 0, "t0"_a = 0.0,
          WRITE_BLUE_HEADER_DOC);
}
