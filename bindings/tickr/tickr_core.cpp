// veltra.tickr: the real-time sample clock, published as veltra.wfm.Tickr. Written by hand
// rather than through vxb::Class: the clock has its own closed state ("Tickr is closed"),
// close() instead of destroy(), and no context manager or state blobs.
#include <nanobind/stl/string.h>

#include <string>

#include "vxb.h"

#include "vx_interrupt.h"
#include "vx_tickr.h"

namespace {

using namespace vxb;

// The instance: the clock, whether it was closed, and how many pace() calls run on it
// without the interpreter lock. close() during such a call marks the instance closed and
// leaves the free to the last of those calls, so it never fails and never frees a clock
// in use.
struct TickrPy {
    vx_tickr *p = nullptr;
    bool closed = false;
    int busy = 0;

    TickrPy() = default;
    TickrPy(const TickrPy &) = delete;
    TickrPy &operator=(const TickrPy &) = delete;
    ~TickrPy() { vx_tickr_destroy(p); }

    vx_tickr *get() const
    {
        if (closed || !p)
            raise(PyExc_RuntimeError, "Tickr is closed");
        if (busy)
            raise(PyExc_RuntimeError, "object is in use by a call running in another thread");
        return p;
    }
    void free_if_idle()
    {
        if (closed && !busy) {
            vx_tickr_destroy(p);
            p = nullptr;
        }
    }
};

const char *const TICKR_DOC = R"doc(Real-time sample clock: paces a producer and stamps samples.

Sample ``k`` is due ``k/fs`` seconds after the clock's epoch (rounded to whole
nanoseconds). ``pace(count)`` advances the sample count by `count` and sleeps until
that sample is due, counting an underrun instead when it is already late; sleeps
end early on an interrupt request (see ``veltra.interrupt``). ``stamp`` gives the
ideal wall-clock time of a sample, and ``track`` re-anchors it from observed
(timestamp, index) pairs. Times are nanoseconds and saturate at 2**64 - 1.

Parameters
----------
fs : float
    Nominal sample rate in Hz (finite); fs <= 0 makes every sample due at the
    epoch.
resync : int, optional
    Nonzero: after an underrun, pace the following blocks from the late time.

Raises
------
ValueError
    "fs must be finite".
MemoryError
    "vx_tickr_create returned NULL".

Examples
--------
>>> from veltra.wfm import Tickr
>>> t = Tickr(2.4e6)
>>> t.stamp_at(2400) - t.stamp_at(0)
1000000
>>> t.track(5_000_000_000, 1000, 100), t.samples
(1, 1000)
>>> t.close()
)doc";

const char *const PACE_DOC = R"doc(Count `count` samples and sleep until the next one is due.

The interpreter lock is released while sleeping. A late call counts an underrun,
updates ``max_lateness`` and, with ``resync``, re-anchors the pacing epoch to now.

Parameters
----------
count : int
    Samples just produced (taken modulo 2**64).

Returns
-------
float
    Slack in seconds at the call: positive when early (and slept), <= 0 when late.

Examples
--------
>>> from veltra.wfm import Tickr
>>> t = Tickr(1000.0)
>>> 0.0 < t.pace(10) <= 0.01
True
>>> t.pace(0) <= 0.0, t.underruns
(True, 1)
)doc";

void init(nb::handle self, double fs, int32_t resync)
{
    if (!nb::inst_check(self) || !self.type().is(nb::type<TickrPy>()))
        raise(PyExc_TypeError, "__init__ needs an instance of its own class");
    if (!vx_finite(fs))
        raise(PyExc_ValueError, "fs must be finite");
    TickrPy *t = nb::inst_ptr<TickrPy>(self);
    if (nb::inst_ready(self) && t->busy)
        raise(PyExc_RuntimeError, "object is in use by a call running in another thread");
    vx_tickr *c = vx_tickr_create(resync, fs);
    if (!c)
        raise(PyExc_MemoryError, "vx_tickr_create returned NULL");
    if (!nb::inst_ready(self)) {
        new (t) TickrPy();
        nb::inst_mark_ready(self);
    }
    vx_tickr_destroy(t->p);
    t->p = c;
    t->closed = false;
}

double pace(TickrPy &t, Count count)
{
    vx_tickr *c = t.get();
    double slack;
    ++t.busy;
    {
        nb::gil_scoped_release unlocked;
        slack = vx_tickr_pace(c, count);
    }
    --t.busy;
    t.free_if_idle();
    return slack;
}

}  // namespace

NB_MODULE(tickr, m)
{
    init_module(m, R"doc(Real-time sample clock, published as veltra.wfm.Tickr.

Examples
--------
>>> from veltra.tickr import Tickr
>>> t = Tickr(1000.0)
>>> t.stamp_at(1000) - t.stamp_at(0)
1000000000
)doc");
    vx_interrupt_guard_state_adopt(static_cast<vx_interrupt_state *>(shared_interrupt_state()));

    nb::class_<TickrPy>(m, "Tickr", nb::is_final(), TICKR_DOC)
        .def("__init__", init, "fs"_a, "resync"_a = 0)
        .def("__reduce__", [](nb::handle) -> nb::object {
            raise(PyExc_TypeError, "cannot pickle 'Tickr' object: it holds a real-time clock");
        }, "Refuses: a Tickr holds a real-time clock.\n\nRaises\n------\nTypeError\n")
        .def("pace", pace, "count"_a, PACE_DOC)
        .def("stamp", [](TickrPy &t) { return vx_tickr_stamp(t.get()); },
             R"doc(Ideal wall-clock time of the next sample.

Returns
-------
int
    ``stamp_at(samples)``, nanoseconds since the UNIX epoch.

Examples
--------
>>> from veltra.wfm import Tickr
>>> t = Tickr(1000.0)
>>> t.stamp() == t.stamp_at(0)
True
)doc")
        .def("stamp_at", [](TickrPy &t, Count k) { return vx_tickr_stamp_at(t.get(), k); }, "n"_a,
             R"doc(Ideal wall-clock time of sample `n` (past, present or future).

Parameters
----------
n : int
    Sample index.

Returns
-------
int
    ``epoch + round(n/fs * 1e9)`` nanoseconds since the UNIX epoch.

Examples
--------
>>> from veltra.wfm import Tickr
>>> t = Tickr(8000.0)
>>> t.stamp_at(8000) - t.stamp_at(0)
1000000000
)doc")
        .def("track", [](TickrPy &t, Count observed, Count k, Count tolerance) {
            return vx_tickr_track(t.get(), observed, k, tolerance);
        }, "observed_timestamp_ns"_a, "n_at_observation"_a, "tolerance_ns"_a,
             R"doc(Reconcile the stamp epoch with an observed (timestamp, index) pair.

The first observation anchors the epoch; a later one moves it only when it is
more than `tolerance_ns` from the prediction. An index below ``samples`` (stale,
reordered or repeated) is ignored. Otherwise ``samples`` becomes the index.

Parameters
----------
observed_timestamp_ns : int
    Observed time of sample `n_at_observation`, nanoseconds since the UNIX epoch.
n_at_observation : int
    Its index.
tolerance_ns : int
    Largest disagreement that keeps the epoch.

Returns
-------
int
    1 when the epoch was (re)anchored, else 0.

Examples
--------
>>> from veltra.wfm import Tickr
>>> t = Tickr(1000.0)
>>> t.track(10**18, 0, 0), t.track(10**18 + 1_000_000, 1, 10), t.stamp()
(1, 0, 1000000000001000000)
)doc")
        .def("reset", [](TickrPy &t) { vx_tickr_reset(t.get()); },
             R"doc(Start again: counters cleared, both epochs taken now; fs and resync kept.

Returns
-------
None

Examples
--------
>>> from veltra.wfm import Tickr
>>> t = Tickr(1000.0)
>>> t.track(10**18, 50, 0)
1
>>> t.reset(); t.samples
0
)doc")
        .def("resync", [](TickrPy &t) { vx_tickr_resync(t.get()); },
             R"doc(Re-anchor the pacing epoch so the next sample is due now if it was due earlier.

Counters and the sample count are kept.

Returns
-------
None

Examples
--------
>>> from veltra.wfm import Tickr
>>> t = Tickr(0.0)
>>> t.resync(); t.samples
0
)doc")
        .def("close", [](TickrPy &t) {
            t.closed = true;
            t.free_if_idle();
        }, R"doc(Free the clock and mark the instance closed. Idempotent; never fails.

Every other method and property then raises ``RuntimeError('Tickr is closed')``.

Returns
-------
None

Examples
--------
>>> from veltra.wfm import Tickr
>>> t = Tickr(1000.0)
>>> t.close(); t.close()
)doc")
        .def("__repr__", [](nb::handle self) {
            const TickrPy *t = nb::inst_ready(self) ? nb::inst_ptr<TickrPy>(self) : nullptr;
            if (!t || t->closed || !t->p)
                return std::string("<Tickr (closed)>");
            return "Tickr(" + Args().f("fs", t->p->fs).i("resync", t->p->resync).str() + ")";
        })
        .def_prop_ro("samples", [](TickrPy &t) { return t.get()->n; }, "Samples counted so far: the next sample's index.")
        .def_prop_ro("underruns", [](TickrPy &t) { return t.get()->underruns; },
                     "Blocks that reached pace() at or after their deadline.")
        .def_prop_ro("max_lateness", [](TickrPy &t) { return static_cast<double>(t.get()->max_lateness_ns) * 1e-9; },
                     "Largest lateness seen, in seconds.")
        .def_prop_ro("_capsule", [](TickrPy &t) {
            return nb::steal(PyCapsule_New(t.get(), "veltra.wfm.vx_tickr", nullptr));
        }, "Capsule \"veltra.wfm.vx_tickr\" of the clock, non-owning: valid while this Tickr lives and is open.");

    m.attr("Tickr").attr("__module__") = "veltra.wfm";
}
