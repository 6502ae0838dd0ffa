// Test-only module: a small fixture object that exercises every shared binding rule
// (output sizing by both bound forms and read counts, shrinking, enumerations, GIL
// release with the busy guard, telemetry attachment, interrupt-state adoption). Built only
// for the test suite.
#include <algorithm>
#include <chrono>
#include <thread>

#include "vxb.h"

#include "vx_interrupt.h"
#include "vx_tlm.h"

namespace {

using namespace vxb;

const char *const MODES[] = {"keep", "half"};

struct fixture {
    int mode;          // 0 "keep", 1 "half"
    uint64_t fed;      // items consumed so far
    unsigned long decim;
    vx_tlm *tlm;       // attached context (one reference), as a core object keeps it
    int32_t tlm_ids[1];
};

fixture *fixture_create(Text mode)
{
    const int m = choose("mode", mode, {MODES[0], MODES[1]});
    auto *f = static_cast<fixture *>(vx_calloc(1, sizeof(fixture)));
    if (f)
        f->mode = m;
    return f;
}
void fixture_destroy(fixture *f)
{
    if (f)
        vx_tlm_swap(&f->tlm, nullptr);
    vx_free(f);
}

// Exact bound form: every second input (the first of each pair) comes out.
uint64_t halve_max_out(const fixture *, uint64_t n) { return (n + 1) / 2; }
uint64_t halve(fixture *f, const float *x, uint64_t n, float *y, uint64_t cap)
{
    uint64_t m = 0;
    for (uint64_t i = 0; i < n; ++i, ++f->fed)
        if (f->fed % 2 == 0 && m < cap)
            y[m++] = x[i];
    return m;
}

// Object-only bound form, 0 = the input length; produces what the mode says.
uint64_t pick_max_out(const fixture *) { return 0; }
uint64_t pick(fixture *f, const vx_cf32 *x, uint64_t n, vx_cf32 *y, uint64_t cap)
{
    const uint64_t m = std::min(f->mode ? n / 2 : n, cap);
    for (uint64_t i = 0; i < m; ++i)
        y[i] = x[i];
    return m;
}

// Read-style: up to 5 items available.
uint64_t take_max_out(const fixture *, uint64_t count) { return std::min<uint64_t>(count, 5); }

int fixture_set_telemetry(fixture *f, vx_tlm *tlm, const char *prefix, unsigned long decim)
{
    static const char *const probes[] = {"fed"};
    if (!prefix[0])
        return VX_ERR_INVALID;
    const int st = vx_tlm_attach(&f->tlm, f->tlm_ids, tlm, prefix, "fx", probes, 1, decim);
    if (st == VX_OK)
        f->decim = decim;
    return st;
}

struct FixturePy : Handle<fixture, fixture_destroy> {};
// The same object, open to calls of several threads at once (as a producer/consumer ring).
struct SharedFixturePy : Handle<fixture, fixture_destroy, false> {};

// Holds the object without the interpreter lock for `ms` milliseconds.
template <class H> void sleep_in(H &h, double ms)
{
    h.get();
    call<Gil::release>(h, [&] {
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
    });
}

}  // namespace

NB_MODULE(_bindtest, m)
{
    init_module(m, "Fixture for the shared binding rules (tests only).");

    Class<FixturePy>(m, "Fixture", "Binding-rule fixture.")
        .ctor(fixture_create, no_memory("fixture"), "mode"_a = Text{"keep", 4})
        .repr(+[](const fixture *f) { return Args().s("mode", MODES[f->mode]); })
        .block<float, float>("halve", halve, halve_max_out, "Every second input.")
        .block<vx_cf32, vx_cf32, Gil::release>("pick", pick, pick_max_out, "Mode-dependent count.")
        .fn("take", +[](fixture *f, nb::handle count) {
            const uint64_t need = take_max_out(f, read_count(count, 8));
            OutArray<uint32_t> y(nb::none(), need);
            for (uint64_t i = 0; i < need; ++i)
                y.data()[i] = static_cast<uint32_t>(i);
            return y.finish(need);
        }, "count"_a.none() = nb::none(), "Read-style count.")
        .ro("fed", &fixture::fed, "Items consumed.")
        .ro("decim", &fixture::decim, "Telemetry decimation.")
        .ro("attached", +[](const fixture *f) { return f->tlm != nullptr; }, "Context attached.")
        .telemetry(fixture_set_telemetry)
        .def("sleep", sleep_in<FixturePy>);
    Class<SharedFixturePy>(m, "SharedFixture", "Fixture open to several threads.")
        .ctor(fixture_create, no_memory("fixture"), "mode"_a = Text{"keep", 4})
        .ro("fed", &fixture::fed, "Items consumed.")
        .def("sleep", sleep_in<SharedFixturePy>);

    // Adopts the package's interrupt state at import, as a module that waits does.
    vx_interrupt_guard_state_adopt(static_cast<vx_interrupt_state *>(shared_interrupt_state()));
    m.def("interrupted", [] { return vx_interrupted() != 0; });
    m.def("interrupt", [] { vx_interrupt(); });

    // A capsule under another name than a telemetry context's.
    m.def("capsule", [](const char *name) {
        static int dummy;
        if (!std::strcmp(name, "veltra.telemetry.vx_tlm"))
            raise(PyExc_ValueError, "use a Telemetry's capsule");
        return nb::steal(PyCapsule_New(&dummy, name, nullptr));
    });
}
