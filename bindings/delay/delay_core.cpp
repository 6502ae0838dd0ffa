// veltra.delay: the complex128 tapped delay line.
#include <nanobind/stl/complex.h>

#include <complex>

#include "vxb.h"

#include "delay.h"

namespace {

using namespace vxb;

struct DelayPy : Handle<delay, delay_destroy> {};

const char *const DELAY_DOC = R"doc(Complex128 tapped delay line with contiguous snapshots.

``push`` one sample at a time; ``ptr`` reads the newest ``num_taps`` samples, most
recent first. Every sample is stored twice, ``capacity`` elements apart
(``capacity`` is ``num_taps`` rounded up to a power of two), so a snapshot is one
contiguous copy.

Parameters
----------
num_taps : int, optional
    Window length (default 1); 0 gives empty snapshots.

Raises
------
MemoryError
    "delay_create returned NULL" when the buffer cannot be allocated.

Examples
--------
>>> from veltra.delay import DelayCf64
>>> d = DelayCf64(num_taps=3)
>>> for v in (1, 2, 3):
...     d.push(v)
>>> d.ptr().real.tolist(), d.capacity
([3.0, 2.0, 1.0], 4)
)doc";

vx_cf64 cf64(std::complex<double> x) { return {x.real(), x.imag()}; }

nb::object ptr(DelayPy &h, nb::handle count, nb::handle out)
{
    Use<DelayPy> c(h);
    const uint64_t n = read_count(count, c.get()->num_taps);
    OutArray<vx_cf64> y(out, delay_ptr_max_out(c, n));
    return y.finish(delay_ptr(c, n, y.data(), y.capacity()));
}

nb::object push_ptr(DelayPy &h, std::complex<double> x, nb::handle out)
{
    Use<DelayPy> c(h);
    OutArray<vx_cf64> y(out, delay_push_ptr_max_out(c));
    return y.finish(delay_push_ptr(c, cf64(x), y.data(), y.capacity()));
}

}  // namespace

NB_MODULE(delay, m)
{
    init_module(m, "Tapped delay line.");

    Class<DelayPy>(m, "DelayCf64", DELAY_DOC)
        .ctor(+[](Count n) { return delay_create(n); }, no_memory("delay"), "num_taps"_a = Count{1})
        .repr(+[](const delay *d) { return Args().u("num_taps", d->num_taps); })
        .pickle()
        .fn("push", +[](delay *d, std::complex<double> x) { delay_push(d, cf64(x)); }, "x"_a,
            R"doc(Push one sample; it becomes the newest of every snapshot.

Parameters
----------
x : complex
    The sample.

Returns
-------
None

Examples
--------
>>> from veltra.delay import DelayCf64
>>> d = DelayCf64(3)
>>> d.push(1 + 2j); d.push(3 + 4j)
>>> d.ptr().tolist()
[(3+4j), (1+2j), 0j]
)doc")
        .fn("write", +[](delay *d, std::complex<double> x) { delay_write(d, cf64(x)); },
            R"doc(Same as ``push``, with the sample as the only positional argument.

Parameters
----------
x : complex
    The sample.

Returns
-------
None

Examples
--------
>>> from veltra.delay import DelayCf64
>>> d = DelayCf64(2)
>>> d.write(5j)
>>> d.ptr().tolist()
[5j, 0j]
)doc")
        .reset(delay_reset)
        .state(delay_state_bytes, delay_get_state, delay_set_state)
        .ro("num_taps", &delay::num_taps, "Window length as given.")
        .ro("capacity", &delay::capacity, "Stored length: num_taps rounded up to a power of two.")
        .fn("ptr_max_out", +[](const delay *d, Count n) { return delay_ptr_max_out(d, n); }, "n"_a,
            R"doc(Snapshot length for a request of n samples: ``min(n, num_taps)``.

Parameters
----------
n : int
    Requested count.

Returns
-------
int

Examples
--------
>>> from veltra.delay import DelayCf64
>>> DelayCf64(3).ptr_max_out(10)
3
)doc")
        .fn("push_ptr_max_out", +[](const delay *d) { return delay_push_ptr_max_out(d); },
            R"doc(Snapshot length of ``push_ptr``: ``num_taps``.

Returns
-------
int

Examples
--------
>>> from veltra.delay import DelayCf64
>>> DelayCf64(5).push_ptr_max_out()
5
)doc")
        .def("ptr", ptr, "count"_a.none() = nb::none(), "out"_a.none() = nb::none(), R"doc(Snapshot of the newest samples, most recent first.

Parameters
----------
count : int, optional
    Samples wanted (default ``num_taps``); at most ``num_taps`` are returned.
out : ndarray of complex128, optional
    Destination of at least ``ptr_max_out(count)`` elements; the result views its
    first elements.

Returns
-------
ndarray of complex128
    ``min(count, num_taps)`` samples.

Raises
------
ValueError
    "count must be >= 0, got N", or "out has N elements, need >= M".
TypeError
    "out must be a writable, C-contiguous ndarray of the output dtype".

Examples
--------
>>> from veltra.delay import DelayCf64
>>> d = DelayCf64(3)
>>> d.push(1)
>>> d.ptr(10).tolist(), d.ptr(1).tolist()
([(1+0j), 0j, 0j], [(1+0j)])
)doc")
        .def("push_ptr", push_ptr, "x"_a, "out"_a.none() = nb::none(), R"doc(Push one sample, then snapshot ``num_taps`` samples.

Parameters
----------
x : complex
    The sample.
out : ndarray of complex128, optional
    Destination of at least ``num_taps`` elements; the result views its first
    elements.

Returns
-------
ndarray of complex128
    The newest ``num_taps`` samples, most recent first.

Examples
--------
>>> from veltra.delay import DelayCf64
>>> d = DelayCf64(3)
>>> d.push_ptr(1).real.tolist(), d.push_ptr(2).real.tolist()
([1.0, 0.0, 0.0], [2.0, 1.0, 0.0])
)doc");
}
