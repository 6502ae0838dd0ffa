// veltra.interrupt.interrupt: owner of the process-wide interrupt state, and the Interrupt
// guard (re-exported by veltra.interrupt).
#include "vxb.h"

#include <climits>
#include <csignal>
#include <string>
#include <vector>

#include "vx_interrupt.h"

namespace {

using namespace vxb;

struct InterruptPy : Handle<vx_interrupt_guard, vx_interrupt_guard_destroy> {};

int signal_number(nb::handle s)
{
    if (!PyLong_Check(s.ptr()))
        raise(PyExc_TypeError, "signals must be signal numbers, got %s", Py_TYPE(s.ptr())->tp_name);
    const long v = PyLong_AsLong(s.ptr());
    if (v == -1 && PyErr_Occurred())
        raise_pending();
    return v < INT_MIN || v > INT_MAX ? -1 : static_cast<int>(v);  // -1: refused as invalid
}

// signals: None (SIGINT), one signal number, or an iterable of them.
vx_interrupt_guard *create(nb::handle signals, uint32_t latency_ms)
{
    std::vector<int> sigs;
    if (signals.is_none()) {
        sigs.push_back(SIGINT);
    } else if (PyLong_Check(signals.ptr())) {
        sigs.push_back(signal_number(signals));
    } else {
        for (nb::handle s : nb::iter(signals)) {
            if (sigs.size() > VX_INTERRUPT_MAX_SIGNALS)
                break;  // already too many: refused below
            sigs.push_back(signal_number(s));
        }
    }
    vx_interrupt_guard *g = vx_interrupt_guard_create(sigs.data(), sigs.size(), latency_ms);
    if (!g) {
        std::string list;
        for (int s : sigs)
            list += (list.empty() ? "" : ", ") + std::to_string(s);
        raise(PyExc_ValueError,
              "cannot guard signals (%s): at most %d, each one catchable and not a fault "
              "signal (not SIGKILL, SIGSTOP, SIGSEGV, SIGBUS, SIGFPE or SIGILL), with a free "
              "slot each",
              list.c_str(), VX_INTERRUPT_MAX_SIGNALS);
    }
    return g;
}

nb::tuple signal_tuple(const vx_interrupt_guard *g)
{
    int sigs[VX_INTERRUPT_MAX_SIGNALS];
    const uint32_t n = vx_interrupt_guard_signals(g, sigs, VX_INTERRUPT_MAX_SIGNALS);
    nb::list out;
    for (uint32_t i = 0; i < n; ++i)
        out.append(sigs[i]);
    return nb::tuple(out);
}

const char *const INTERRUPT_DOC = R"doc(Guard that turns chosen signals into a stop request for blocking waits.

While the guard lives, each of its signals sets the process-wide interrupt flag
and then runs the handler that was installed before (Python's own SIGINT
handler still raises ``KeyboardInterrupt``). Waits that run without the
interpreter lock (stream buffers, the capture reader's follow mode, the sample
clock) look at the flag at least every ``latency_ms`` milliseconds and return
early once it is set. The flag stays set until ``resume()`` or a new guard
clears it. Destroying the guard (or leaving its ``with`` block) reinstalls the
previous handlers; a signal held by another live guard stays installed until
that one goes too.

Parameters
----------
signals : int or iterable of int, optional
    Signal numbers to guard, at most 8. Default ``signal.SIGINT``.
latency_ms : int, optional
    Longest sleep of a wait between two looks at the flag while the guard lives;
    0 (the default) keeps the current value (100 ms unless changed).

Raises
------
ValueError
    For more than 8 signals, one that cannot be caught (SIGKILL, SIGSTOP, an
    invalid number), a fault signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL: a real fault
    would repeat forever behind the flag) or no free slot; nothing is changed then.

Notes
-----
A handler installed later through ``signal.signal`` for a guarded signal
replaces the guard's until the guard is destroyed, which reinstalls the one
that was there when the guard was made.

Examples
--------
>>> from veltra.interrupt import Interrupt
>>> with Interrupt(latency_ms=20) as guard:
...     guard.interrupted, guard.latency_ms
...     guard.interrupt()
...     guard.interrupted
(False, 20)
True
)doc";

}  // namespace

NB_MODULE(interrupt, m)
{
    init_module(m, "The process-wide interrupt state and the Interrupt guard "
                   "(re-exported by veltra.interrupt).");
    // Every module that waits adopts this state at import.
    m.attr("_gx_pg_vx_interrupt_guard") = nb::steal(PyCapsule_New(
        vx_interrupt_guard_state_ptr(), "veltra.vx_interrupt_guard._gx_procglobal", nullptr));

    Class<InterruptPy> cls(m, "Interrupt", INTERRUPT_DOC);
    cls.ctor(+[](nb::handle signals, uint32_t latency_ms) { return create(signals, latency_ms); },
             no_memory("vx_interrupt_guard"), "signals"_a.none() = nb::none(), "latency_ms"_a = 0u)
        .no_pickle("this process's signal handlers")
        .repr(+[](const vx_interrupt_guard *g) {
            return Args().o("signals", signal_tuple(g)).u("latency_ms", vx_interrupt_guard_latency_set(g));
        })
        .fn("interrupt", vx_interrupt_guard_interrupt, R"doc(Request a stop, as a guarded signal would.

Examples
--------
>>> from veltra.interrupt import Interrupt
>>> with Interrupt(signals=()) as guard:
...     guard.interrupt()
...     guard.interrupted
True
)doc")
        .fn("resume", vx_interrupt_guard_resume, R"doc(Clear the stop request, so waits block again.

Examples
--------
>>> from veltra.interrupt import Interrupt
>>> with Interrupt(signals=()) as guard:
...     guard.interrupt()
...     guard.resume()
...     guard.interrupted
False
)doc")
        .ro("interrupted", +[](const vx_interrupt_guard *g) {
            return vx_interrupt_guard_interrupted(g) != 0;
        }, "Whether a stop was requested (by a guarded signal or ``interrupt()``).")
        .ro("signals", signal_tuple, "The guarded signal numbers, in installation order.");
    cls.def_prop_rw("latency_ms", [](InterruptPy &h) { return vx_interrupt_guard_latency_ms(h.get()); },
                    [](InterruptPy &h, uint32_t ms) {
                        h.get();
                        vx_set_interrupt_latency_ms(ms);
                    },
                    "Longest sleep of a blocking wait between two looks at the flag, in\n"
                    "milliseconds (process-wide; setting 0 gives the default 100).");
}
